// SPDX-License-Identifier: MIT
// What a sync run costs the process while it samples: a collector's four streams at 0.1 s on the
// real dispatcher, on the simulated device and on IIO devices faked by umockdev. Reported per
// second of sampling: wake-ups (the process's voluntary context switches, from getrusage) and
// CPU milliseconds. The window starts once the run has settled, so start-up and exit are not in
// the figures. The benchmark's own thread sleeps through the window (one wake-up of its own).
// Cases for the layers underneath (a bare thread waking ten times a second, the dispatcher's
// timers, the simulated streams) show how much of the figure is the machine's price of a wake-up.
// BM_SideBySide runs the bare thread, those layers and both sync runs in turns and prints the
// ratios that are comparable from one machine (and one load) to another: sim_over_floor and
// iio_over_sim.
//
// The IIO case needs umockdev's preload: run the program as
//   umockdev-wrapper build/default/bench/pemdor_wakeup_bench
// Without it the IIO case reports an error and the simulated one still runs.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
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

// Measures one window per iteration, once what runs in the background has settled. `records`,
// when given, counts what has been collected so far.
void measureWindows(benchmark::State& state,
                    const std::function<std::size_t()>& records = nullptr) {
  std::this_thread::sleep_for(kSettle);
  double seconds = 0.0, cpu = 0.0, wakeUps = 0.0, collected = 0.0;
  for (auto _ : state) {
    const std::size_t recordsBefore = records ? records() : 0;
    const Usage before = Usage::now();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(kWindow);
    const Usage after = Usage::now();
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (records) collected += static_cast<double>(records() - recordsBefore);
    state.SetIterationTime(elapsed);
    seconds += elapsed;
    cpu += after.cpuSeconds - before.cpuSeconds;
    wakeUps += static_cast<double>(after.wakeUps - before.wakeUps);
  }
  state.counters["wakeups_per_s"] = wakeUps / seconds;
  state.counters["cpu_ms_per_s"] = cpu * 1e3 / seconds;
  if (records) state.counters["records_per_s"] = collected / seconds;
}

std::size_t recordsSoFar(PemdorDeviceSensorInfo& collector) {
  std::size_t total = 0;
  for (const auto& [key, value] : collector.getSensorData()) {
    if (const auto* list = std::get_if<PemdorRecordListRef>(&value)) total += (*list)->count();
  }
  return total;
}

// Runs an unlimited sync run on `platform` and measures it.
void measureSyncRun(benchmark::State& state, const std::shared_ptr<Platform>& platform) {
  auto collector = PemdorDeviceSensorInfo::init(platform);
  if (!collector) {
    state.SkipWithError("no collector on this platform");
    return;
  }
  collector->startSensors(INT32_MAX);
  measureWindows(state, [&] { return recordsSoFar(*collector); });
  collector->finishSensors();
}

void BM_SyncRunSimulated(benchmark::State& state) {
  auto dispatcher = RealDispatcher::create();
  auto device = SimulatedDevice::create(SimScenario{}, dispatcher);
  // No location service, as with the sample host's --location none.
  measureSyncRun(state,
                 Platform::create({dispatcher, device->clock(), device->motionService(), nullptr}));
}
BENCHMARK(BM_SyncRunSimulated)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// The layers under the simulated case, to tell what the library costs from what the machine
// charges for waking a thread ten times a second:
// - a bare thread that waits for the next 0.1 s on a condition variable and does nothing else;
// - the real dispatcher running a task that schedules itself again every 0.1 s on a work queue;
// - the simulated device's four streams with handlers that do nothing.
void BM_BareWakeUps(benchmark::State& state) {
  std::mutex mutex;
  std::condition_variable stopped;
  bool stop = false;
  std::thread waker([&] {
    std::unique_lock lock(mutex);
    for (auto due = std::chrono::steady_clock::now(); !stop;) {
      due += 100ms;
      stopped.wait_until(lock, due, [&] { return stop; });
    }
  });
  measureWindows(state);
  {
    std::lock_guard lock(mutex);
    stop = true;
  }
  stopped.notify_one();
  waker.join();
}
BENCHMARK(BM_BareWakeUps)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

class SelfSchedulingTask : public std::enable_shared_from_this<SelfSchedulingTask> {
 public:
  explicit SelfSchedulingTask(const std::shared_ptr<Dispatcher>& dispatcher)
      : dispatcher_(dispatcher),
        queue_(dispatcher->makeOperationQueue("tick")),
        base_(dispatcher->monotonicNow()) {
    queue_->setMaxConcurrentOperationCount(1);
  }
  void schedule() {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    ++ticks_;
    timer_ = dispatcher_->scheduleAt(base_ + 0.1 * static_cast<double>(ticks_), queue_,
                                     [weak = weak_from_this()] {
                                       if (auto self = weak.lock()) self->schedule();
                                     });
  }
  void stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    if (timer_) timer_->cancel();
  }

 private:
  const std::shared_ptr<Dispatcher> dispatcher_;
  const std::shared_ptr<OperationQueue> queue_;
  const double base_;
  std::mutex mutex_;
  std::uint64_t ticks_ = 0;
  bool stopped_ = false;
  std::shared_ptr<TimerHandle> timer_;
};

void BM_DispatcherTick(benchmark::State& state) {
  auto dispatcher = RealDispatcher::create();
  auto task = std::make_shared<SelfSchedulingTask>(dispatcher);
  task->schedule();
  measureWindows(state);
  task->stop();
}
BENCHMARK(BM_DispatcherTick)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

void BM_SimMotionStreams(benchmark::State& state) {
  auto dispatcher = RealDispatcher::create();
  auto device = SimulatedDevice::create(SimScenario{}, dispatcher);
  auto manager = device->motionService()->makeMotionManager();
  auto queue = dispatcher->makeOperationQueue("motion");
  queue->setMaxConcurrentOperationCount(1);
  for (MotionStream stream : kAllMotionStreams) {
    manager->startUpdates(stream, queue, [](const CMVector*, const NSError*) {});
  }
  measureWindows(state);
  for (MotionStream stream : kAllMotionStreams) manager->stopUpdates(stream);
}
BENCHMARK(BM_SimMotionStreams)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

#ifdef PEMDOR_BENCH_UMOCKDEV
// An IMU with an accelerometer, a gyroscope and a magnetometer, read through sysfs.
const iio_test::UmockdevTestbed::Attributes kIioDevice = {
    {"in_accel_x_raw", "0"},    {"in_accel_y_raw", "0"},       {"in_accel_z_raw", "981"},
    {"in_accel_scale", "0.01"}, {"in_anglvel_x_raw", "1"},     {"in_anglvel_y_raw", "2"},
    {"in_anglvel_z_raw", "3"},  {"in_anglvel_scale", "0.001"}, {"in_magn_x_raw", "20"},
    {"in_magn_y_raw", "-5"},    {"in_magn_z_raw", "-40"},      {"in_magn_scale", "0.01"}};
#endif

void BM_SyncRunIio(benchmark::State& state) {
#ifdef PEMDOR_BENCH_UMOCKDEV
  if (!iio_test::UmockdevTestbed::inMockEnvironment()) {
    state.SkipWithError("run under umockdev-wrapper for the IIO case");
    return;
  }
  iio_test::UmockdevTestbed testbed;
  testbed.addDevice("iio:device0", kIioDevice);
  auto dispatcher = RealDispatcher::create();
  measureSyncRun(
      state, Platform::create({dispatcher, nullptr, makeIioMotionService(dispatcher), nullptr}));
#else
  state.SkipWithError("this build has no IIO provider or no umockdev");
#endif
}
BENCHMARK(BM_SyncRunIio)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// The three figures that matter side by side, in one run: a bare thread that sleeps on
// clock_nanosleep until the next 0.1 s, the sync run on the simulated device, and the sync run on
// IIO devices (under umockdev). They take turns, one window each per round, so that the load of
// the machine, which changes what a wake-up costs, weighs on all three alike. Reported: each
// one's CPU milliseconds and wake-ups per second over all rounds, and the ratios
// sim_over_floor and iio_over_sim of the CPU figures. The dispatcher's timer alone (tick) and the
// simulated streams with empty handlers (streams) take their turns too, to tell the layers apart.
constexpr int kRounds = 3;
constexpr auto kTurn = 2s;

struct Turn {
  double seconds = 0.0;
  double cpu = 0.0;
  double wakeUps = 0.0;
  double cpuMsPerSecond() const { return seconds > 0.0 ? cpu * 1e3 / seconds : 0.0; }
  double wakeUpsPerSecond() const { return seconds > 0.0 ? wakeUps / seconds : 0.0; }
};

// Measures one window of kTurn after kSettle, adding it to `turn`.
void measureTurn(Turn& turn) {
  std::this_thread::sleep_for(kSettle);
  const Usage before = Usage::now();
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(kTurn);
  const Usage after = Usage::now();
  turn.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  turn.cpu += after.cpuSeconds - before.cpuSeconds;
  turn.wakeUps += static_cast<double>(after.wakeUps - before.wakeUps);
}

void floorTurn(Turn& turn) {
  std::atomic<bool> stop{false};
  std::thread waker([&stop] {
    timespec due{};
    clock_gettime(CLOCK_MONOTONIC, &due);
    while (!stop.load(std::memory_order_relaxed)) {
      due.tv_nsec += 100'000'000;
      if (due.tv_nsec >= 1'000'000'000) {
        due.tv_nsec -= 1'000'000'000;
        ++due.tv_sec;
      }
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
    }
  });
  measureTurn(turn);
  stop.store(true);
  waker.join();
}

bool syncRunTurn(Turn& turn, const std::shared_ptr<Platform>& platform) {
  auto collector = PemdorDeviceSensorInfo::init(platform);
  if (!collector) return false;
  collector->startSensors(INT32_MAX);
  measureTurn(turn);
  collector->finishSensors();
  return true;
}

// The layers under the simulated sync run, taking their turns beside it: the dispatcher's timer
// alone, and the simulated streams with handlers that do nothing.
void tickTurn(Turn& turn) {
  auto dispatcher = RealDispatcher::create();
  auto task = std::make_shared<SelfSchedulingTask>(dispatcher);
  task->schedule();
  measureTurn(turn);
  task->stop();
}

void streamsTurn(Turn& turn) {
  auto dispatcher = RealDispatcher::create();
  auto device = SimulatedDevice::create(SimScenario{}, dispatcher);
  auto manager = device->motionService()->makeMotionManager();
  auto queue = dispatcher->makeOperationQueue("motion");
  queue->setMaxConcurrentOperationCount(1);
  for (MotionStream stream : kAllMotionStreams) {
    manager->startUpdates(stream, queue, [](const CMVector*, const NSError*) {});
  }
  measureTurn(turn);
  for (MotionStream stream : kAllMotionStreams) manager->stopUpdates(stream);
}

void BM_SideBySide(benchmark::State& state) {
  Turn floor, tick, streams, sim, iio;
  bool withIio = false;
#ifdef PEMDOR_BENCH_UMOCKDEV
  std::optional<iio_test::UmockdevTestbed> testbed;
  if (iio_test::UmockdevTestbed::inMockEnvironment()) {
    testbed.emplace();
    testbed->addDevice("iio:device0", kIioDevice);
    withIio = true;
  }
#endif
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < kRounds; ++round) {
      floorTurn(floor);
      tickTurn(tick);
      streamsTurn(streams);
      {
        auto dispatcher = RealDispatcher::create();
        auto device = SimulatedDevice::create(SimScenario{}, dispatcher);
        syncRunTurn(
            sim, Platform::create({dispatcher, device->clock(), device->motionService(), nullptr}));
      }
      if (withIio) {
        auto dispatcher = RealDispatcher::create();
        withIio = syncRunTurn(iio, Platform::create({dispatcher, nullptr,
                                                     makeIioMotionService(dispatcher), nullptr}));
      }
    }
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.counters["floor_cpu_ms_per_s"] = floor.cpuMsPerSecond();
  state.counters["floor_wakeups_per_s"] = floor.wakeUpsPerSecond();
  state.counters["tick_cpu_ms_per_s"] = tick.cpuMsPerSecond();
  state.counters["streams_cpu_ms_per_s"] = streams.cpuMsPerSecond();
  state.counters["sim_cpu_ms_per_s"] = sim.cpuMsPerSecond();
  state.counters["sim_wakeups_per_s"] = sim.wakeUpsPerSecond();
  state.counters["sim_over_floor"] = sim.cpuMsPerSecond() / floor.cpuMsPerSecond();
  if (withIio) {
    state.counters["iio_cpu_ms_per_s"] = iio.cpuMsPerSecond();
    state.counters["iio_wakeups_per_s"] = iio.wakeUpsPerSecond();
    state.counters["iio_over_sim"] = iio.cpuMsPerSecond() / sim.cpuMsPerSecond();
  }
}
BENCHMARK(BM_SideBySide)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace pemdor
