// SPDX-License-Identifier: MIT
#include <cmath>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>

#include "pemdor/platform/Dispatch.h"

namespace pemdor {

// Pending delayed calls, keyed by target and selector. An entry leaves the registry either when
// its timer fires (and it then runs) or when it is cancelled (and it then never runs); both
// happen under the registry's mutex, so exactly one of the two wins.
struct Dispatcher::DelayedCalls {
  struct Entry {
    std::uint64_t id;
    const void* target;
    std::string selector;
    std::shared_ptr<TimerHandle> timer;
  };
  mutable std::mutex mutex;
  std::list<Entry> entries;
  std::uint64_t nextId = 0;
};

Dispatcher::Dispatcher() : delayed_(std::make_shared<DelayedCalls>()) {}
Dispatcher::~Dispatcher() = default;

std::shared_ptr<TimerHandle> Dispatcher::scheduleAfter(double seconds,
                                                       std::shared_ptr<DispatchQueue> queue,
                                                       Task task) {
  if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
  return scheduleAt(monotonicNow() + seconds, std::move(queue), std::move(task));
}

void Dispatcher::performSelector(const void* target, std::string_view selector, double delay,
                                 Task task) {
  auto registry = delayed_;
  std::unique_lock lock(registry->mutex);
  const std::uint64_t id = ++registry->nextId;
  auto it = registry->entries.insert(
      registry->entries.end(), DelayedCalls::Entry{id, target, std::string(selector), nullptr});
  // The timer holds the registry weakly so that a dispatcher that goes away first leaves no
  // dangling reference behind.
  std::weak_ptr<DelayedCalls> weak = registry;
  it->timer = scheduleAfter(delay, mainQueue(), [weak, id, task = std::move(task)] {
    auto reg = weak.lock();
    if (!reg) return;
    {
      std::lock_guard guard(reg->mutex);
      auto e = reg->entries.begin();
      while (e != reg->entries.end() && e->id != id) ++e;
      if (e == reg->entries.end()) return;
      reg->entries.erase(e);
    }
    task();
  });
}

std::size_t Dispatcher::cancelPreviousPerformRequestsWithTarget(const void* target,
                                                                std::string_view selector) {
  std::list<DelayedCalls::Entry> cancelled;
  {
    std::lock_guard guard(delayed_->mutex);
    for (auto it = delayed_->entries.begin(); it != delayed_->entries.end();) {
      auto next = std::next(it);
      if (it->target == target && it->selector == selector) {
        cancelled.splice(cancelled.end(), delayed_->entries, it);
      }
      it = next;
    }
  }
  for (auto& entry : cancelled) {
    if (entry.timer) entry.timer->cancel();
  }
  return cancelled.size();
}

std::size_t Dispatcher::pendingPerformRequests() const {
  std::lock_guard guard(delayed_->mutex);
  return delayed_->entries.size();
}

}  // namespace pemdor
