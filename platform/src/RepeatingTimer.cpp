// SPDX-License-Identifier: MIT
// The repeating timer that any dispatcher can run: a chain of one-shot timers.

#include "pemdor/internal/RepeatingTimer.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <utility>

namespace pemdor::internal {
namespace {

// A repeating timer made of one-shot timers: each run schedules the next one before it calls the
// task. Its pending run holds it strongly, so it lives until cancelled, or until the dispatcher
// drops that run.
class ChainedRepeating final : public TimerHandle,
                               public std::enable_shared_from_this<ChainedRepeating> {
 public:
  ChainedRepeating(Dispatcher& dispatcher, RepeatSchedule schedule,
                   std::shared_ptr<DispatchQueue> queue, Task task)
      : dispatcher_(dispatcher),
        schedule_(schedule),
        queue_(std::move(queue)),
        task_(std::make_shared<const Task>(std::move(task))) {}

  // Schedules the run `tick`, unless the timer has been cancelled meanwhile.
  void scheduleRun(std::uint64_t tick) {
    const double due = schedule_.start + static_cast<double>(tick) * schedule_.interval;
    auto timer =
        dispatcher_.scheduleAt(due, queue_, [self = shared_from_this(), tick] { self->run(tick); });
    bool late = false;
    {
      std::lock_guard lock(mutex_);
      late = cancelled_.load(std::memory_order_relaxed);
      if (!late) std::swap(current_, timer);
    }
    // The run that has just fired (or one that a cancel raced) is released outside the lock.
    if (late && timer) timer->cancel();
  }

  void cancel() override {
    std::shared_ptr<TimerHandle> timer;
    std::shared_ptr<const Task> task;
    {
      std::lock_guard lock(mutex_);
      cancelled_.store(true, std::memory_order_release);
      timer = std::move(current_);
      task = std::move(task_);
    }
    if (timer) timer->cancel();
    // The task goes here, outside the lock, unless a run is under way; then with that run.
  }

 private:
  void run(std::uint64_t tick) {
    if (cancelled_.load(std::memory_order_acquire)) return;
    scheduleRun(tick + 1);
    std::shared_ptr<const Task> task;
    {
      std::lock_guard lock(mutex_);
      task = task_;
    }
    if (task && !cancelled_.load(std::memory_order_acquire)) (*task)();
  }

  Dispatcher& dispatcher_;
  const RepeatSchedule schedule_;
  const std::shared_ptr<DispatchQueue> queue_;
  std::mutex mutex_;
  // Shared with a run under way, so that a cancel from another thread can release it.
  std::shared_ptr<const Task> task_;
  // Written under the lock, read by runs without it.
  std::atomic<bool> cancelled_{false};
  // The pending run's timer.
  std::shared_ptr<TimerHandle> current_;
};

// A handle for a timer with nothing to run.
class NoTimer final : public TimerHandle {
 public:
  void cancel() override {}
};

}  // namespace

RepeatSchedule normalizedRepeat(const Dispatcher& dispatcher, double start, double interval) {
  if (!(interval >= kShortestRepeatInterval)) interval = kShortestRepeatInterval;
  const double now = dispatcher.monotonicNow();
  if (!(start > -HUGE_VAL)) return {now, interval};
  // Due times that passed before the timer was made are not made up: the schedule moves on to
  // the last of them, which runs at once. Where the numbers are too far apart for that to come
  // out, the first run is simply now.
  const double passed = std::floor((now - start) / interval);
  if (passed >= 2.0) {
    start += (passed - 1.0) * interval;
    if (!(start + interval <= now && start + 2.0 * interval > now - interval)) {
      start = now - interval;
    }
  }
  return {start, interval};
}

std::shared_ptr<TimerHandle> scheduleChainedRepeating(Dispatcher& dispatcher, double start,
                                                      double interval,
                                                      std::shared_ptr<DispatchQueue> queue,
                                                      Task task) {
  if (!task) return std::make_shared<NoTimer>();
  if (!queue) queue = dispatcher.mainQueue();
  auto timer = std::make_shared<ChainedRepeating>(
      dispatcher, normalizedRepeat(dispatcher, start, interval), std::move(queue), std::move(task));
  timer->scheduleRun(1);
  return timer;
}

}  // namespace pemdor::internal
