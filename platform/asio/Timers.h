// SPDX-License-Identifier: MIT
#pragma once

// The timers of the Asio dispatcher: one thread of their own that sleeps until the earliest due
// time and fires what is due. Internal to the Asio dispatcher; not installed.

#include <asio/io_context.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "WorkQueue.h"
#include "pemdor/internal/SleepWord.h"
#include "pemdor/platform/Dispatch.h"

namespace pemdor::asio_dispatch {

using SteadyTime = std::chrono::steady_clock::time_point;

// The steady clock (CLOCK_MONOTONIC) in seconds: the dispatcher's monotonicNow().
double steadySeconds();

// A pending timer's place in the order in which timers fire: by due time, then in the order
// they were scheduled (a repeating timer takes a new place for each run). Id 0 names no timer.
struct TimerKey {
  SteadyTime due;
  std::uint64_t id = 0;
  auto operator<=>(const TimerKey&) const = default;
};

// Set by TimerHandle::cancel() and read right before the timer's task runs.
struct TimerFlag {
  std::atomic<bool> cancelled{false};
};

class Timers;

// What the runs of a repeating timer share with its entry in the list of repeating timers: the
// task, which every run calls by reference, and its schedule. Held by the entry and by each run
// under way, so a cancel, which drops the entry, never destroys a task that is running.
struct RepeatingRun;

// A timer waiting on the timer thread. A one-shot timer has its task, queue and flag here. The
// map that stop() hands back holds the repeating timers too, each with only `repeating`.
struct PendingTimer {
  Task task;
  std::shared_ptr<DispatchQueue> queue;
  // The queue's WorkQueue when its jobs run on the pool; null for the main queue and for
  // queues of other dispatchers or of the host.
  std::shared_ptr<WorkQueue> poolWork;
  std::shared_ptr<TimerFlag> flag;
  std::shared_ptr<RepeatingRun> repeating;
};
using TimerMap = std::map<TimerKey, PendingTimer>;

// The dispatcher's timers. Every member may be called from any thread; no lock is held while a
// task runs, is posted or is destroyed.
class Timers : public std::enable_shared_from_this<Timers> {
 public:
  // `poolIo` runs the dispatcher's pool queues, whose tasks may run on the timer thread.
  explicit Timers(std::shared_ptr<asio::io_context> poolIo) : poolIo_(std::move(poolIo)) {}
  Timers(const Timers&) = delete;
  Timers& operator=(const Timers&) = delete;

  // Runs `task` on `queue` once the steady clock has reached `when`: posted at once when it
  // already has. Refused (the task destroyed on the calling thread) after stop().
  std::shared_ptr<TimerHandle> scheduleAt(double when, std::shared_ptr<DispatchQueue> queue,
                                          Task task);

  // Runs `task` on `queue` at start + k × interval (k = 1, 2, ...) until cancelled; `interval`
  // is a positive number of seconds. The timer thread gives the timer its next due time before
  // the run begins, without allocating. A run that has not returned when the next
  // one comes due absorbs it, and a tick that fires late is followed by the first due time still
  // ahead, so a run that took longer than the interval is followed by one run at once and then
  // the schedule, not by a burst of the missed ones.
  std::shared_ptr<TimerHandle> scheduleRepeating(double start, double interval,
                                                 std::shared_ptr<DispatchQueue> queue, Task task);

  // The timer thread's loop: waits for the earliest pending timer and fires the due ones,
  // until stop().
  void run();

  // Refuses every timer from now on, ends run(), and hands back the pending timers, for the
  // caller to destroy when it is ready to.
  TimerMap stop();

  // Removes the one-shot timer `key`, if still pending; its task is released on the calling
  // thread.
  void cancel(const TimerKey& key);
  // Removes the repeating timer whose entry `run` is.
  void cancel(const RepeatingRun& run);

 private:
  // Adds an entry under the lock, reusing the spare node when there is one. Returns whether the
  // timer thread must be woken.
  bool insertLocked(const TimerKey& key, PendingTimer pending);
  // Whether a timer just added under the lock with `key` must wake the timer thread; if so, the
  // thread's sleep is marked changed and the caller wakes it after the lock.
  bool wakesFor(const TimerKey& key);
  // The timer thread's sleep until `until` (max() for no timer), with the lock released meanwhile.
  void waitUnlocked(std::unique_lock<std::mutex>& lock, SteadyTime until);
  // Runs on the timer thread when `pending` is due.
  void fire(PendingTimer pending);
  // Runs on the timer thread for a due repeating timer, with no lock held.
  void fire(const std::shared_ptr<RepeatingRun>& run);
  // `queue`'s WorkQueue when it is one of the dispatcher's pool queues, else null.
  std::shared_ptr<WorkQueue> poolWorkOf(const DispatchQueue& queue) const;
  // Gives a repeating timer the key of its run after the one that fires `now`.
  void advanceLocked(RepeatingRun& run, SteadyTime now);

  const std::shared_ptr<asio::io_context> poolIo_;
  std::mutex mutex_;
  bool stopped_ = false;
  // The one-shot timers.
  TimerMap timers_;
  // An empty node of a timer that has fired, for the next timer to take.
  TimerMap::node_type spareNode_;
  // The repeating timers, in no order: there are few (one per group of streams that sample
  // together), and each run only changes its own key, so that a periodic tick needs no map
  // operation at all. The timer thread takes the earliest key of both.
  std::vector<std::shared_ptr<RepeatingRun>> repeating_;
  std::uint64_t nextTimer_ = 0;
  // Where the timer thread sleeps until its next due time (see SleepWord.h).
  internal::SleepWord sleep_;
  // The due time the timer thread is waiting for: max() while no timer is pending, min() while
  // it is not waiting (it looks at the timers again before it waits). A timer due earlier, or
  // the cancelling of the one it waits for, wakes it.
  SteadyTime waitsUntil_ = SteadyTime::min();
};

}  // namespace pemdor::asio_dispatch
