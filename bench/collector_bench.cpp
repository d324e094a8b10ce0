// SPDX-License-Identifier: MIT
// Costs of the collector: reading formats, whole runs in virtual time, sync throughput, reads
// of the sync data, and on the real dispatcher the completion latency and the CPU spent while
// a run waits for a position.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "../collector/ReadingFormat.h"
#include "../collector/RecordListAccess.h"
#include "pemdor/PemdorDeviceSensorInfo.h"
#include "pemdor/platform/RealDispatcher.h"
#include "pemdor/platform/SimulatedDevice.h"
#include "pemdor/platform/VirtualDispatcher.h"

namespace pemdor {
namespace {

SimScenario scenario(const char* json) {
  return *parseSimScenario(json).scenario;
}

const CMVector kReading{0.1234, -0.5, 9.81};

void BM_FormatCallbackReading(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(detail::formatCallbackReading(kReading, 2));
}
BENCHMARK(BM_FormatCallbackReading);

void BM_SnprintfCallbackReading(benchmark::State& state) {
  for (auto _ : state) {
    char buffer[128];
    const int n = std::snprintf(buffer, sizeof buffer, "[%.2f, %.2f, %.2f]", kReading.x, kReading.y,
                                kReading.z);
    benchmark::DoNotOptimize(std::string(buffer, static_cast<std::size_t>(n)));
  }
}
BENCHMARK(BM_SnprintfCallbackReading);

void BM_FormatSyncReading(benchmark::State& state) {
  const std::string stamp = "1449000000123";
  for (auto _ : state) benchmark::DoNotOptimize(detail::formatSyncReading(kReading, stamp));
}
BENCHMARK(BM_FormatSyncReading);

void BM_SnprintfSyncReading(benchmark::State& state) {
  const std::string stamp = "1449000000123";
  for (auto _ : state) {
    char buffer[160];
    const int n = std::snprintf(buffer, sizeof buffer, "%f,%f,%f,%s", kReading.x, kReading.y,
                                kReading.z, stamp.c_str());
    benchmark::DoNotOptimize(std::string(buffer, static_cast<std::size_t>(n)));
  }
}
BENCHMARK(BM_SnprintfSyncReading);

// One whole callback run in virtual time: three sensors of eleven deliveries, a fix, the
// snapshot and the completion.
void BM_CallbackRunVirtual(benchmark::State& state) {
  auto dispatcher = VirtualDispatcher::create();
  auto device = SimulatedDevice::create(
      scenario(R"({"location": {"events": [{"after": 0.05, "locations": [[12.5, -45.25]]}]}})"),
      dispatcher);
  auto collector = PemdorDeviceSensorInfo::init(device->platform());
  benchmark::IterationCount completions = 0;
  for (auto _ : state) {
    collector->processSensorsWithCallBack(
        [&](const std::string&, const std::string&, const std::optional<std::string>&) {
          ++completions;
        });
    dispatcher->advanceBy(1.2);
  }
  if (completions != state.iterations()) state.SkipWithError("a run did not complete");
}
BENCHMARK(BM_CallbackRunVirtual)->Unit(benchmark::kMicrosecond);

// Sync records through the whole path (timer, handler, timestamp, format, append) in virtual
// time, four streams at once, with a limit that never stops them.
void BM_SyncRecordsVirtual(benchmark::State& state) {
  auto dispatcher = VirtualDispatcher::create();
  auto device = SimulatedDevice::create(scenario(R"({"location": {"events": []}})"), dispatcher);
  auto collector = PemdorDeviceSensorInfo::init(device->platform());
  collector->startSensors(INT_MAX);
  dispatcher->runUntilIdle();
  std::size_t before = 0;
  std::size_t records = 0;
  for (auto _ : state) {
    dispatcher->advanceBy(10.0);  // 100 readings per stream
    state.PauseTiming();
    std::size_t now = 0;
    for (const auto& list : {collector->accelerometerRecords(), collector->gyroRecords(),
                             collector->magneticRecords(), collector->gravityRecords()}) {
      now += list->count();
    }
    records += now - before;
    before = now;
    // Keep memory flat over long runs.
    if (now > 2'000'000) {
      collector->startSensors(INT_MAX);
      dispatcher->runUntilIdle();
      before = 0;
    }
    state.ResumeTiming();
  }
  collector->finishSensors();
  state.SetItemsProcessed(static_cast<std::int64_t>(records));
}
BENCHMARK(BM_SyncRecordsVirtual)->Unit(benchmark::kMillisecond);

// getSensorData hands out the live lists: its cost must not grow with their length.
void BM_GetSensorData(benchmark::State& state) {
  auto dispatcher = VirtualDispatcher::create();
  auto device = SimulatedDevice::create(SimScenario{}, dispatcher);
  auto collector = PemdorDeviceSensorInfo::init(device->platform());
  for (const auto& list : {collector->accelerometerRecords(), collector->gyroRecords(),
                           collector->magneticRecords(), collector->gravityRecords()}) {
    for (std::int64_t i = 0; i < state.range(0); ++i) {
      list->append("0.010000,-0.020000,-0.980000,1449000000123");
    }
  }
  collector->setCurrentLocation(std::make_shared<CLLocation>(12.5, -45.25));
  collector->setCurrentLocationTime("1449000000123");
  for (auto _ : state) benchmark::DoNotOptimize(collector->getSensorData());
}
BENCHMARK(BM_GetSensorData)->RangeMultiplier(100)->Range(10, 1'000'000);

// A sync run's handlers store readings as numbers; the reader pays for their texts, once, on
// the first read of the list. Per reading, that first snapshot, and any later one.
void snapshotOfStoredReadings(benchmark::State& state, bool first) {
  const auto readings = static_cast<std::size_t>(state.range(0));
  auto fill = [readings] {
    auto list = PemdorRecordList::create();
    for (std::size_t i = 0; i < readings; ++i) {
      detail::RecordListAccess::appendSyncReadingIfBelow(
          *list, kReading, 1449000000.0 + 0.1 * static_cast<double>(i), SIZE_MAX);
    }
    return list;
  };
  auto list = fill();
  if (!first) (void)list->snapshot();
  for (auto _ : state) {
    if (first) {
      state.PauseTiming();
      list = fill();
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(list->snapshot());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(readings));
}
void BM_FirstSnapshotOfStoredReadings(benchmark::State& state) {
  snapshotOfStoredReadings(state, true);
}
BENCHMARK(BM_FirstSnapshotOfStoredReadings)->Arg(1000);
void BM_LaterSnapshotOfStoredReadings(benchmark::State& state) {
  snapshotOfStoredReadings(state, false);
}
BENCHMARK(BM_LaterSnapshotOfStoredReadings)->Arg(1000);

// A motion manager that forwards to another and notes when each delivery reaches the
// collector's handler.
class TimingMotionManager final : public CMMotionManager {
 public:
  explicit TimingMotionManager(std::shared_ptr<CMMotionManager> inner) : inner_(std::move(inner)) {}
  bool isAvailable(MotionStream s) const override { return inner_->isAvailable(s); }
  void setUpdateInterval(MotionStream s, double v) override { inner_->setUpdateInterval(s, v); }
  double updateInterval(MotionStream s) const override { return inner_->updateInterval(s); }
  void startUpdates(MotionStream s, std::shared_ptr<OperationQueue> q, VectorHandler h) override {
    inner_->startUpdates(s, std::move(q), [this, h](const CMVector* v, const NSError* e) {
      lastDelivery.store(std::chrono::steady_clock::now().time_since_epoch().count());
      h(v, e);
    });
  }
  void stopUpdates(MotionStream s) override { inner_->stopUpdates(s); }
  bool isActive(MotionStream s) const override { return inner_->isActive(s); }

  std::atomic<std::chrono::steady_clock::rep> lastDelivery{0};

 private:
  std::shared_ptr<CMMotionManager> inner_;
};

struct Waiter {
  std::mutex mutex;
  std::condition_variable done;
  bool completed = false;
  std::chrono::steady_clock::rep at = 0;
  PemdorDeviceSensorInfo::Completion completion() {
    return [this](const std::string&, const std::string&, const std::optional<std::string>&) {
      std::lock_guard guard(mutex);
      at = std::chrono::steady_clock::now().time_since_epoch().count();
      completed = true;
      done.notify_all();
    };
  }
  void wait() {
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return completed; });
  }
};

// Real dispatcher, simulated device at 0.1 s: from the eleventh delivery of the last sensor to
// the completion (reported as the manual time of each iteration).
void BM_CompletionLatencyReal(benchmark::State& state) {
  auto dispatcher = RealDispatcher::create();
  auto device = SimulatedDevice::create(
      scenario(R"({"location": {"events": [{"after": 0.05, "locations": [[12.5, -45.25]]}]}})"),
      dispatcher);
  auto collector = PemdorDeviceSensorInfo::init(device->platform());
  auto timing = std::make_shared<TimingMotionManager>(collector->motionManager());
  collector->setMotionManager(timing);
  for (auto _ : state) {
    Waiter waiter;
    collector->processSensorsWithCallBack(waiter.completion());
    waiter.wait();
    const auto latency = std::chrono::steady_clock::duration(waiter.at - timing->lastDelivery);
    state.SetIterationTime(std::chrono::duration<double>(latency).count());
  }
  dispatcher->shutdown();
}
BENCHMARK(BM_CompletionLatencyReal)->UseManualTime()->Iterations(5)->Unit(benchmark::kMicrosecond);

double processCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Real dispatcher: the CPU time of a whole callback run whose position wait lasts range(0)
// seconds (no fix; the timeout ends it). The motion part is over after 1.1 s; a run that waits
// ten seconds must cost what a one-second run costs.
void BM_CpuWhileWaitingReal(benchmark::State& state) {
  const double wait = static_cast<double>(state.range(0));
  auto dispatcher = RealDispatcher::create();
  auto device = SimulatedDevice::create(
      scenario(wait >= 10 ? R"({"location": {"events": []}})"
                          : R"({"location": {"events": [{"after": 1.0, "fail": true}]}})"),
      dispatcher);
  auto collector = PemdorDeviceSensorInfo::init(device->platform());
  double cpu = 0;
  for (auto _ : state) {
    const double before = processCpuSeconds();
    Waiter waiter;
    collector->processSensorsWithCallBack(waiter.completion());
    waiter.wait();
    cpu = processCpuSeconds() - before;
  }
  state.counters["cpu_ms"] = cpu * 1000.0;
  dispatcher->shutdown();
}
BENCHMARK(BM_CpuWhileWaitingReal)->Arg(1)->Arg(10)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace pemdor
