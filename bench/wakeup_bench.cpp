// What a sync run costs the process while it samples: a collector's four streams at 0.1 s on the
// real dispatcher, on the simulated device and on IIO devices faked by umockdev. Reported per
// second of sampling: wake-ups (the process's voluntary context switches, from getrusage) and
// CPU milliseconds. The window starts once the run has settled, so start-up and exit are not in
// the figures. The benchmark's own thread sleeps through the window (one wake-up of its own).
//
// The IIO case needs umockdev's preload: run the program as
//   umockdev-wrapper build/default/bench/pemdor_wakeup_bench
// Without it the IIO case reports an error and the simulated one still runs.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <variant>

#include "pemdor/PemdorDeviceSensorInfo.h"
#include "pemdor/platform/Providers.h"
#include "pemdor/platform/RealDispatcher.h"
#include "pemdor/platform/SimulatedDevice.h"

#ifdef PEMDOR_BENCH_UMOCKDEV
#include "UmockdevTestbed.h"
#endif

namespace pemdor {
namespace {

using namespace std::chrono_literals;

constexpr auto kSettle = 500ms;
constexpr auto kWindow = 4s;

struct Usage {
  double cpuSeconds = 0.0;
  long wakeUps = 0;
  static Usage now() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    auto seconds = [](const timeval& t) {
      return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    };
    return {seconds(r.ru_utime) + seconds(r.ru_stime), r.ru_nvcsw};
  }
};

std::size_t recordsSoFar(PemdorDeviceSensorInfo& collector) {
  std::size_t total = 0;
  for (const auto& [key, value] : collector.getSensorData()) {
    if (const auto* list = std::get_if<PemdorRecordListRef>(&value)) total += (*list)->count();
  }
  return total;
}

// Runs an unlimited sync run on `platform` and measures one window per iteration.
void measureSyncRun(benchmark::State& state, const std::shared_ptr<Platform>& platform) {
  auto collector = PemdorDeviceSensorInfo::init(platform);
  if (!collector) {
    state.SkipWithError("no collector on this platform");
    return;
  }
  collector->startSensors(INT32_MAX);
  std::this_thread::sleep_for(kSettle);
  double seconds = 0.0, cpu = 0.0, wakeUps = 0.0, records = 0.0;
  for (auto _ : state) {
    const std::size_t recordsBefore = recordsSoFar(*collector);
    const Usage before = Usage::now();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(kWindow);
    const Usage after = Usage::now();
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    records += static_cast<double>(recordsSoFar(*collector) - recordsBefore);
    state.SetIterationTime(elapsed);
    seconds += elapsed;
    cpu += after.cpuSeconds - before.cpuSeconds;
    wakeUps += static_cast<double>(after.wakeUps - before.wakeUps);
  }
  collector->finishSensors();
  state.counters["wakeups_per_s"] = wakeUps / seconds;
  state.counters["cpu_ms_per_s"] = cpu * 1e3 / seconds;
  state.counters["records_per_s"] = records / seconds;
}

void BM_SyncRunSimulated(benchmark::State& state) {
  auto dispatcher = RealDispatcher::create();
  auto device = SimulatedDevice::create(SimScenario{}, dispatcher);
  // No location service, as with the sample host's --location none.
  measureSyncRun(state,
                 Platform::create({dispatcher, device->clock(), device->motionService(), nullptr}));
}
BENCHMARK(BM_SyncRunSimulated)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

void BM_SyncRunIio(benchmark::State& state) {
#ifdef PEMDOR_BENCH_UMOCKDEV
  if (!iio_test::UmockdevTestbed::inMockEnvironment()) {
    state.SkipWithError("run under umockdev-wrapper for the IIO case");
    return;
  }
  iio_test::UmockdevTestbed testbed;
  testbed.addDevice("iio:device0", {{"in_accel_x_raw", "0"},
                                    {"in_accel_y_raw", "0"},
                                    {"in_accel_z_raw", "981"},
                                    {"in_accel_scale", "0.01"},
                                    {"in_anglvel_x_raw", "1"},
                                    {"in_anglvel_y_raw", "2"},
                                    {"in_anglvel_z_raw", "3"},
                                    {"in_anglvel_scale", "0.001"},
                                    {"in_magn_x_raw", "20"},
                                    {"in_magn_y_raw", "-5"},
                                    {"in_magn_z_raw", "-40"},
                                    {"in_magn_scale", "0.01"}});
  auto dispatcher = RealDispatcher::create();
  measureSyncRun(
      state, Platform::create({dispatcher, nullptr, makeIioMotionService(dispatcher), nullptr}));
#else
  state.SkipWithError("this build has no IIO provider or no umockdev");
#endif
}
BENCHMARK(BM_SyncRunIio)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace pemdor
