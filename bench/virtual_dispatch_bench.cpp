// SPDX-License-Identifier: MIT
// Throughput of the virtual dispatcher: the simulated device pushes its motion records through
// it, one or two posted tasks each, and wants about two million records per second.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "pemdor/platform/VirtualDispatcher.h"

namespace {

using pemdor::VirtualDispatcher;

// A batch of posts to one serial work queue, then one drain.
void BM_PostBatchThenRunUntilIdle(benchmark::State& state) {
  auto dispatcher = VirtualDispatcher::create();
  auto queue = dispatcher->makeOperationQueue("records");
  queue->setMaxConcurrentOperationCount(1);
  const auto batch = state.range(0);
  std::uint64_t sum = 0;
  for (auto _ : state) {
    for (std::int64_t i = 0; i < batch; ++i) {
      queue->async([&sum, i] { sum += static_cast<std::uint64_t>(i); });
    }
    dispatcher->runUntilIdle();
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_PostBatchThenRunUntilIdle)->Arg(1)->Arg(64)->Arg(4096);

// The shape of one motion record: a handler task on the work queue that posts a follow-up to the
// main queue, with a record-sized capture.
void BM_RecordWithFollowUp(benchmark::State& state) {
  auto dispatcher = VirtualDispatcher::create();
  auto work = dispatcher->makeOperationQueue("records");
  work->setMaxConcurrentOperationCount(1);
  auto main = dispatcher->mainQueue();
  double sum = 0;
  for (auto _ : state) {
    for (int i = 0; i < 64; ++i) {
      const double x = i;
      work->async([&sum, main, x, y = x * 2, z = x * 3] {
        sum += x + y + z;
        main->async([&sum] { sum += 1; });
      });
    }
    dispatcher->runUntilIdle();
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * 64);
  state.counters["tasks/s"] = benchmark::Counter(static_cast<double>(state.iterations() * 128),
                                                 benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RecordWithFollowUp);

// A timer that re-arms itself every 0.1 s, as a motion stream does, driven by advanceBy().
void BM_TimerChain(benchmark::State& state) {
  auto dispatcher = VirtualDispatcher::create();
  auto queue = dispatcher->makeOperationQueue("stream");
  std::uint64_t fired = 0;
  std::function<void()> tick = [&] {
    ++fired;
    dispatcher->scheduleAfter(0.1, queue, tick);
  };
  dispatcher->scheduleAfter(0.1, queue, tick);
  for (auto _ : state) dispatcher->advanceBy(100.0);
  state.SetItemsProcessed(static_cast<std::int64_t>(fired));
}
BENCHMARK(BM_TimerChain);

// Many timers pending at once, with a share of them cancelled before they fall due.
void BM_ManyTimersHalfCancelled(benchmark::State& state) {
  auto dispatcher = VirtualDispatcher::create();
  auto main = dispatcher->mainQueue();
  const auto count = state.range(0);
  std::uint64_t fired = 0;
  for (auto _ : state) {
    for (std::int64_t i = 0; i < count; ++i) {
      auto timer = dispatcher->scheduleAfter(static_cast<double>(i % 97) * 0.01, main,
                                             [&fired] { ++fired; });
      if (i % 2 == 0) timer->cancel();
    }
    dispatcher->advanceBy(1.0);
  }
  benchmark::DoNotOptimize(fired);
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_ManyTimersHalfCancelled)->Arg(1024);

}  // namespace
