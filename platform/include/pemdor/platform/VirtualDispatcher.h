// SPDX-License-Identifier: MIT
#pragma once

/// @file
/// A single-threaded, deterministic dispatcher in virtual time, for tests and for hosts that want
/// a run to finish at once. Nothing runs until the owner drives it from one thread: runUntilIdle()
/// runs what is ready now, advanceBy() moves the virtual clock and fires timers in order of their
/// due time (ties in the order they were scheduled). Posting from other threads is safe; running
/// is not.
///
/// Every queue (main, global, work queues) is a FIFO of its own. Among tasks that are ready at
/// the same virtual instant on different queues, the default order is the order of posting; a
/// shuffle key (test-facing, see setShuffleKey) picks another order, the same one for the same
/// key, while each serial queue keeps its own order.
///
/// Threads: post, schedule, cancel and query from any thread. Drive (runOne, runUntilIdle,
/// advanceBy, advanceClockBy, runUntil) from one thread at a time, the owner's; every task runs
/// on that thread, inside the driving call. A driving call made from inside a task, or while
/// another thread is driving, returns at once without running anything or moving the clock.
/// isMainThread() is true exactly while a main-queue task runs, and only on the owner's thread.
/// A timer on a queue that belongs to another dispatcher is posted to that queue when it falls
/// due here.
///
/// Destroying the dispatcher drops every task and timer not yet run, releasing their captures;
/// whatever those captures post as they go is dropped too. Queue and timer handles may outlive
/// the dispatcher: posting to such a queue drops the task, cancelling such a timer does nothing.
/// A pending task that holds the dispatcher itself keeps it alive; work should hold it weakly.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "pemdor/platform/Dispatch.h"

namespace pemdor {

/// The virtual-time dispatcher (see the file's description for how it is driven).
class VirtualDispatcher : public Dispatcher {
 public:
  /// `start` is the initial value of monotonicNow().
  static std::shared_ptr<VirtualDispatcher> create(double start = 0.0);

  /// Runs one ready task, if any. Returns false when nothing is ready now. Timer tasks cancelled
  /// after falling due are skipped and not counted.
  virtual bool runOne() = 0;
  /// Runs ready tasks, including tasks posted meanwhile, until none is ready at the current
  /// instant. Returns how many ran.
  virtual std::size_t runUntilIdle() = 0;
  /// Runs everything due up to now + seconds, in due order, moving the clock to each timer's due
  /// time in turn; ends with the clock at now + seconds. Returns how many tasks ran.
  virtual std::size_t advanceBy(double seconds) = 0;
  /// Moves the clock without running anything: timers that become due are ready for runOne(),
  /// in order of their due time; inside them monotonicNow() reads the new time. Negative or
  /// non-finite amounts, here and in advanceBy(), count as 0.
  virtual void advanceClockBy(double seconds) = 0;

  /// Runs and advances until `done()` holds (checked whenever nothing is ready), nothing is left
  /// to run, or `maxSeconds` of virtual time have passed. Returns done(). Timers due exactly at
  /// the limit still run; when the limit stops the run, the clock ends at it, otherwise it stays
  /// at the time the run had reached. `done` is called on the owner's thread with no lock held.
  virtual bool runUntil(const std::function<bool()>& done, double maxSeconds) = 0;

  /// True while a task is ready or a timer is pending (cancelled ones do not count).
  virtual bool hasPendingWork() const = 0;
  /// The due time of the earliest pending, uncancelled timer.
  virtual std::optional<double> nextTimerDue() const = 0;
  /// Tasks run since creation.
  virtual std::uint64_t tasksRun() const = 0;

  /// For tests, not for hosts: correct code works whatever order tasks that are ready at the
  /// same instant run in, and tests set a key to run one script in many such orders and to
  /// replay a failing one. Hosts leave it unset.
  ///
  /// nullopt: posting order. A value: each next task is picked pseudo-randomly, reproducibly for
  /// the same key, among the heads of the serial queues (main, and work queues with a maximum of
  /// 1) and every ready task of the other queues. Timers still fall due in order.
  virtual void setShuffleKey(std::optional<std::uint64_t> key) = 0;
};

}  // namespace pemdor
