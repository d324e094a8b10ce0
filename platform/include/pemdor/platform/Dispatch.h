// SPDX-License-Identifier: MIT
#pragma once

/// @file
/// Task queues, timers and delayed calls: the threads on which pemdor runs its work.
///
/// A Dispatcher gives one main queue (run by one main thread), the global queue of default
/// priority, serial work queues in the manner of NSOperationQueue, timers on any queue, and the
/// cancellable delayed calls on the main thread that the collector uses for its location timeout.
/// Two dispatchers stand behind this interface: the real one (RealDispatcher.h) and a
/// single-threaded, virtual-time one for tests (VirtualDispatcher.h).
///
/// Every operation of every class in this header is thread-safe. No task is ever run inside the
/// call that posts or schedules it.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace pemdor {

/// A unit of work posted to a queue.
using Task = std::function<void()>;

/// A queue that runs posted tasks asynchronously.
class DispatchQueue {
 public:
  /// Dispatchers subclass the queue; a queue may outlive its dispatcher.
  virtual ~DispatchQueue() = default;

  /// Posts `task` to run later on this queue's thread(s). Never runs it inside this call.
  virtual void async(Task task) = 0;

  /// A short name for diagnostics ("main", "global", ...).
  virtual std::string label() const = 0;
};

/// A work queue in the manner of NSOperationQueue: tasks start in the order they were added and
/// at most `maxConcurrentOperationCount` of them run at once. With a maximum of 1 the queue is
/// serial: every task runs alone, in order, and each one sees everything its predecessors wrote.
class OperationQueue : public DispatchQueue {
 public:
  /// The maximum of a new queue: as many concurrent tasks as the dispatcher has threads for.
  static constexpr int kDefaultMaxConcurrentOperationCount = -1;

  /// Values below 1 other than kDefaultMaxConcurrentOperationCount are treated as 1.
  virtual void setMaxConcurrentOperationCount(int count) = 0;
  /// How many tasks may run at once: kDefaultMaxConcurrentOperationCount, or 1 or more.
  virtual int maxConcurrentOperationCount() const = 0;

  /// The same as async().
  void addOperation(Task task) { async(std::move(task)); }
};

/// A timer scheduled with Dispatcher::scheduleAt.
class TimerHandle {
 public:
  /// Dispatchers subclass the handle.
  virtual ~TimerHandle() = default;

  /// Prevents a run that has not started yet. Exact when called on the timer's own (serial)
  /// queue; from another thread a run that is already under way is not stopped.
  virtual void cancel() = 0;
};

/// The dispatch services of a platform.
class Dispatcher {
 public:
  /// A dispatcher with no delayed calls pending.
  Dispatcher();
  /// Each kind of dispatcher says what becomes of the work not yet run.
  virtual ~Dispatcher();
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  /// The main queue: tasks run one at a time, in order, on the one main thread. Location
  /// callbacks and delayed calls run there too.
  virtual std::shared_ptr<DispatchQueue> mainQueue() = 0;

  /// True when the caller is running on the main thread (inside a main-queue task).
  virtual bool isMainThread() const = 0;

  /// The global concurrent queue. Only the default priority (0) is distinct; other priorities
  /// give the same queue.
  virtual std::shared_ptr<DispatchQueue> globalQueue(long priority = 0) = 0;

  /// A new work queue, with kDefaultMaxConcurrentOperationCount.
  virtual std::shared_ptr<OperationQueue> makeOperationQueue(std::string label = "operation") = 0;

  /// Monotonic seconds: the steady clock, or the virtual clock of a virtual dispatcher. Never
  /// goes back.
  virtual double monotonicNow() const = 0;

  /// Runs `task` on `queue` once monotonicNow() has reached `when` (at once if it already has).
  virtual std::shared_ptr<TimerHandle> scheduleAt(double when, std::shared_ptr<DispatchQueue> queue,
                                                  Task task) = 0;

  /// Runs `task` on `queue` after `seconds` (negative or non-finite delays count as 0).
  std::shared_ptr<TimerHandle> scheduleAfter(double seconds, std::shared_ptr<DispatchQueue> queue,
                                             Task task);

  /// A delayed call on the main thread, in the manner of performSelector:withObject:afterDelay:.
  /// `task` runs on the main queue after `delay` seconds unless a matching
  /// cancelPreviousPerformRequestsWithTarget() came first. `target` and `selector` only name the
  /// call for cancelling; `target` is never dereferenced.
  void performSelector(const void* target, std::string_view selector, double delay, Task task);

  /// Cancels every pending delayed call scheduled with this `target` and `selector`. Called on
  /// the main thread, a cancelled call never runs; from another thread a call that has already
  /// begun is not stopped. Returns how many calls were cancelled.
  std::size_t cancelPreviousPerformRequestsWithTarget(const void* target,
                                                      std::string_view selector);

  /// How many delayed calls are pending (for diagnostics and tests).
  std::size_t pendingPerformRequests() const;

 private:
  struct DelayedCalls;
  std::shared_ptr<DelayedCalls> delayed_;
};

/// Wall-clock time in seconds since 1970-01-01 00:00:00 UTC, with a fraction.
class WallClock {
 public:
  /// Clocks are subclassed by the platform and the simulated device.
  virtual ~WallClock() = default;
  /// The time now, in seconds since 1970-01-01 00:00:00 UTC.
  virtual double timeIntervalSince1970() const = 0;
};

/// The system's real-time clock.
std::shared_ptr<WallClock> makeSystemClock();

/// A clock that reads `start` when made and then moves with `dispatcher`'s monotonic time (real
/// or virtual). The simulated device uses it so that virtual runs report virtual times.
std::shared_ptr<WallClock> makeDispatcherClock(std::shared_ptr<Dispatcher> dispatcher,
                                               double start);

}  // namespace pemdor
