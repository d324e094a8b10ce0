#pragma once

// A single-threaded, deterministic dispatcher in virtual time, for tests and for hosts that want
// a run to finish at once. Nothing runs until the owner drives it from one thread: runUntilIdle()
// runs what is ready now, advanceBy() moves the virtual clock and fires timers in order of their
// due time (ties in the order they were scheduled). Posting from other threads is safe; running
// is not.
//
// Every queue (main, global, work queues) is a FIFO of its own. Among tasks that are ready at
// the same virtual instant on different queues, the default order is the order of posting; a
// shuffle key picks another order, the same one for the same key, while each serial queue keeps
// its own order.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "pemdor/platform/Dispatch.h"

namespace pemdor {

class VirtualDispatcher : public Dispatcher {
 public:
  /// `start` is the initial value of monotonicNow().
  static std::shared_ptr<VirtualDispatcher> create(double start = 0.0);

  /// Runs one ready task, if any. Returns false when nothing is ready now.
  virtual bool runOne() = 0;
  /// Runs ready tasks, including tasks posted meanwhile, until none is ready at the current
  /// instant. Returns how many ran.
  virtual std::size_t runUntilIdle() = 0;
  /// Runs everything due up to now + seconds, in due order, moving the clock to each timer's due
  /// time in turn; ends with the clock at now + seconds. Returns how many tasks ran.
  virtual std::size_t advanceBy(double seconds) = 0;
  /// Moves the clock without running anything: timers that become due are ready for runOne().
  virtual void advanceClockBy(double seconds) = 0;

  /// Runs and advances until `done()` holds (checked whenever nothing is ready), nothing is left
  /// to run, or `maxSeconds` of virtual time have passed. Returns done().
  virtual bool runUntil(const std::function<bool()>& done, double maxSeconds) = 0;

  /// True while a task is ready or a timer is pending.
  virtual bool hasPendingWork() const = 0;
  /// The due time of the earliest pending timer.
  virtual std::optional<double> nextTimerDue() const = 0;
  /// Tasks run since creation.
  virtual std::uint64_t tasksRun() const = 0;

  /// nullopt: posting order. A value: a reproducible shuffled order among queues.
  virtual void setShuffleKey(std::optional<std::uint64_t> key) = 0;
};

}  // namespace pemdor
