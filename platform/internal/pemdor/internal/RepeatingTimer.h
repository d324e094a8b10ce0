// SPDX-License-Identifier: MIT
#pragma once

// A timer that runs a task again and again on a fixed schedule, for providers that sample on a
// period. Internal to the library; not installed.

#include <memory>

#include "pemdor/platform/Dispatch.h"

namespace pemdor::internal {

// The shortest interval a repeating timer is given, in seconds; shorter ones (and intervals that
// are not a number) are raised to it.
inline constexpr double kShortestRepeatInterval = 1e-6;

// Runs `task` on `queue` (the main queue when null) at start + interval, start + 2 × interval,
// ... on `dispatcher`'s monotonic clock, each due time computed afresh as start + k × interval so
// that the schedule never drifts, until the handle is cancelled. Dropping the handle does not
// cancel the timer. A `start` that is not a number (or is minus infinity) means now; a `start`
// further back keeps its phase, but of the due times that have passed only the last one runs, at
// once. Thread-safe; the task never runs inside this call.
//
// Cancelling works as for a one-shot timer: no run starts after cancel() has returned when it is
// called on the timer's own serial queue (or from inside the task); from another thread a run
// already under way finishes. The task is released once the timer is cancelled and no run of it
// is under way (or with the dispatcher's pending work).
//
// On a real dispatcher the timer thread gives the timer its next due time before each run and
// allocates nothing per run. A run that has not returned when the next one is due
// absorbs that one, and after a late run the schedule goes on with the first due time still
// ahead, so a run that took longer than the interval is followed by one run at once, then the
// schedule; missed runs are not made up in a burst.
//
// Any other dispatcher gets scheduleChainedRepeating(). `dispatcher` must outlive the timer's
// runs, as it does when it drops its pending work when destroyed.
std::shared_ptr<TimerHandle> scheduleRepeating(Dispatcher& dispatcher, double start,
                                               double interval,
                                               std::shared_ptr<DispatchQueue> queue, Task task);

// The repeating timer of any dispatcher, built on Dispatcher::scheduleAt(): each run first
// schedules the next one, at start + (k + 1) × interval, and then calls the task (when not
// cancelled). A due time that has passed runs at once, as scheduleAt() does, so a dispatcher
// whose clock jumps ahead gets one run for each due time passed. The rest as scheduleRepeating().
std::shared_ptr<TimerHandle> scheduleChainedRepeating(Dispatcher& dispatcher, double start,
                                                      double interval,
                                                      std::shared_ptr<DispatchQueue> queue,
                                                      Task task);

// A repeating timer's schedule as the timers use it.
struct RepeatSchedule {
  double start;
  double interval;
};

// `start` and `interval` with the rules of scheduleRepeating() applied.
RepeatSchedule normalizedRepeat(const Dispatcher& dispatcher, double start, double interval);

}  // namespace pemdor::internal
