// SPDX-License-Identifier: MIT
#include "pemdor/platform/VirtualDispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace pemdor {
namespace {

using Log = std::vector<std::string>;

TEST(VirtualDispatcherTest, RunsReadyTasksInPostingOrderAcrossQueues) {
  auto d = VirtualDispatcher::create();
  auto work = d->makeOperationQueue("work");
  Log log;
  d->mainQueue()->async([&] { log.push_back("m1"); });
  work->async([&] {
    log.push_back("w1");
    // Posted while running: behind everything that was already ready.
    d->mainQueue()->async([&] { log.push_back("m3"); });
  });
  d->globalQueue()->async([&] { log.push_back("g1"); });
  d->mainQueue()->async([&] { log.push_back("m2"); });
  work->async([&] { log.push_back("w2"); });
  EXPECT_TRUE(log.empty()) << "posting never runs a task";
  EXPECT_TRUE(d->hasPendingWork());

  EXPECT_TRUE(d->runOne());
  EXPECT_EQ(log, Log{"m1"});
  EXPECT_EQ(d->runUntilIdle(), 5u);
  EXPECT_EQ(log, (Log{"m1", "w1", "g1", "m2", "w2", "m3"}));
  EXPECT_FALSE(d->runOne());
  EXPECT_FALSE(d->hasPendingWork());
  EXPECT_EQ(d->tasksRun(), 6u);
  EXPECT_EQ(d->globalQueue(2).get(), d->globalQueue().get());
}

TEST(VirtualDispatcherTest, TimersFireInDueOrderWithTiesInSchedulingOrder) {
  auto d = VirtualDispatcher::create(100.0);
  auto work = d->makeOperationQueue();
  std::vector<std::pair<std::string, double>> log;
  auto note = [&](std::string name) {
    return [&log, &d, name] { log.emplace_back(name, d->monotonicNow()); };
  };
  d->scheduleAfter(3, d->mainQueue(), note("c"));
  d->scheduleAt(101, work, note("a"));
  d->scheduleAt(103, d->globalQueue(), note("d"));
  d->scheduleAt(101, d->mainQueue(), [&] {
    log.emplace_back("b", d->monotonicNow());
    // Work started by a timer task at an instant runs at that instant, before later timers.
    work->async(note("b-post"));
    d->scheduleAfter(0, d->mainQueue(), note("b-now"));
  });
  d->scheduleAt(50, d->mainQueue(), note("past"));  // Already due: ready at once.
  EXPECT_EQ(d->nextTimerDue(), 101.0);

  EXPECT_EQ(d->runUntilIdle(), 1u);
  EXPECT_EQ(d->advanceBy(0.5), 0u);
  EXPECT_DOUBLE_EQ(d->monotonicNow(), 100.5);
  EXPECT_EQ(d->advanceBy(4.5), 6u);
  EXPECT_DOUBLE_EQ(d->monotonicNow(), 105.0);
  using Entry = std::pair<std::string, double>;
  EXPECT_EQ(log, (std::vector<Entry>{{"past", 100},
                                     {"a", 101},
                                     {"b", 101},
                                     {"b-post", 101},
                                     {"b-now", 101},
                                     {"c", 103},
                                     {"d", 103}}));
  EXPECT_FALSE(d->nextTimerDue().has_value());
}

TEST(VirtualDispatcherTest, AdvanceClockByMakesTimersReadyWithoutRunningThem) {
  auto d = VirtualDispatcher::create();
  Log log;
  d->scheduleAfter(2, d->mainQueue(), [&] { log.push_back("2"); });
  d->scheduleAfter(1, d->mainQueue(), [&] { log.push_back("1"); });
  d->scheduleAfter(9, d->mainQueue(), [&] { log.push_back("9"); });
  d->advanceClockBy(5);
  EXPECT_TRUE(log.empty());
  EXPECT_DOUBLE_EQ(d->monotonicNow(), 5.0);
  EXPECT_EQ(d->nextTimerDue(), 9.0);
  EXPECT_EQ(d->runUntilIdle(), 2u);
  EXPECT_EQ(log, (Log{"1", "2"}));
}

TEST(VirtualDispatcherTest, CancelledTimersNeverRunAndReleaseTheirCaptures) {
  auto d = VirtualDispatcher::create();
  auto capture = std::make_shared<int>(0);
  std::weak_ptr<int> watch = capture;
  int runs = 0;
  d->scheduleAfter(1, d->mainQueue(), [&runs] { ++runs; });
  auto early = d->scheduleAfter(2, d->mainQueue(), [&runs, capture] { runs += 100; });
  auto late = d->scheduleAfter(5, d->mainQueue(), [&runs] { runs += 10; });
  capture.reset();

  // Cancelled while still pending, behind an earlier timer: its captures go at once.
  early->cancel();
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(d->nextTimerDue(), 1.0);

  // Cancelled once due but before its turn: skipped and not counted.
  d->advanceClockBy(5);
  EXPECT_TRUE(d->hasPendingWork());
  late->cancel();
  EXPECT_EQ(d->runUntilIdle(), 1u);
  EXPECT_FALSE(d->hasPendingWork());
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(d->tasksRun(), 1u);

  // Cancelling a timer that has run, or cancelling twice, changes nothing.
  auto ran = d->scheduleAfter(1, d->mainQueue(), [&runs] { ++runs; });
  d->advanceBy(1);
  ran->cancel();
  late->cancel();
  EXPECT_EQ(runs, 2);

  // Many cancelled timers do not hold up the next live one.
  std::vector<std::shared_ptr<TimerHandle>> handles;
  for (int i = 0; i < 200; ++i) handles.push_back(d->scheduleAfter(3, d->mainQueue(), [] {}));
  d->scheduleAfter(50, d->mainQueue(), [] {});
  for (auto& h : handles) h->cancel();
  EXPECT_DOUBLE_EQ(*d->nextTimerDue(), d->monotonicNow() + 50);
}

TEST(VirtualDispatcherTest, DelayedCallsRunOnMainAtTheirTimeUnlessCancelledByTargetAndSelector) {
  auto d = VirtualDispatcher::create();
  int a = 0;
  int b = 0;
  Log log;
  d->performSelector(&a, "cancelLocationService", 10.0, [&] {
    EXPECT_TRUE(d->isMainThread());
    EXPECT_EQ(d->monotonicNow(), 10.0);
    log.push_back("a-cancel");
  });
  d->performSelector(&a, "cancelLocationService", 4.0, [&] { log.push_back("a-cancel-4"); });
  d->performSelector(&a, "other", 10.0, [&] { log.push_back("a-other"); });
  d->performSelector(&b, "cancelLocationService", 10.0, [&] { log.push_back("b-cancel"); });
  EXPECT_EQ(d->pendingPerformRequests(), 4u);

  d->advanceBy(9.999);
  EXPECT_EQ(log, Log{"a-cancel-4"});
  d->advanceBy(0.001);
  EXPECT_EQ(log, (Log{"a-cancel-4", "a-cancel", "a-other", "b-cancel"}));

  d->performSelector(&a, "cancelLocationService", 10.0, [&] { log.push_back("late"); });
  d->performSelector(&a, "other", 10.0, [&] { log.push_back("kept"); });
  EXPECT_EQ(d->cancelPreviousPerformRequestsWithTarget(&a, "cancelLocationService"), 1u);
  EXPECT_EQ(d->cancelPreviousPerformRequestsWithTarget(&a, "cancelLocationService"), 0u);
  d->advanceBy(20);
  EXPECT_EQ(log.back(), "kept");
  EXPECT_EQ(log.size(), 5u);
  EXPECT_EQ(d->pendingPerformRequests(), 0u);
}

TEST(VirtualDispatcherTest, IsMainThreadOnlyInsideMainQueueTasks) {
  auto d = VirtualDispatcher::create();
  auto work = d->makeOperationQueue();
  std::vector<bool> seen;
  EXPECT_FALSE(d->isMainThread());
  d->mainQueue()->async([&] {
    seen.push_back(d->isMainThread());
    bool other = true;
    std::thread([&] { other = d->isMainThread(); }).join();
    seen.push_back(other);
  });
  d->globalQueue()->async([&] { seen.push_back(d->isMainThread()); });
  work->async([&] { seen.push_back(d->isMainThread()); });
  d->scheduleAfter(1, d->mainQueue(), [&] { seen.push_back(d->isMainThread()); });
  d->scheduleAfter(1, work, [&] { seen.push_back(d->isMainThread()); });
  d->advanceBy(1);
  EXPECT_EQ(seen, (std::vector<bool>{true, false, false, false, true, false}));
  EXPECT_FALSE(d->isMainThread());
}

TEST(VirtualDispatcherTest, RunUntilStopsWhenDoneWhenNothingIsLeftOrWhenTheBudgetIsUsed) {
  auto d = VirtualDispatcher::create();
  bool flag = false;
  int checks = 0;
  d->scheduleAfter(3, d->globalQueue(), [&] { flag = true; });
  d->scheduleAfter(7, d->globalQueue(), [] {});
  EXPECT_TRUE(d->runUntil(
      [&] {
        ++checks;
        return flag;
      },
      60));
  EXPECT_DOUBLE_EQ(d->monotonicNow(), 3.0);
  EXPECT_EQ(checks, 2);

  // Nothing left: the clock stays at the last timer.
  EXPECT_FALSE(d->runUntil([] { return false; }, 60));
  EXPECT_DOUBLE_EQ(d->monotonicNow(), 7.0);

  // A timer chain that never ends: stops at the budget, timers at its limit included.
  int ticks = 0;
  std::function<void()> tick = [&] {
    ++ticks;
    d->scheduleAfter(1, d->mainQueue(), tick);
  };
  d->scheduleAfter(1, d->mainQueue(), tick);
  EXPECT_FALSE(d->runUntil([] { return false; }, 5.5));
  EXPECT_DOUBLE_EQ(d->monotonicNow(), 12.5);
  EXPECT_EQ(ticks, 5);
  EXPECT_FALSE(d->runUntil([] { return false; }, 0.5));
  EXPECT_EQ(ticks, 6) << "a timer due exactly at the limit runs";
  EXPECT_DOUBLE_EQ(d->monotonicNow(), 13.0);
}

TEST(VirtualDispatcherTest, NestedDrivingFromInsideATaskReturnsAtOnce) {
  auto d = VirtualDispatcher::create();
  bool ran = false;
  d->scheduleAfter(1, d->mainQueue(), [&] { ran = true; });
  d->mainQueue()->async([&] {
    EXPECT_FALSE(d->runOne());
    EXPECT_EQ(d->runUntilIdle(), 0u);
    EXPECT_EQ(d->advanceBy(5), 0u);
    d->advanceClockBy(5);
    EXPECT_TRUE(d->runUntil([] { return true; }, 5));
    EXPECT_EQ(d->monotonicNow(), 0.0);
  });
  d->mainQueue()->async([] {});
  EXPECT_EQ(d->runUntilIdle(), 2u);
  EXPECT_FALSE(ran);
  d->advanceBy(1);
  EXPECT_TRUE(ran);
}

// Posts an interleaving of main, serial, concurrent and global tasks and returns the order in
// which they ran under `key`.
std::vector<int> shuffledRun(std::optional<std::uint64_t> key) {
  auto d = VirtualDispatcher::create();
  d->setShuffleKey(key);
  auto serial = d->makeOperationQueue("serial");
  serial->setMaxConcurrentOperationCount(1);
  auto concurrent = d->makeOperationQueue("concurrent");
  std::vector<std::shared_ptr<DispatchQueue>> queues{d->mainQueue(), serial, concurrent,
                                                     d->globalQueue()};
  std::vector<int> order;
  for (int i = 0; i < 40; ++i) {
    queues[static_cast<std::size_t>(i % 4)]->async([&order, i] { order.push_back(i); });
  }
  // Timers tied at one instant become ready together; on the main queue they keep their order.
  for (int i = 40; i < 44; ++i) {
    d->scheduleAfter(1, d->mainQueue(), [&order, i] { order.push_back(i); });
  }
  d->advanceBy(1);
  return order;
}

TEST(VirtualDispatcherTest, ShuffleKeyGivesReproducibleOrdersThatKeepSerialQueuesInOrder) {
  std::vector<int> posting(44);
  for (int i = 0; i < 44; ++i) posting[static_cast<std::size_t>(i)] = i;
  EXPECT_EQ(shuffledRun(std::nullopt), posting);

  std::set<std::vector<int>> distinct;
  for (std::uint64_t key = 0; key < 200; ++key) {
    const auto order = shuffledRun(key);
    ASSERT_EQ(order, shuffledRun(key)) << "key " << key;
    ASSERT_EQ(std::set<int>(order.begin(), order.end()).size(), 44u) << "key " << key;
    // Main (i % 4 == 0, then the timers) and the serial queue (i % 4 == 1) keep their order.
    for (int residue : {0, 1}) {
      int last = -1;
      for (int i : order) {
        if (i < 40 && i % 4 != residue) continue;
        if (i >= 40 && residue != 0) continue;
        ASSERT_GT(i, last) << "key " << key;
        last = i;
      }
    }
    distinct.insert(order);
  }
  EXPECT_GT(distinct.size(), 190u);
  EXPECT_EQ(distinct.count(posting), 0u);
}

TEST(VirtualDispatcherTest, QueueTurnedSerialOrClearedShuffleKeyRunsTheRestInPostingOrder) {
  auto d = VirtualDispatcher::create();
  d->setShuffleKey(7);
  auto work = d->makeOperationQueue();
  std::vector<int> order;
  for (int i = 0; i < 30; ++i) work->async([&order, i] { order.push_back(i); });
  for (int i = 0; i < 10; ++i) d->runOne();
  work->setMaxConcurrentOperationCount(1);
  EXPECT_EQ(work->maxConcurrentOperationCount(), 1);
  for (int i = 0; i < 10; ++i) d->runOne();
  EXPECT_TRUE(std::is_sorted(order.begin() + 10, order.end()));

  work->setMaxConcurrentOperationCount(0);
  EXPECT_EQ(work->maxConcurrentOperationCount(), 1);
  work->setMaxConcurrentOperationCount(OperationQueue::kDefaultMaxConcurrentOperationCount);
  for (int i = 0; i < 5; ++i) d->runOne();
  d->setShuffleKey(std::nullopt);
  order.clear();
  d->runUntilIdle();
  EXPECT_EQ(order.size(), 5u);
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
}

TEST(VirtualDispatcherTest, OtherThreadsPostScheduleAndCancelWhileTheOwnerRuns) {
  auto d = VirtualDispatcher::create();
  auto work = d->makeOperationQueue();
  work->setMaxConcurrentOperationCount(1);
  constexpr int kPerThread = 2000;
  std::vector<std::vector<int>> seen(2);
  std::atomic<int> finished{0};
  std::vector<std::thread> posters;
  for (std::size_t t = 0; t < 2; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        work->async([&seen, t, i] { seen[t].push_back(i); });
        auto timer = d->scheduleAfter(1, d->mainQueue(), [] { FAIL() << "cancelled timer ran"; });
        timer->cancel();
        (void)d->hasPendingWork();
        (void)d->nextTimerDue();
        (void)d->monotonicNow();
        (void)d->tasksRun();
      }
      finished.fetch_add(1);
    });
  }
  while (finished.load() < 2) {
    d->runUntilIdle();
    std::this_thread::yield();
  }
  for (auto& poster : posters) poster.join();
  d->advanceBy(2);
  for (const auto& list : seen) {
    ASSERT_EQ(list.size(), static_cast<std::size_t>(kPerThread));
    EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
  }
  EXPECT_EQ(d->tasksRun(), 2u * kPerThread);
}

// A capture whose destructor posts more work, as a task holding the last reference to an
// object with a posting destructor would.
struct PostsOnDestruction {
  std::shared_ptr<DispatchQueue> queue;
  std::shared_ptr<int> tracked;
  ~PostsOnDestruction() {
    queue->async([tracked = tracked] {});
  }
};

TEST(VirtualDispatcherTest, DestroyingTheDispatcherDropsPendingWork) {
  auto tracked = std::make_shared<int>(0);
  std::weak_ptr<int> watch = tracked;
  std::shared_ptr<DispatchQueue> main;
  std::shared_ptr<TimerHandle> timer;
  {
    auto d = VirtualDispatcher::create();
    main = d->mainQueue();
    auto holder = [main, tracked] {
      return std::make_shared<PostsOnDestruction>(PostsOnDestruction{main, tracked});
    };
    auto other = VirtualDispatcher::create();
    other->scheduleAfter(1, d->globalQueue(), [tracked] {});
    main->async([h = holder()] {});
    timer = d->scheduleAfter(5, main, [h = holder()] {});
    d->scheduleAfter(5, d->makeOperationQueue(), [h = holder()] {});
    d->advanceClockBy(5);
    d->scheduleAfter(9, main, [h = holder()] {});
    other->advanceBy(1);           // Hands its task to d's global queue.
    EXPECT_EQ(d->runOne(), true);  // The first main task; its capture posts again.
  }
  tracked.reset();
  EXPECT_TRUE(watch.expired());
  main->async([] { FAIL() << "ran after the dispatcher was destroyed"; });
  timer->cancel();
}

}  // namespace
}  // namespace pemdor
