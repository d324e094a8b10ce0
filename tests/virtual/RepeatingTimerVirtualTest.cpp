// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "pemdor/internal/RepeatingTimer.h"
#include "pemdor/platform/VirtualDispatcher.h"

namespace pemdor {
namespace {

TEST(RepeatingTimerVirtualTest, RunsExactlyAtStartPlusMultiplesOfTheIntervalBeforeWhatItSchedules) {
  auto d = VirtualDispatcher::create(100.0);
  auto queue = d->makeOperationQueue();
  constexpr double kStart = 100.25, kInterval = 0.1;
  std::vector<double> times;
  std::vector<std::string> order;
  std::shared_ptr<TimerHandle> timer;
  timer = internal::scheduleRepeating(*d, kStart, kInterval, queue, [&] {
    times.push_back(d->monotonicNow());
    order.push_back("tick");
    // Due with the next run, and scheduled by this one: it comes after that run.
    if (times.size() == 2) {
      d->scheduleAt(kStart + 3 * kInterval, queue, [&] { order.push_back("scheduled"); });
    }
    if (times.size() == 10) timer->cancel();
  });
  EXPECT_EQ(d->nextTimerDue(), kStart + kInterval);
  d->advanceBy(5.0);
  ASSERT_EQ(times.size(), 10u);
  for (std::size_t k = 0; k < times.size(); ++k) {
    EXPECT_EQ(times[k], kStart + static_cast<double>(k + 1) * kInterval) << k;
  }
  ASSERT_GE(order.size(), 4u);
  EXPECT_EQ(order[2], "tick");
  EXPECT_EQ(order[3], "scheduled");
  EXPECT_FALSE(d->hasPendingWork()) << "a cancel from inside the task leaves nothing pending";
}

TEST(RepeatingTimerVirtualTest, PassedDueTimesRunOnceAtTheStartAndOneByOneAfterAClockJump) {
  auto d = VirtualDispatcher::create(10.0);
  auto held = std::make_shared<int>(0);
  int runs = 0;
  // Due at 9.75, 9.85 and 9.95, before the timer was made: only the last of them runs, at once;
  // then 10.05, and on.
  auto timer =
      internal::scheduleRepeating(*d, 9.65, 0.1, d->mainQueue(), [&runs, held] { ++runs; });
  EXPECT_EQ(d->runUntilIdle(), 1u);
  EXPECT_EQ(runs, 1);
  ASSERT_TRUE(d->nextTimerDue());
  EXPECT_NEAR(*d->nextTimerDue(), 10.05, 1e-9);
  d->advanceBy(0.1);
  EXPECT_EQ(runs, 2);
  // A clock that jumps while the timer runs gets one run for each due time it passed.
  d->advanceClockBy(0.3);
  EXPECT_EQ(d->runUntilIdle(), 3u);
  EXPECT_EQ(runs, 5);
  EXPECT_EQ(held.use_count(), 2);
  timer->cancel();
  EXPECT_EQ(held.use_count(), 1);
  EXPECT_FALSE(d->hasPendingWork());
  d->advanceBy(1.0);
  EXPECT_EQ(runs, 5);

  // A start so far back that its phase cannot be kept runs now, and then every interval.
  int far = 0;
  auto ancient = internal::scheduleRepeating(*d, -1e300, 0.5, d->mainQueue(), [&] { ++far; });
  EXPECT_EQ(d->runUntilIdle(), 1u);
  d->advanceBy(1.25);
  EXPECT_EQ(far, 3);
  ancient->cancel();

  // An interval that is not a positive number is the shortest one, not a loop that never lets
  // time move; a task that is empty runs nothing.
  int tiny = 0;
  auto fast = internal::scheduleRepeating(*d, d->monotonicNow(), -1.0, nullptr, [&] { ++tiny; });
  d->advanceBy(10 * internal::kShortestRepeatInterval);
  fast->cancel();
  EXPECT_GE(tiny, 9);
  EXPECT_LE(tiny, 11);
  auto none = internal::scheduleRepeating(*d, d->monotonicNow(), 1.0, nullptr, Task{});
  EXPECT_FALSE(d->hasPendingWork());
  none->cancel();
}

}  // namespace
}  // namespace pemdor
