// SPDX-License-Identifier: MIT
#include "Timers.h"

#include <sys/prctl.h>
#include <algorithm>
#include <cmath>
#include <utility>

#include "AsioQueues.h"
#include "pemdor/internal/TickPath.h"

namespace pemdor::asio_dispatch {

// The latest due time a timer can be given: about 127 years of steady-clock time, which still
// fits the clock's nanosecond count. Later (or infinite) times are clamped to it.
constexpr double kLatestDue = 4e9;

// The last run a repeating timer counts to: far beyond any lifetime at the shortest interval
// scheduleRepeating() is given, and exact as a double.
constexpr std::uint64_t kLastTick = std::uint64_t{1} << 53;

PEMDOR_TICK_PATH double steadySeconds() {
  using namespace std::chrono;
  return duration<double>(internal::steadyNow().time_since_epoch()).count();
}

namespace {

PEMDOR_TICK_PATH SteadyTime steadyTimePoint(double seconds) {
  using namespace std::chrono;
  const double clamped = std::clamp(seconds, 0.0, kLatestDue);
  // Rounded up, so that a timer never fires before monotonicNow() has reached its due time.
  return SteadyTime(ceil<steady_clock::duration>(duration<double>(clamped)));
}

// Wraps a timer's task so that a cancel that comes after the timer fired, but before the task
// started on its queue, still prevents the run.
Task guardedTask(std::shared_ptr<TimerFlag> flag, Task task) {
  return [flag = std::move(flag), task = std::move(task)] {
    if (!flag->cancelled.load(std::memory_order_acquire)) task();
  };
}

// The handle of a one-shot timer is its flag as well, so that a timer costs one allocation for
// both.
class OneShotHandle final : public TimerHandle, public TimerFlag {
 public:
  explicit OneShotHandle(std::weak_ptr<Timers> timers) : timers_(std::move(timers)) {}
  void cancel() override {
    cancelled.store(true, std::memory_order_release);
    if (key_.id == 0) return;
    if (auto timers = timers_.lock()) timers->cancel(key_);
  }
  // Set once, before the handle is returned by scheduleAt().
  void setKey(const TimerKey& key) { key_ = key; }

 private:
  std::weak_ptr<Timers> timers_;
  // Id 0 for a timer that never waited on the timer thread.
  TimerKey key_;
};

// The handle of a repeating timer: its flag, and the way to its entry in the list of repeating
// timers.
class RepeatingHandle final : public TimerHandle, public TimerFlag {
 public:
  explicit RepeatingHandle(std::weak_ptr<Timers> timers) : timers_(std::move(timers)) {}
  void cancel() override;
  // Set once, before the handle is returned by scheduleRepeating().
  void setRun(const std::shared_ptr<RepeatingRun>& run) { run_ = run; }

 private:
  std::weak_ptr<Timers> timers_;
  // Weak: the run holds the handle, and a cancelled timer's task is released with its entry.
  std::weak_ptr<RepeatingRun> run_;
};

}  // namespace

struct RepeatingRun {
  RepeatingRun(Task taskIn, std::shared_ptr<DispatchQueue> queueIn,
               std::shared_ptr<WorkQueue> poolWorkIn, std::shared_ptr<RepeatingHandle> handleIn,
               double startIn, double intervalIn)
      : task(std::move(taskIn)),
        queue(std::move(queueIn)),
        poolWork(std::move(poolWorkIn)),
        handle(std::move(handleIn)),
        start(startIn),
        interval(intervalIn) {}

  const Task task;
  const std::shared_ptr<DispatchQueue> queue;
  // As in PendingTimer.
  const std::shared_ptr<WorkQueue> poolWork;
  // Whose flag every run looks at right before it calls the task.
  const std::shared_ptr<RepeatingHandle> handle;
  const double start;
  const double interval;
  // Guarded by the timers' lock: the run the entry waits for (k in start + k × interval) and
  // its key in the order of all timers.
  std::uint64_t tick = 1;
  TimerKey key;
  // From the firing of a run until the task returns, so that runs never overlap: a tick that
  // comes due meanwhile is absorbed.
  std::atomic<bool> busy{false};
};

void RepeatingHandle::cancel() {
  cancelled.store(true, std::memory_order_release);
  auto timers = timers_.lock();
  auto run = run_.lock();
  if (timers && run) timers->cancel(*run);
  // The entry, and with it the task unless a run is under way, goes with `run`, after the lock.
}

std::shared_ptr<WorkQueue> Timers::poolWorkOf(const DispatchQueue& queue) const {
  const WorkQueueFace* face = faceOf(queue);
  if (face == nullptr || !face->work()->runsOn(*poolIo_)) return nullptr;
  return face->work();
}

bool Timers::insertLocked(const TimerKey& key, PendingTimer pending) {
  if (spareNode_.empty()) {
    timers_.emplace(key, std::move(pending));
  } else {
    // The node of a timer that fired, emptied outside the lock: no allocation per timer.
    spareNode_.key() = key;
    spareNode_.mapped() = std::move(pending);
    timers_.insert(std::move(spareNode_));
  }
  return wakesFor(key);
}

bool Timers::wakesFor(const TimerKey& key) {
  const bool wake = key.due < waitsUntil_;
  if (wake) sleep_.change();
  return wake;
}

std::shared_ptr<TimerHandle> Timers::scheduleAt(double when, std::shared_ptr<DispatchQueue> queue,
                                                Task task) {
  auto handle = std::make_shared<OneShotHandle>(weak_from_this());
  if (!task) return handle;
  // A due time that has passed (or is not a number) needs no timer.
  if (!(when > steadySeconds())) {
    bool running = false;
    {
      std::lock_guard lock(mutex_);
      running = !stopped_;
    }
    if (running) queue->async(guardedTask(handle, std::move(task)));
    return handle;
  }

  TimerKey key{steadyTimePoint(when)};
  auto poolWork = poolWorkOf(*queue);
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    if (!stopped_) {
      key.id = ++nextTimer_;
      handle->setKey(key);
      wake =
          insertLocked(key, {std::move(task), std::move(queue), std::move(poolWork), handle, {}});
    }
  }
  // A task refused after stop() is released here, outside the lock.
  if (wake) sleep_.wake();
  return handle;
}

std::shared_ptr<TimerHandle> Timers::scheduleRepeating(double start, double interval,
                                                       std::shared_ptr<DispatchQueue> queue,
                                                       Task task) {
  auto handle = std::make_shared<RepeatingHandle>(weak_from_this());
  if (!task) return handle;
  auto poolWork = poolWorkOf(*queue);
  auto run = std::make_shared<RepeatingRun>(std::move(task), std::move(queue), std::move(poolWork),
                                            handle, start, interval);
  handle->setRun(run);
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    if (!stopped_) {
      // A first due time that has passed fires at once, on the timer thread.
      run->key = {steadyTimePoint(start + interval), ++nextTimer_};
      repeating_.push_back(run);
      wake = wakesFor(run->key);
    }
  }
  if (wake) sleep_.wake();
  return handle;
}

PEMDOR_TICK_PATH void Timers::advanceLocked(RepeatingRun& run, SteadyTime now) {
  const double nowSeconds = std::chrono::duration<double>(now.time_since_epoch()).count();
  // The next run, unless the timer thread comes late: then the first one still ahead.
  double next = static_cast<double>(run.tick) + 1.0;
  const double ahead = std::floor((nowSeconds - run.start) / run.interval) + 1.0;
  if (ahead > next) next = ahead;
  run.tick = next < static_cast<double>(kLastTick) ? static_cast<std::uint64_t>(next) : kLastTick;
  run.key = {steadyTimePoint(run.start + static_cast<double>(run.tick) * run.interval),
             ++nextTimer_};
}

PEMDOR_TICK_PATH void Timers::run() {
  // Timers are due when they are due: no timer slack (50 us by default for a sleeping thread,
  // none for Asio's timerfd before).
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::unique_lock lock(mutex_);
  while (!stopped_) {
    // The earliest timer: the first one-shot timer or the earliest repeating one.
    const std::shared_ptr<RepeatingRun>* repeating = nullptr;
    for (const auto& run : repeating_) {
      if (!repeating || run->key < (*repeating)->key) repeating = &run;
    }
    const bool oneShot =
        !timers_.empty() && (!repeating || timers_.begin()->first < (*repeating)->key);
    if (!oneShot && !repeating) {
      waitUnlocked(lock, SteadyTime::max());
      continue;
    }
    const SteadyTime due = oneShot ? timers_.begin()->first.due : (*repeating)->key.due;
    // The clock is read only when a timer is pending.
    const SteadyTime now = internal::steadyNow();
    if (due > now) {
      waitUnlocked(lock, due);
      continue;
    }
    // Periodic ticks are what this loop runs most: their path is laid out first.
    if (!oneShot) [[likely]] {
      // The timer takes its next due time before the run begins, so that timers the task
      // schedules for that same time come after it.
      std::shared_ptr<RepeatingRun> run = *repeating;
      advanceLocked(*run, now);
      lock.unlock();
      fire(run);
      // A cancel meanwhile leaves the last reference here: the task goes outside the lock.
      run.reset();
      lock.lock();
      continue;
    }
    auto node = timers_.extract(timers_.begin());
    lock.unlock();
    fire(std::move(node.mapped()));
    // What the timer held (its queue) goes before the lock is taken again; the emptied node is
    // kept for the next timer.
    node.mapped() = {};
    lock.lock();
    if (spareNode_.empty()) spareNode_ = std::move(node);
  }
}

PEMDOR_TICK_PATH void Timers::waitUnlocked(std::unique_lock<std::mutex>& lock, SteadyTime until) {
  const std::uint32_t ticket = sleep_.ticket();
  waitsUntil_ = until;
  lock.unlock();
  sleep_.sleep(ticket, until);
  lock.lock();
  waitsUntil_ = SteadyTime::min();
}

void Timers::fire(PendingTimer pending) {
  // A pool queue that could start the task at once gets it run right here, as one of its jobs:
  // posting it would wake a pool thread for every tick of a periodic timer, a second thread
  // hand-off after the one that woke this thread. The queue's order and concurrency limit hold,
  // since the task runs only when nothing waits before it and a job slot is free. The cost is
  // that other timers due meanwhile wait until the task returns: timer tasks on pool queues are
  // expected to be short (a provider's tick), and a long one should post its work elsewhere.
  // Run here, the task needs no wrapper to see a cancel that came before it starts.
  if (pending.poolWork && pending.poolWork->beginHere()) {
    if (!pending.flag->cancelled.load(std::memory_order_acquire)) pending.task();
    pending.task = nullptr;
    pending.poolWork->endHere();
    return;
  }
  auto task = guardedTask(std::move(pending.flag), std::move(pending.task));
  if (pending.poolWork) {
    pending.poolWork->post(std::move(task));
  } else {
    pending.queue->async(std::move(task));
  }
}

PEMDOR_TICK_PATH void Timers::fire(const std::shared_ptr<RepeatingRun>& run) {
  // Acquire: a run sees everything the one before it wrote, on whichever thread that one ran.
  if (run->busy.exchange(true, std::memory_order_acq_rel)) return;
  // As for a one-shot timer, a pool queue that could start the task at once has it run here.
  if (run->poolWork && run->poolWork->beginHere()) {
    if (!run->handle->cancelled.load(std::memory_order_acquire)) run->task();
    run->busy.store(false, std::memory_order_release);
    run->poolWork->endHere();
    return;
  }
  Task task = [run] {
    if (!run->handle->cancelled.load(std::memory_order_acquire)) run->task();
    run->busy.store(false, std::memory_order_release);
  };
  if (run->poolWork) {
    run->poolWork->post(std::move(task));
  } else {
    run->queue->async(std::move(task));
  }
}

void Timers::cancel(const TimerKey& key) {
  TimerMap::node_type taken;
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    taken = timers_.extract(key);
    // The timer thread waits for the next timer instead of waking for nothing at this one's time.
    wake = !taken.empty() && key.due == waitsUntil_;
    if (wake) sleep_.change();
  }
  if (wake) sleep_.wake();
  // The task and what it holds are released here, outside the lock.
}

void Timers::cancel(const RepeatingRun& run) {
  std::shared_ptr<RepeatingRun> taken;
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(repeating_.begin(), repeating_.end(),
                                 [&run](const auto& entry) { return entry.get() == &run; });
    if (it != repeating_.end()) {
      taken = std::move(*it);
      *it = std::move(repeating_.back());
      repeating_.pop_back();
    }
    wake = taken && run.key.due == waitsUntil_;
    if (wake) sleep_.change();
  }
  if (wake) sleep_.wake();
  // The entry, and with it the task unless a run is under way, goes here, outside the lock.
}

TimerMap Timers::stop() {
  TimerMap timers;
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    timers.swap(timers_);
    for (auto& run : repeating_) timers.emplace(run->key, PendingTimer{{}, {}, {}, {}, run});
    repeating_.clear();
    spareNode_ = {};
    sleep_.change();
  }
  sleep_.wake();
  return timers;
}

}  // namespace pemdor::asio_dispatch
