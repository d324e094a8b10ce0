// SPDX-License-Identifier: MIT
#pragma once

// How a provider hands its readings and callbacks to host code: written once, for every motion
// and location provider (and for the collector's own handlers, should it want it).
//
// Every provider has the same problem. A start gives a queue and a handler (or, for locations, a
// delegate behind the main queue). Readings are made on a thread of the provider's own (a timer,
// an I/O thread, a reader thread) and run on the host's queue some time later. By then the stream
// may have been stopped, or started again with another handler: such a late delivery must be
// dropped. And the handler that a start or a stop replaces must be released where it cannot
// deadlock, because its last reference may run code that calls back into the provider.
//
// The mechanism is a slot per stream, guarded by the provider's own lock, with a run token that
// deliveries carry. The other way, one serial sequence per manager on which every operation runs,
// was not taken: the interfaces answer from any thread at once (a stream is active right after
// its start returns, intervals and availability are plain questions), which a sequence could only
// do by blocking the caller on it; and an I/O thread must read devices with no lock held, which a
// slot allows directly: what a delivery needs is copied under the lock and posted with none.
//
// Thread contract:
//  - RunToken::begin(), end() and ticket(), and every member of StreamSlot, are called with the
//    owner's lock held (or on the one thread that owns the object).
//  - What StreamSlot::start() and stop() return is destroyed after that lock is released.
//  - A Ticket, a Delivery and a DeliveryBatch are used with no lock held, on any thread. A
//    delivery checks its ticket on the handler's queue right before it calls the handler, so once
//    a stop or a restart has returned, no delivery of the earlier run calls its handler unless it
//    had already begun to.
//  - Nothing here calls host code: handlers run only inside tasks on their queues.
//
// How the providers use it:
//  - A motion manager keeps a StreamSlot per stream. Its sampling thread (or timer) copies
//    slot.delivery() under the lock, reads with none, and hands the readings of one wake-up to a
//    DeliveryBatch (IIO). A timer that is already on the handler's queue (the simulated device)
//    copies slot.localDelivery() instead and runs the handler through its runIfCurrent().
//  - A location manager keeps a RunToken: begin() at startUpdatingLocation, end() at
//    stopUpdatingLocation. Callbacks posted to the main queue carry the ticket and reach the
//    delegate only while it is current; a failure that ends the updates by itself (a lost
//    connection) is delivered through Ticket::end(), so that it is the run's last callback.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "pemdor/internal/QueueHandOff.h"
#include "pemdor/platform/Dispatch.h"

namespace pemdor {

/// Names the runs of one stream or one location manager: every start begins a new run, a stop
/// ends it. Deliveries carry the ticket of the run that made them.
class RunToken {
 public:
  /// The name of one run. A default ticket names no run and is never current.
  class Ticket {
   public:
    Ticket() = default;

    /// Whether the run is still the current one. Any thread, no lock.
    bool current() const noexcept {
      return state_ && state_->load(std::memory_order_acquire) == run_;
    }

    /// Ends the run if it is still the current one, as a stop would; true for the one call that
    /// ended it. Any thread, no lock. For a run that ends by itself, such as a lost connection
    /// whose failure is the last callback.
    bool end() const noexcept {
      if (!state_) return false;
      std::uint64_t expected = run_;
      return state_->compare_exchange_strong(expected, 0, std::memory_order_acq_rel);
    }

    /// Whether two tickets name the same run.
    friend bool operator==(const Ticket&, const Ticket&) = default;

   private:
    friend class RunToken;
    Ticket(std::shared_ptr<std::atomic<std::uint64_t>> state, std::uint64_t run)
        : state_(std::move(state)), run_(run) {}

    std::shared_ptr<std::atomic<std::uint64_t>> state_;
    std::uint64_t run_ = 0;
  };

  /// Begins a new run, current from now on; every earlier ticket stops being current.
  Ticket begin() {
    const std::uint64_t run = ++last_;
    state_->store(run, std::memory_order_release);
    return Ticket(state_, run);
  }

  /// Ends the current run, if any.
  void end() noexcept { state_->store(0, std::memory_order_release); }

  /// The current run's ticket, or a ticket that is never current when no run is.
  Ticket ticket() const {
    const std::uint64_t run = state_->load(std::memory_order_acquire);
    return run == 0 ? Ticket() : Ticket(state_, run);
  }

  /// Whether a run is current (begun, and not ended by end() or Ticket::end()).
  bool running() const noexcept { return state_->load(std::memory_order_acquire) != 0; }

 private:
  // 0 while no run is current. Shared with the tickets, which may outlive the owner.
  std::shared_ptr<std::atomic<std::uint64_t>> state_ =
      std::make_shared<std::atomic<std::uint64_t>>(0);
  // The last run begun; written only under the owner's lock.
  std::uint64_t last_ = 0;
};

/// One delivery of a stream: its queue, its handler and the ticket of its run, copied under the
/// owner's lock and used with none.
template <typename Handler>
struct Delivery {
  std::shared_ptr<OperationQueue> queue;
  std::shared_ptr<const Handler> handler;
  RunToken::Ticket ticket;

  /// Calls `call(handler)` if the run is still current. For code already running on `queue`.
  template <typename Call>
  void runIfCurrent(Call&& call) const {
    if (ticket.current()) std::forward<Call>(call)(*handler);
  }

  /// A task that calls `call(handler)` if the run is still current when the task runs.
  template <typename Call>
  Task task(Call call) const {
    return [handler = handler, ticket = ticket, call = std::move(call)]() mutable {
      if (ticket.current()) call(*handler);
    };
  }

  /// Posts task(call) to the queue.
  template <typename Call>
  void post(Call call) const {
    queue->async(task(std::move(call)));
  }
};

/// What a delivery needs when its handler runs on the queue where it was taken: the handler and
/// the ticket of its run, without the queue. Copied under the owner's lock and used with none.
template <typename Handler>
struct LocalDelivery {
  std::shared_ptr<const Handler> handler;
  RunToken::Ticket ticket;

  /// Calls `call(handler)` if the run is still current. For code already running on the queue.
  template <typename Call>
  void runIfCurrent(Call&& call) const {
    if (ticket.current()) std::forward<Call>(call)(*handler);
  }
};

/// A stream's queue, handler and run token.
template <typename Handler>
class StreamSlot {
 public:
  /// What a start or a stop took out of the slot. Destroy it after the owner's lock is released.
  struct Released {
    std::shared_ptr<OperationQueue> queue;
    std::shared_ptr<const Handler> handler;
  };

  /// Starts a run with `queue` and `handler`, replacing those of a run still going.
  [[nodiscard]] Released start(std::shared_ptr<OperationQueue> queue, Handler handler) {
    Released replaced{std::exchange(queue_, std::move(queue)),
                      std::exchange(handler_, std::make_shared<const Handler>(std::move(handler)))};
    active_ = true;
    token_.begin();
    return replaced;
  }

  /// Ends the run; does nothing when none is going.
  [[nodiscard]] Released stop() {
    if (!active_) return {};
    active_ = false;
    token_.end();
    return {std::move(queue_), std::move(handler_)};
  }

  /// From a start until the matching stop.
  bool active() const { return active_; }

  /// What a delivery of the current run needs; nullopt when the stream is stopped.
  std::optional<Delivery<Handler>> delivery() const {
    if (!active_) return std::nullopt;
    return Delivery<Handler>{queue_, handler_, token_.ticket()};
  }

  /// As delivery(), without the queue, for a caller that is already on it.
  std::optional<LocalDelivery<Handler>> localDelivery() const {
    if (!active_) return std::nullopt;
    return LocalDelivery<Handler>{handler_, token_.ticket()};
  }

  /// The queue of the current run (null when stopped).
  const std::shared_ptr<OperationQueue>& queue() const { return queue_; }

 private:
  bool active_ = false;
  std::shared_ptr<OperationQueue> queue_;
  std::shared_ptr<const Handler> handler_;
  RunToken token_;
};

/// The deliveries of one wake-up, handed to their queues together: one task per distinct queue
/// runs that queue's deliveries one at a time, in the order they were added, each only if its
/// run is still current when it comes. Filled and posted by one thread, with no lock held.
class DeliveryBatch {
 public:
  template <typename Handler, typename Call>
  void add(const Delivery<Handler>& delivery, Call call) {
    Group* group = nullptr;
    for (Group& g : groups_) {
      if (g.queue == delivery.queue) group = &g;
    }
    if (!group) group = &groups_.emplace_back(Group{delivery.queue, {}});
    group->tasks.push_back(delivery.task(std::move(call)));
  }

  bool empty() const { return groups_.empty(); }

  /// Posts one task per queue and leaves the batch empty.
  void post() { handOver(false); }

  /// As post(), but a queue's task runs right here, on the calling thread, where
  /// internal::runHereOrAsync() allows it: for a provider thread that has just woken for a
  /// reading, so that the tick costs no second wake-up. Host code may run inside this call.
  void runHereOrPost() { handOver(true); }

 private:
  struct Group {
    std::shared_ptr<OperationQueue> queue;
    std::vector<Task> tasks;
  };

  void handOver(bool here) {
    std::vector<Group> groups = std::exchange(groups_, {});
    for (Group& g : groups) {
      Task task =
          g.tasks.size() == 1 ? std::move(g.tasks.front()) : Task([tasks = std::move(g.tasks)] {
            for (const Task& t : tasks) t();
          });
      if (here) {
        internal::runHereOrAsync(*g.queue, std::move(task));
      } else {
        g.queue->async(std::move(task));
      }
    }
  }

  std::vector<Group> groups_;
};

}  // namespace pemdor
