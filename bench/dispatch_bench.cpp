// SPDX-License-Identifier: MIT
// Costs of the real dispatcher: posting and running tiny tasks on a serial work queue, how late
// timers run after their due time, and what an idle dispatcher costs in CPU time and wake-ups.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "pemdor/platform/RealDispatcher.h"

namespace {

using pemdor::RealDispatcher;

// Posts state.range(0) tasks per iteration to a serial queue and waits for the last one.
void BM_SerialQueuePostAndRun(benchmark::State& state) {
  auto d = RealDispatcher::create();
  auto queue = d->makeOperationQueue("bench");
  queue->setMaxConcurrentOperationCount(1);
  const auto burst = state.range(0);
  std::mutex mutex;
  std::condition_variable finished;
  long done = 0, posted = 0;
  for (auto _ : state) {
    ++posted;
    long ran = 0;  // Touched only by the serial queue's tasks.
    for (long i = 0; i < burst; ++i) {
      queue->async([&, i] {
        benchmark::DoNotOptimize(++ran);
        if (i + 1 == burst) {
          std::lock_guard lock(mutex);
          ++done;
          finished.notify_one();
        }
      });
    }
    std::unique_lock lock(mutex);
    finished.wait(lock, [&] { return done == posted; });
  }
  state.SetItemsProcessed(state.iterations() * burst);
}
BENCHMARK(BM_SerialQueuePostAndRun)->Arg(1)->Arg(1000)->UseRealTime();

// Schedules a timer 2 ms ahead and reports how long after its due time it ran: on the main queue
// (argument 0) or on a work queue (argument 1).
void BM_TimerLateness(benchmark::State& state) {
  auto d = RealDispatcher::create();
  auto queue = state.range(0) == 0
                   ? d->mainQueue()
                   : std::shared_ptr<pemdor::DispatchQueue>(d->makeOperationQueue());
  std::mutex mutex;
  std::condition_variable finished;
  double totalLate = 0, worstLate = 0;
  bool ran = false;
  for (auto _ : state) {
    const double due = d->monotonicNow() + 0.002;
    d->scheduleAt(due, queue, [&, due] {
      const double late = d->monotonicNow() - due;
      std::lock_guard lock(mutex);
      totalLate += late;
      worstLate = std::max(worstLate, late);
      ran = true;
      finished.notify_one();
    });
    std::unique_lock lock(mutex);
    finished.wait(lock, [&] { return ran; });
    ran = false;
  }
  state.counters["late_us_mean"] = totalLate * 1e6 / static_cast<double>(state.iterations());
  state.counters["late_us_worst"] = worstLate * 1e6;
}
BENCHMARK(BM_TimerLateness)->Arg(0)->Arg(1)->Iterations(200)->UseRealTime();

double cpuSeconds(const rusage& usage) {
  auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Leaves a started dispatcher with a pending far-away timer idle for three seconds and reports
// the CPU time and context switches of the whole process meanwhile (the benchmark's own thread
// only sleeps).
void BM_IdleDispatcher(benchmark::State& state) {
  for (auto _ : state) {
    auto d = RealDispatcher::create();
    auto timer = d->scheduleAfter(3600, d->mainQueue(), [] {});
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    getrusage(RUSAGE_SELF, &after);
    state.counters["idle_cpu_ms_per_s"] = (cpuSeconds(after) - cpuSeconds(before)) * 1e3 / 3;
    state.counters["idle_switches_per_s"] =
        static_cast<double>((after.ru_nvcsw + after.ru_nivcsw) -
                            (before.ru_nvcsw + before.ru_nivcsw)) /
        3;
    timer->cancel();
  }
}
BENCHMARK(BM_IdleDispatcher)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
