// SPDX-License-Identifier: MIT
// Throughput of the simulated device on the virtual dispatcher: readings of four streams, from
// the sensor timers through the handler queue to trivial handlers.

#include <benchmark/benchmark.h>

#include <cstdint>

#include "pemdor/platform/SimulatedDevice.h"
#include "pemdor/platform/VirtualDispatcher.h"

namespace pemdor {
namespace {

void BM_SimulatedStreams(benchmark::State& state) {
  const bool scripted = state.range(0) != 0;
  auto dispatcher = VirtualDispatcher::create();
  SimScenario scenario;
  if (scripted) {
    for (auto& stream : scenario.streams) {
      stream.readings = std::vector<std::optional<CMVector>>{CMVector{0, 0, -1}, std::nullopt};
    }
  }
  auto device = SimulatedDevice::create(scenario, dispatcher);
  auto manager = device->platform()->makeMotionManager();
  auto queue = dispatcher->makeOperationQueue("handlers");
  queue->setMaxConcurrentOperationCount(1);
  std::uint64_t records = 0;
  for (MotionStream s : kAllMotionStreams) {
    manager->setUpdateInterval(s, 0.001);
    manager->startUpdates(s, queue, [&records](const CMVector* v, const NSError*) {
      benchmark::DoNotOptimize(v);
      ++records;
    });
  }
  for (auto _ : state) {
    // A tenth of a virtual second: 100 readings per stream.
    dispatcher->advanceBy(0.1);
  }
  for (MotionStream s : kAllMotionStreams) manager->stopUpdates(s);
  dispatcher->runUntilIdle();
  state.SetItemsProcessed(static_cast<std::int64_t>(records));
  state.counters["records"] = static_cast<double>(records);
}
BENCHMARK(BM_SimulatedStreams)->ArgName("scripted")->Arg(0)->Arg(1);

}  // namespace
}  // namespace pemdor
