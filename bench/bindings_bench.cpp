// SPDX-License-Identifier: MIT
// The same runs from C++, from C (bindings_runs.c, through pemdor/pemdor.h) and, with
// bench/bindings_bench.py, from Python: a virtual-time sync run over a ten-minute trace (6,000
// readings per stream, loaded from its file, all of them read back), and callback runs in
// virtual time on the built-in scenario. The trace is recorded into a temporary file first,
// or taken from PEMDOR_BENCH_TRACE.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "Record.h"
#include "ScenarioWriter.h"
#include "bindings_runs.h"
#include "pemdor/PemdorDeviceSensorInfo.h"
#include "pemdor/platform/SimulatedDevice.h"
#include "pemdor/platform/VirtualDispatcher.h"

namespace pemdor {
namespace {

constexpr double kTenMinutes = 600.0;
constexpr std::int32_t kReadingsPerStream = 6000;
constexpr double kSecondsPerCallbackRun = 1.2;

const std::string& tracePath() {
  static const std::string path = [] {
    if (const char* given = std::getenv("PEMDOR_BENCH_TRACE")) return std::string(given);
    auto dispatcher = VirtualDispatcher::create();
    SimScenario scenario;
    scenario.clockStart = 1765184400.25;
    auto device = SimulatedDevice::create(scenario, dispatcher);
    auto recorder = host::Recorder::start(device->platform());
    dispatcher->advanceBy(kTenMinutes);
    const std::string file = "/tmp/pemdor-bindings-bench-" + std::to_string(::getpid()) + ".json";
    std::ofstream(file) << host::scenarioText(recorder->stop().scenario);
    return file;
  }();
  return path;
}

// What a C++ host does for the same run: the data read, every record text copied out.
std::size_t cppSyncRun(const std::string& path) {
  auto loaded = loadSimScenarioFile(path);
  auto dispatcher = VirtualDispatcher::create();
  auto device = SimulatedDevice::create(std::move(*loaded.scenario), dispatcher);
  auto collector = PemdorDeviceSensorInfo::init(device->platform());
  collector->startSensors(kReadingsPerStream);
  dispatcher->advanceBy(kTenMinutes + 1.0);
  std::size_t texts = 0;
  for (const auto& [key, value] : collector->getSensorData()) {
    if (const auto* list = std::get_if<PemdorRecordListRef>(&value)) {
      const std::vector<std::string> entries = (*list)->snapshot();
      texts += entries.size();
      benchmark::DoNotOptimize(entries.data());
    } else {
      ++texts;
    }
  }
  collector->finishSensors();
  dispatcher->runUntil([] { return false; }, kLocationWaitSeconds + 1.0);
  return texts;
}

void BM_SyncTenMinutes_Cpp(benchmark::State& state) {
  const std::string& path = tracePath();
  std::size_t texts = 0;
  for (auto _ : state) texts = cppSyncRun(path);
  state.counters["texts"] = static_cast<double>(texts);
}
BENCHMARK(BM_SyncTenMinutes_Cpp)->Unit(benchmark::kMillisecond);

void BM_SyncTenMinutes_C(benchmark::State& state) {
  const std::string& path = tracePath();
  std::size_t bytes = 0;
  for (auto _ : state)
    bytes = bindings_c_sync_run(path.c_str(), kReadingsPerStream, kTenMinutes + 1.0);
  if (bytes == 0) state.SkipWithError("the C sync run gave no data");
  state.counters["json_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_SyncTenMinutes_C)->Unit(benchmark::kMillisecond);

// Callback runs: one collector, one run after another, as in BM_CallbackRunVirtual.
void BM_CallbackRun_Cpp(benchmark::State& state) {
  auto dispatcher = VirtualDispatcher::create();
  auto device = SimulatedDevice::create(SimScenario{}, dispatcher);
  auto collector = PemdorDeviceSensorInfo::init(device->platform());
  long completions = 0;
  for (auto _ : state) {
    collector->processSensorsWithCallBack(
        [&](const std::string&, const std::string&, const std::optional<std::string>& json) {
          if (json) ++completions;
        });
    dispatcher->advanceBy(kSecondsPerCallbackRun);
  }
  if (completions != static_cast<long>(state.iterations())) {
    state.SkipWithError("a run did not complete");
  }
  collector->finishSensors();
  dispatcher->runUntil([] { return false; }, kLocationWaitSeconds + 1.0);
}
BENCHMARK(BM_CallbackRun_Cpp)->Unit(benchmark::kMicrosecond);

void BM_CallbackRun_C(benchmark::State& state) {
  // Batches of 100 runs keep the platform's setup out of the figure.
  constexpr long kBatch = 100;
  long completions = 0;
  for (auto _ : state) completions += bindings_c_callback_runs(kBatch, kSecondsPerCallbackRun);
  if (completions != kBatch * static_cast<long>(state.iterations())) {
    state.SkipWithError("a run did not complete");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(completions));
}
BENCHMARK(BM_CallbackRun_C)->Unit(benchmark::kMillisecond);

void BM_CallbackRunBatch_Cpp(benchmark::State& state) {
  constexpr long kBatch = 100;
  long completions = 0;
  for (auto _ : state) {
    auto dispatcher = VirtualDispatcher::create();
    auto device = SimulatedDevice::create(SimScenario{}, dispatcher);
    auto collector = PemdorDeviceSensorInfo::init(device->platform());
    for (long i = 0; i < kBatch; ++i) {
      collector->processSensorsWithCallBack(
          [&](const std::string&, const std::string&, const std::optional<std::string>& json) {
            if (json) ++completions;
          });
      dispatcher->advanceBy(kSecondsPerCallbackRun);
    }
    collector->finishSensors();
    dispatcher->runUntil([] { return false; }, kLocationWaitSeconds + 1.0);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(completions));
}
BENCHMARK(BM_CallbackRunBatch_Cpp)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pemdor
