// SPDX-License-Identifier: MIT
#include "pemdor/platform/RealDispatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "DispatcherEvents.h"

namespace pemdor {
namespace {

using dispatcher_test::Events;
using dispatcher_test::kDeadline;
using dispatcher_test::Token;

std::shared_ptr<RealDispatcher> make(unsigned threads, bool ownMainThread = true) {
  return RealDispatcher::create({.ownMainThread = ownMainThread, .globalThreads = threads});
}

TEST(RealDispatcherTest, MainQueueRunsOnTheMainThreadInPostingOrder) {
  auto d = make(2);
  auto main = d->mainQueue();
  EXPECT_EQ(main->label(), "main");
  EXPECT_FALSE(d->isMainThread());
  constexpr int kPosters = 3, kEach = 500;
  // Plain data written only by main-queue tasks: the sanitizer builds check that they are ordered.
  std::vector<std::vector<int>> seen(kPosters);
  std::vector<std::thread::id> threads;
  bool offMain = true;
  Events done;
  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i) {
        main->async([&, p, i] {
          seen[static_cast<std::size_t>(p)].push_back(d->isMainThread() ? i : -1);
          threads.push_back(std::this_thread::get_id());
          done.add();
        });
      }
    });
  }
  for (auto& poster : posters) poster.join();
  ASSERT_TRUE(done.waitFor(kPosters * kEach));
  for (const auto& list : seen) {
    ASSERT_EQ(list.size(), static_cast<std::size_t>(kEach));
    EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
    EXPECT_EQ(list.front(), 0);
  }
  EXPECT_EQ(std::count(threads.begin(), threads.end(), threads.front()), kPosters * kEach);
  EXPECT_NE(threads.front(), std::this_thread::get_id());

  // A task posted by the main thread before it lets another thread post must run first.
  std::vector<char> order;
  std::promise<void> posted;
  main->async([&] {
    main->async([&] { order.push_back('a'); });
    posted.set_value();
  });
  posted.get_future().wait();
  main->async([&] { order.push_back('b'); });
  d->globalQueue()->async([&] {
    offMain = d->isMainThread();
    main->async([&] { done.add(); });
  });
  ASSERT_TRUE(done.waitFor(kPosters * kEach + 1));
  main->async([&] { done.add(); });
  ASSERT_TRUE(done.waitFor(kPosters * kEach + 2));
  EXPECT_EQ(order, (std::vector<char>{'a', 'b'}));
  EXPECT_FALSE(offMain);
}

TEST(RealDispatcherTest, SerialQueueRunsOneTaskAtATimeInOrderPerPoster) {
  auto d = make(4);
  auto queue = d->makeOperationQueue("serial");
  EXPECT_EQ(queue->label(), "serial");
  queue->setMaxConcurrentOperationCount(1);
  constexpr int kPosters = 4, kEach = 2000;
  std::atomic<int> running{0}, mostAtOnce{0};
  // Plain data: each task must see what its predecessor wrote.
  std::vector<int> last(kPosters, -1);
  int outOfOrder = 0;
  Events done;
  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i) {
        queue->addOperation([&, p, i] {
          const int now = ++running;
          int most = mostAtOnce.load();
          while (now > most && !mostAtOnce.compare_exchange_weak(most, now)) {
          }
          auto& previous = last[static_cast<std::size_t>(p)];
          if (previous != i - 1) ++outOfOrder;
          previous = i;
          --running;
          done.add();
        });
      }
    });
  }
  for (auto& poster : posters) poster.join();
  ASSERT_TRUE(done.waitFor(kPosters * kEach));
  EXPECT_EQ(mostAtOnce.load(), 1);
  EXPECT_EQ(outOfOrder, 0);
}

TEST(RealDispatcherTest, OperationQueueRunsAtMostItsMaximumAtOnce) {
  auto d = make(6);
  auto queue = d->makeOperationQueue();
  EXPECT_EQ(queue->maxConcurrentOperationCount(),
            OperationQueue::kDefaultMaxConcurrentOperationCount);
  queue->setMaxConcurrentOperationCount(0);
  EXPECT_EQ(queue->maxConcurrentOperationCount(), 1);
  queue->setMaxConcurrentOperationCount(-5);
  EXPECT_EQ(queue->maxConcurrentOperationCount(), 1);

  // The first three tasks wait until three run together; they can only get there once the
  // maximum is raised from 1 to 3 while they are queued.
  constexpr int kTasks = 200;
  std::mutex mutex;
  std::condition_variable changed;
  int running = 0, mostAtOnce = 0;
  bool reachedThree = false;
  Events done;
  for (int i = 0; i < kTasks; ++i) {
    queue->async([&, i] {
      {
        std::unique_lock lock(mutex);
        mostAtOnce = std::max(mostAtOnce, ++running);
        if (running == 3) reachedThree = true;
        changed.notify_all();
        if (i < 3) changed.wait_for(lock, kDeadline, [&] { return reachedThree; });
        --running;
      }
      done.add();
    });
  }
  queue->setMaxConcurrentOperationCount(3);
  EXPECT_EQ(queue->maxConcurrentOperationCount(), 3);
  ASSERT_TRUE(done.waitFor(kTasks));
  std::lock_guard lock(mutex);
  EXPECT_TRUE(reachedThree);
  EXPECT_EQ(mostAtOnce, 3);
}

TEST(RealDispatcherTest, GlobalQueueIsOneConcurrentQueueOffTheMainThread) {
  auto d = make(2);
  auto global = d->globalQueue();
  EXPECT_EQ(global.get(), d->globalQueue(2).get());
  EXPECT_EQ(global->label(), "global");
  // Two tasks that each wait for the other can only both finish when they run at once.
  std::promise<void> first, second;
  std::atomic<int> finishedTogether{0}, onMain{0};
  Events done;
  auto meet = [&](std::promise<void>& mine, std::promise<void>& theirs) {
    return [&] {
      if (d->isMainThread()) ++onMain;
      mine.set_value();
      if (theirs.get_future().wait_for(kDeadline) == std::future_status::ready) ++finishedTogether;
      done.add();
    };
  };
  global->async(meet(first, second));
  global->async(meet(second, first));
  ASSERT_TRUE(done.waitFor(2));
  EXPECT_EQ(finishedTogether.load(), 2);
  EXPECT_EQ(onMain.load(), 0);
}

TEST(RealDispatcherTest, TimersRunOnTheirQueueNeverBeforeTheirDueTime) {
  auto d = make(2);
  auto queue = d->makeOperationQueue();
  Events done;
  std::atomic<int> early{0}, wrongThread{0};
  auto check = [&](double when, bool wantMain) {
    return [&, when, wantMain] {
      if (d->monotonicNow() < when) ++early;
      if (d->isMainThread() != wantMain) ++wrongThread;
      done.add();
    };
  };
  const double now = d->monotonicNow();
  // Handles are dropped at once: a timer runs whether or not its handle is kept.
  d->scheduleAt(now + 0.02, queue, check(now + 0.02, false));
  d->scheduleAt(now + 0.01, d->mainQueue(), check(now + 0.01, true));
  d->scheduleAt(now - 5, d->globalQueue(), check(now - 5, false));
  d->scheduleAt(now + 0.01, nullptr, check(now + 0.01, true));
  d->scheduleAfter(-1, d->mainQueue(), check(now, true));
  ASSERT_TRUE(done.waitFor(5));
  EXPECT_EQ(early.load(), 0);
  EXPECT_EQ(wrongThread.load(), 0);
  EXPECT_GE(d->monotonicNow(), now);
}

// A due timer task of a work queue may run on the thread that waited for the timer; it must still
// keep the queue's order and limit, and a cancel that comes while it waits in the queue still
// counts.
TEST(RealDispatcherTest, TimersOnWorkQueuesKeepTheQueuesOrderAndLimit) {
  auto d = make(2);
  auto serial = d->makeOperationQueue();
  serial->setMaxConcurrentOperationCount(1);
  std::mutex mutex;
  std::vector<std::string> order;
  std::atomic<int> running{0}, overlaps{0}, onMain{0};
  Events done;
  auto step = [&](std::string name, std::function<void()> body = {}) {
    return [&, name = std::move(name), body = std::move(body)] {
      if (running.fetch_add(1) != 0) ++overlaps;
      if (d->isMainThread()) ++onMain;
      {
        std::lock_guard lock(mutex);
        order.push_back(name);
      }
      if (body) body();
      running.fetch_sub(1);
      done.add();
    };
  };

  // Busy queue: the timers fall due while a task runs, and wait behind it.
  std::promise<void> gate;
  std::shared_ptr<TimerHandle> cancelled;
  serial->async(step("blocker", [&, wait = gate.get_future().share()] {
    wait.wait_for(kDeadline);
    cancelled->cancel();
    serial->async(step("after blocker"));
  }));
  const double now = d->monotonicNow();
  d->scheduleAt(now + 0.01, serial, step("timer behind blocker"));
  cancelled = d->scheduleAt(now + 0.01, serial, step("cancelled"));
  // Timers fire in due order, so both serial timers are in the queue when this one runs.
  d->scheduleAt(now + 0.03, d->mainQueue(), [&] { gate.set_value(); });
  ASSERT_TRUE(done.waitFor(3));

  // Idle queue: what the timer task posts runs after it, not beside it.
  std::promise<void> posted;
  auto postedRan = posted.get_future();
  d->scheduleAfter(0.01, serial, step("idle timer", [&] {
                     serial->async(step("posted by timer", [&] { posted.set_value(); }));
                     EXPECT_EQ(postedRan.wait_for(std::chrono::milliseconds(50)),
                               std::future_status::timeout);
                   }));
  ASSERT_TRUE(done.waitFor(5));
  EXPECT_EQ(order, (std::vector<std::string>{"blocker", "timer behind blocker", "after blocker",
                                             "idle timer", "posted by timer"}));
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(onMain.load(), 0);
}

TEST(RealDispatcherTest, CancelledTimerNeverRunsAndReleasesItsTask) {
  auto d = make(2);
  auto main = d->mainQueue();
  std::atomic<int> cancelledRuns{0};
  Events released, done;
  long heldAfterCancel = -1;
  main->async([&] {
    auto token = std::make_shared<Token>(released);
    auto soon = d->scheduleAfter(0.05, main, [&cancelledRuns, token] { ++cancelledRuns; });
    auto now = d->scheduleAfter(0, main, [&cancelledRuns, token] { ++cancelledRuns; });
    soon->cancel();
    now->cancel();
    // The pending timer dropped its task at once; the due one is still in the main queue.
    heldAfterCancel = token.use_count();
    // Due after the cancelled timer: had it not been cancelled, it would have run first.
    d->scheduleAfter(0.2, main, [&] { done.add(); });
  });
  ASSERT_TRUE(done.waitFor(1));
  EXPECT_EQ(cancelledRuns.load(), 0);
  EXPECT_EQ(heldAfterCancel, 2);
  EXPECT_EQ(released.count(), 1);

  // Cancelled from another thread long before it is due.
  auto token = std::make_shared<Token>(released);
  auto later = d->scheduleAfter(1000, d->globalQueue(), [token] {});
  later->cancel();
  EXPECT_EQ(token.use_count(), 1);
}

// The timer thread sleeps until the earliest due time it knows of: a timer scheduled later but
// due sooner, or one scheduled after the awaited timer was cancelled, must wake it. Were it not
// woken, these timers would wait for the far one, 1000 s away, and the test would time out.
TEST(RealDispatcherTest, ATimerDueSoonerThanTheAwaitedOneWakesTheTimerThread) {
  auto d = make(2);
  Events done;
  std::atomic<int> farRuns{0};
  auto far = d->scheduleAfter(1000, d->globalQueue(), [&] { ++farRuns; });
  // Once this timer has run, the timer thread goes back to waiting for the far one.
  d->scheduleAfter(0.01, d->mainQueue(),
                   [&] { d->scheduleAfter(0.01, d->mainQueue(), [&] { done.add(); }); });
  ASSERT_TRUE(done.waitFor(1));
  far->cancel();
  d->scheduleAfter(0.01, d->globalQueue(), [&] { done.add(); });
  ASSERT_TRUE(done.waitFor(2));
  EXPECT_EQ(farRuns.load(), 0);
}

// A due timer of an idle work queue runs on the thread that waited for it, so it needs no pool
// thread: with every pool thread busy until it has run, it still runs.
TEST(RealDispatcherTest, ADueTimerOfAnIdleWorkQueueNeedsNoFreePoolThread) {
  auto d = make(2);
  auto queue = d->makeOperationQueue();
  std::promise<void> gate;
  auto opened = gate.get_future().share();
  Events busy, done;
  std::atomic<int> timedOut{0};
  for (int i = 0; i < 2; ++i) {
    d->globalQueue()->async([&, opened] {
      busy.add();
      if (opened.wait_for(kDeadline) != std::future_status::ready) ++timedOut;
      done.add();
    });
  }
  ASSERT_TRUE(busy.waitFor(2));
  d->scheduleAfter(0.01, queue, [&] { gate.set_value(); });
  ASSERT_TRUE(done.waitFor(2));
  EXPECT_EQ(timedOut.load(), 0);
}

TEST(RealDispatcherTest, DelayedCallsCancelOnlyTheMatchingTargetAndSelector) {
  auto d = make(2);
  int a = 0, b = 0, c = 0;
  std::vector<std::string> ran;  // Written on the main thread only.
  std::atomic<int> offMain{0};
  std::size_t cancelled = 0, pendingAfterCancel = 0;
  Events done;
  auto call = [&](const char* name) {
    return [&, name] {
      if (!d->isMainThread()) ++offMain;
      ran.push_back(name);
    };
  };
  d->mainQueue()->async([&] {
    d->performSelector(&a, "x", 0.05, call("a.x"));
    d->performSelector(&a, "x", 0.01, call("a.x"));
    d->performSelector(&a, "y", 0.05, call("a.y"));
    d->performSelector(&b, "x", 0.05, call("b.x"));
    cancelled = d->cancelPreviousPerformRequestsWithTarget(&a, "x");
    pendingAfterCancel = d->pendingPerformRequests();
    d->performSelector(&c, "done", 0.3, [&] { done.add(); });
  });
  ASSERT_TRUE(done.waitFor(1));
  EXPECT_EQ(cancelled, 2u);
  EXPECT_EQ(pendingAfterCancel, 2u);
  std::sort(ran.begin(), ran.end());
  EXPECT_EQ(ran, (std::vector<std::string>{"a.y", "b.x"}));
  EXPECT_EQ(offMain.load(), 0);
  EXPECT_EQ(d->pendingPerformRequests(), 0u);
}

TEST(RealDispatcherTest, HostThreadRunsTheMainLoopUntilStopped) {
  make(2)->runMainLoop();  // Owns its main thread: returns at once.

  auto d = make(2, false);
  std::vector<char> ran;  // Written by main-queue tasks only.
  std::vector<std::thread::id> threads;
  auto note = [&](char name, bool stop) {
    return [&, name, stop] {
      ran.push_back(d->isMainThread() ? name : '!');
      threads.push_back(std::this_thread::get_id());
      if (stop) d->stopMainLoop();
    };
  };
  d->mainQueue()->async(note('a', false));
  d->mainQueue()->async(note('b', true));
  d->mainQueue()->async(note('c', true));
  std::thread::id host;
  bool mainAfterwards = true;
  std::thread([&] {
    host = std::this_thread::get_id();
    d->runMainLoop();
    EXPECT_EQ(ran, (std::vector<char>{'a', 'b'}));
    // Ends the next loop even if the first one did not stop after 'b'.
    d->mainQueue()->async([&] { d->stopMainLoop(); });
    d->runMainLoop();
    mainAfterwards = d->isMainThread();
  }).join();
  EXPECT_EQ(ran, (std::vector<char>{'a', 'b', 'c'}));
  EXPECT_EQ(std::count(threads.begin(), threads.end(), host), 3);
  EXPECT_FALSE(mainAfterwards);
}

TEST(RealDispatcherTest, ShutdownDropsWorkNotYetRunAndRefusesNewWork) {
  auto d = make(2, false);  // The main loop never runs: main-queue tasks stay pending.
  auto serial = d->makeOperationQueue();
  serial->setMaxConcurrentOperationCount(1);
  std::atomic<int> runs{0};
  Events destroyed, blockerStarted;
  // Released by the destruction of the serial task queued behind it, which shutdown causes.
  auto droppedBehind = std::make_shared<std::promise<void>>();
  serial->async([&, gate = droppedBehind->get_future().share()] {
    blockerStarted.add();
    gate.wait_for(kDeadline);
  });
  ASSERT_TRUE(blockerStarted.waitFor(1));
  struct Reposter {
    std::shared_ptr<RealDispatcher> d;
    std::shared_ptr<std::promise<void>> gate;
    ~Reposter() {
      // Posting while being dropped by shutdown is refused, without deadlock.
      d->mainQueue()->async([] { std::abort(); });
      d->scheduleAfter(0, d->globalQueue(), [] { std::abort(); });
      if (gate) gate->set_value();
    }
  };
  auto track = [&] { return [&runs, token = std::make_shared<Token>(destroyed)] { ++runs; }; };
  // Braces rather than make_shared: clang 14 has no parenthesised aggregate initialisation, and
  // a temporary would run the destructor's posts.
  serial->async([&runs, r = std::shared_ptr<Reposter>(new Reposter{d, droppedBehind})] { ++runs; });
  droppedBehind.reset();
  for (int i = 0; i < 5; ++i) {
    d->mainQueue()->async(track());
    serial->async(track());
    d->scheduleAfter(1000, d->globalQueue(), track());
    d->performSelector(&runs, "late", 1000, track());
  }
  d->shutdown();
  EXPECT_EQ(destroyed.count(), 20);
  EXPECT_EQ(runs.load(), 0);

  d->mainQueue()->async(track());
  d->globalQueue()->async(track());
  serial->async(track());
  d->makeOperationQueue()->async(track());
  d->scheduleAfter(0, d->mainQueue(), track());
  d->scheduleAfter(5, d->mainQueue(), track());
  d->performSelector(&runs, "late", 0, track());
  EXPECT_EQ(destroyed.count(), 27);
  d->runMainLoop();  // Returns at once after shutdown.
  d->shutdown();
  EXPECT_EQ(runs.load(), 0);
}

TEST(RealDispatcherTest, ShutdownEndsTheHostMainLoop) {
  auto d = make(2, false);
  Events started;
  std::thread host([&] { d->runMainLoop(); });
  d->mainQueue()->async([&] { started.add(); });
  ASSERT_TRUE(started.waitFor(1));
  d->shutdown();  // Waits for runMainLoop() to return.
  host.join();
}

// A dispatcher whose last reference is released on one of its own threads must shut down
// without joining that thread, while its other threads and pending work are cleaned up.
TEST(RealDispatcherTest, DestroyedOnItsOwnThreadByTheLastReference) {
  enum class Where { kMain, kGlobal, kSerial, kTimer, kPoolTimer, kShutdownInTask };
  Events destroyed, finished;
  int round = 0;
  for (auto where : {Where::kMain, Where::kGlobal, Where::kSerial, Where::kTimer, Where::kPoolTimer,
                     Where::kShutdownInTask}) {
    SCOPED_TRACE(static_cast<int>(where));
    auto d = make(2);
    auto serial = d->makeOperationQueue();
    serial->setMaxConcurrentOperationCount(1);
    ++round;
    std::promise<void> released;
    struct LastReference {
      std::shared_ptr<RealDispatcher> d;
      Events& finished;
      ~LastReference() {
        d.reset();
        finished.add();
      }
    };
    auto last = std::shared_ptr<LastReference>(new LastReference{d, finished});
    auto task = [last = std::move(last), gate = released.get_future().share(), where] {
      gate.wait_for(kDeadline);
      if (where == Where::kShutdownInTask) last->d->shutdown();
    };
    auto queue = where == Where::kMain     ? d->mainQueue()
                 : where == Where::kGlobal ? d->globalQueue()
                                           : std::shared_ptr<DispatchQueue>(serial);
    if (where == Where::kTimer) {
      d->scheduleAfter(0.01, d->mainQueue(), std::move(task));
    } else if (where == Where::kPoolTimer) {
      d->scheduleAfter(0.01, serial, std::move(task));
    } else {
      queue->async(std::move(task));
    }
    queue->async([token = std::make_shared<Token>(destroyed)] {});
    d.reset();
    released.set_value();
    ASSERT_TRUE(finished.waitFor(round));
    EXPECT_TRUE(destroyed.waitFor(round));
  }
}

}  // namespace
}  // namespace pemdor
