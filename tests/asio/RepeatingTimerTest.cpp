// SPDX-License-Identifier: MIT
#include "pemdor/internal/RepeatingTimer.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "DispatcherEvents.h"
#include "pemdor/platform/RealDispatcher.h"

namespace pemdor {
namespace {

using dispatcher_test::Events;
using dispatcher_test::kDeadline;
using dispatcher_test::Token;

std::shared_ptr<RealDispatcher> make(unsigned threads) {
  return RealDispatcher::create({.ownMainThread = true, .globalThreads = threads});
}

using Schedule = std::shared_ptr<TimerHandle> (*)(Dispatcher&, double, double,
                                                  std::shared_ptr<DispatchQueue>, Task);
// The real dispatcher's own timer, and the chain of one-shot timers that other dispatchers get,
// which must keep the same promises there.
constexpr Schedule kBothKinds[] = {&internal::scheduleRepeating,
                                   &internal::scheduleChainedRepeating};

// A queue of the host's own: tasks wait until the test runs them.
class HostQueue final : public DispatchQueue {
 public:
  void async(Task task) override {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
    changed_.notify_all();
  }
  std::string label() const override { return "host"; }
  // Waits for a task and takes it.
  Task take() {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, kDeadline, [&] { return !tasks_.empty(); })) return {};
    Task task = std::move(tasks_.front());
    tasks_.pop_front();
    return task;
  }
  std::size_t waiting() {
    std::lock_guard lock(mutex_);
    return tasks_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Task> tasks_;
};

TEST(RepeatingTimerTest, RunsOnItsQueueNeverEarlyUntilCancelledFromInside) {
  for (Schedule schedule : kBothKinds) {
    auto d = make(2);
    auto serial = d->makeOperationQueue();
    serial->setMaxConcurrentOperationCount(1);
    constexpr double kInterval = 0.004;
    constexpr int kRuns = 6;
    const double start = d->monotonicNow();
    // Plain data, written by the runs only: each run must see what the one before it wrote.
    std::vector<double> times;
    std::atomic<int> running{0}, overlaps{0}, onMain{0};
    Events runs, after;
    std::shared_ptr<TimerHandle> timer;
    std::promise<void> made;
    auto madeFuture = made.get_future().share();
    timer = schedule(*d, start, kInterval, serial, [&, madeFuture] {
      if (running.fetch_add(1) != 0) ++overlaps;
      if (d->isMainThread()) ++onMain;
      times.push_back(d->monotonicNow());
      madeFuture.wait();
      if (times.size() == kRuns) {
        timer->cancel();
        // Due long after the next run would have been, on the same queue.
        d->scheduleAt(start + (kRuns + 5) * kInterval, serial, [&] { after.add(); });
      }
      running.fetch_sub(1);
      runs.add();
    });
    made.set_value();
    ASSERT_TRUE(runs.waitFor(kRuns));
    ASSERT_TRUE(after.waitFor(1));
    EXPECT_EQ(runs.count(), kRuns) << "a cancel from inside the task stops the following runs";
    ASSERT_EQ(times.size(), static_cast<std::size_t>(kRuns));
    EXPECT_GE(times[0], start + kInterval);
    for (std::size_t k = 1; k < times.size(); ++k) {
      EXPECT_GE(times[k], times[k - 1]);
      // Due times are start + k × interval, computed afresh; a late run is never followed by
      // an early one.
      EXPECT_GE(times[k], start + static_cast<double>(k + 1) * kInterval) << k;
    }
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(onMain.load(), 0);
  }
}

TEST(RepeatingTimerTest, CancelFromAnotherThreadStopsLaterRunsAndReleasesTheTask) {
  for (Schedule schedule : kBothKinds) {
    auto d = make(2);
    Events runs, released, later;
    std::atomic<int> starts{0};
    auto token = std::make_shared<Token>(released);
    auto timer = schedule(*d, d->monotonicNow(), 0.001, d->mainQueue(), [&, token] {
      starts.fetch_add(1);
      runs.add();
    });
    token.reset();
    ASSERT_TRUE(runs.waitFor(3));
    timer->cancel();
    const int startedBeforeCancel = starts.load();
    // Twenty intervals later, behind whatever run was under way.
    d->scheduleAfter(0.02, d->mainQueue(), [&] { later.add(); });
    ASSERT_TRUE(later.waitFor(1));
    EXPECT_EQ(starts.load(), startedBeforeCancel);
    // The task goes with the cancel, handle or no handle.
    EXPECT_TRUE(released.waitFor(1));
    timer->cancel();
    timer.reset();
  }
}

// Timers on a concurrent queue and on a serial one, each cancelled by another thread at some
// point of its run: under the thread sanitizer this checks that a cancel racing the timer
// thread's re-arm and the runs themselves is safe, and that runs of one timer never overlap.
TEST(RepeatingTimerTest, CancelsRacingRunsAreSafeAndFinal) {
  auto d = make(3);
  auto serial = d->makeOperationQueue();
  serial->setMaxConcurrentOperationCount(1);
  constexpr int kTimers = 8, kRounds = 3;
  for (int round = 0; round < kRounds; ++round) {
    struct Watch {
      std::atomic<int> starts{0};
      std::atomic<int> running{0};
      std::atomic<int> overlaps{0};
      // Plain: ordered by the timer from one run to the next.
      long sum = 0;
      Events runs;
    };
    std::vector<std::unique_ptr<Watch>> watches;
    std::vector<std::shared_ptr<TimerHandle>> timers;
    for (int i = 0; i < kTimers; ++i) {
      auto& w = *watches.emplace_back(std::make_unique<Watch>());
      auto queue = i % 2 == 0 ? std::shared_ptr<DispatchQueue>(d->globalQueue()) : serial;
      timers.push_back(internal::scheduleRepeating(*d, d->monotonicNow(), 0.0002, queue, [&w] {
        if (w.running.fetch_add(1) != 0) ++w.overlaps;
        w.starts.fetch_add(1);
        w.sum += 1;
        w.running.fetch_sub(1);
        w.runs.add();
      }));
    }
    std::vector<int> startsAtCancel(kTimers);
    std::thread canceller([&] {
      for (int i = 0; i < kTimers; ++i) {
        auto& w = *watches[static_cast<std::size_t>(i)];
        ASSERT_TRUE(w.runs.waitFor(1 + i % 4));
        timers[static_cast<std::size_t>(i)]->cancel();
        startsAtCancel[static_cast<std::size_t>(i)] = w.starts.load();
      }
    });
    canceller.join();
    Events later;
    d->scheduleAfter(0.01, serial, [&] { later.add(); });
    d->scheduleAfter(0.01, d->globalQueue(), [&] { later.add(); });
    ASSERT_TRUE(later.waitFor(2));
    // A run under way when cancel() returned finishes; it must be the last of its timer. The
    // pool queue's runs may still be finishing, so wait for them through the global queue.
    for (int i = 0; i < kTimers; ++i) {
      auto& w = *watches[static_cast<std::size_t>(i)];
      EXPECT_LE(w.starts.load(), startsAtCancel[static_cast<std::size_t>(i)] + 1) << i;
      EXPECT_EQ(w.overlaps.load(), 0) << i;
    }
    d->shutdown();
    for (int i = 0; i < kTimers; ++i) {
      auto& w = *watches[static_cast<std::size_t>(i)];
      EXPECT_EQ(w.sum, w.starts.load()) << i;
    }
    d = make(3);
    serial = d->makeOperationQueue();
    serial->setMaxConcurrentOperationCount(1);
  }
}

// Several repeating timers beside one-shot ones: cancelling one of them, first, in the middle or
// last of those scheduled, stops only that one and releases its task; the others keep their
// own schedules, and one-shot timers due meanwhile still fire.
TEST(RepeatingTimerTest, CancellingOneOfSeveralLeavesTheOthersOnTheirSchedules) {
  for (int cancelled = 0; cancelled < 3; ++cancelled) {
    auto d = make(2);
    auto serial = d->makeOperationQueue();
    serial->setMaxConcurrentOperationCount(1);
    Events released, oneShot;
    std::array<Events, 3> runs;
    std::array<std::atomic<int>, 3> starts{};
    std::array<std::shared_ptr<TimerHandle>, 3> timers;
    constexpr std::array<double, 3> kIntervals = {0.002, 0.003, 0.005};
    for (std::size_t i = 0; i < 3; ++i) {
      auto token = std::make_shared<Token>(released);
      timers[i] =
          internal::scheduleRepeating(*d, d->monotonicNow(), kIntervals[i], serial, [&, i, token] {
            starts[i].fetch_add(1);
            runs[i].add();
          });
    }
    for (auto& r : runs) ASSERT_TRUE(r.waitFor(2));
    const auto c = static_cast<std::size_t>(cancelled);
    timers[c]->cancel();
    const int startsAtCancel = starts[c].load();
    EXPECT_TRUE(released.waitFor(1)) << "the cancelled timer's task goes with the cancel";
    d->scheduleAfter(0.004, serial, [&] { oneShot.add(); });
    for (std::size_t i = 0; i < 3; ++i) {
      if (i == c) continue;
      ASSERT_TRUE(runs[i].waitFor(runs[i].count() + 4)) << cancelled << " " << i;
    }
    EXPECT_TRUE(oneShot.waitFor(1));
    // A run that had passed its check when the cancel came may still start; no later one does.
    EXPECT_LE(starts[c].load(), startsAtCancel + 1) << cancelled;
    EXPECT_EQ(released.count(), 1) << cancelled;
    for (auto& timer : timers) timer->cancel();
    EXPECT_TRUE(released.waitFor(3)) << cancelled;
  }
}

TEST(RepeatingTimerTest, ShutdownReleasesPendingRepeatingTimersAndRefusesNewOnes) {
  auto d = make(2);
  Events released, runs;
  auto far = std::make_shared<Token>(released);
  auto near = std::make_shared<Token>(released);
  auto farTimer =
      internal::scheduleRepeating(*d, d->monotonicNow(), 1000, d->mainQueue(), [far] {});
  auto nearTimer = internal::scheduleRepeating(*d, d->monotonicNow(), 0.001, d->globalQueue(),
                                               [&runs, near] { runs.add(); });
  far.reset();
  near.reset();
  ASSERT_TRUE(runs.waitFor(2));
  d->shutdown();
  EXPECT_EQ(released.count(), 2);
  const int runsAtShutdown = runs.count();

  auto refused = std::make_shared<Token>(released);
  auto late =
      internal::scheduleRepeating(*d, d->monotonicNow(), 0.001, d->globalQueue(), [refused] {});
  refused.reset();
  EXPECT_EQ(released.count(), 3) << "a timer refused after shutdown releases its task at once";
  late->cancel();
  farTimer->cancel();
  nearTimer->cancel();
  EXPECT_EQ(runs.count(), runsAtShutdown);
}

// A queue that is not one of this dispatcher's own gets every run posted. A run that has not
// begun when the next one is due absorbs it, so a queue that does not keep up holds one run of
// the timer, not a backlog.
TEST(RepeatingTimerTest, ForeignQueuesGetRunsPostedAndASlowQueueHoldsOneAtATime) {
  auto d = make(2);
  auto host = std::make_shared<HostQueue>();
  std::atomic<int> runs{0};
  std::vector<std::thread::id> threads;
  auto timer = internal::scheduleRepeating(*d, d->monotonicNow(), 0.001, host, [&] {
    threads.push_back(std::this_thread::get_id());
    runs.fetch_add(1);
  });
  Task first = host->take();
  ASSERT_TRUE(first);
  // Twenty intervals pass while the first run waits in the host's queue.
  Events later;
  d->scheduleAfter(0.02, d->mainQueue(), [&] { later.add(); });
  ASSERT_TRUE(later.waitFor(1));
  EXPECT_EQ(host->waiting(), 0u);
  first();
  Task second = host->take();
  ASSERT_TRUE(second);
  second();
  timer->cancel();
  EXPECT_EQ(runs.load(), 2);
  EXPECT_EQ(threads, (std::vector<std::thread::id>(2, std::this_thread::get_id())));

  // A serial queue of another real dispatcher, busy when the timer falls due: the run waits
  // behind the busy task there rather than running on this dispatcher's timer thread.
  auto other = make(2);
  auto otherSerial = other->makeOperationQueue();
  otherSerial->setMaxConcurrentOperationCount(1);
  std::promise<void> gate;
  std::atomic<bool> blocking{true};
  std::atomic<int> duringBlock{0};
  Events otherRuns;
  otherSerial->async([&, open = gate.get_future().share()] {
    open.wait_for(kDeadline);
    blocking.store(false);
  });
  auto crossing = internal::scheduleRepeating(*d, d->monotonicNow(), 0.001, otherSerial, [&] {
    if (blocking.load()) ++duringBlock;
    otherRuns.add();
  });
  d->scheduleAfter(0.01, d->mainQueue(), [&] { gate.set_value(); });
  ASSERT_TRUE(otherRuns.waitFor(3));
  crossing->cancel();
  other->shutdown();
  EXPECT_EQ(duringBlock.load(), 0);
}

}  // namespace
}  // namespace pemdor
