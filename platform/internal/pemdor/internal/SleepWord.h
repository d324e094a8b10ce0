// SPDX-License-Identifier: MIT
#pragma once

// Where a provider's own thread sleeps until its next due time, or until another thread has
// something for it: a futex word. A condition variable would serve as well, but after a
// timed-out wait glibc's leaves its mutex marked as contended, so the next unlock costs one more
// system call: one on every tick of a thread that wakes periodically.
//
// The owner's lock guards what the sleeper looks at; the word only tells it that something
// changed. With that lock L:
//  - the sleeper, holding L, takes ticket(), marks itself as waiting, releases L, calls
//    sleep(ticket, until), takes L again and unmarks itself;
//  - a waker, holding L, changes what the sleeper looks at and, when the sleeper is marked as
//    waiting, calls change(); once it has released L it calls wake().
// A change made between the sleeper's release of L and its sleep makes that sleep return at
// once. A waker that finds nobody waiting makes no system call. wait() and changed() do all of
// this for a sleeper whose waiting is only marked here; a sleeper that keeps its own mark (the
// dispatcher's timers, which also note what they wait for) uses the four steps directly.

#include <atomic>
#include <chrono>
#include <cstdint>

namespace pemdor::internal {

class SleepWord {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  // With the lock held: the value that the next sleep() waits on.
  std::uint32_t ticket() const { return word_.load(std::memory_order_relaxed); }
  // With the lock held, followed by wake() once it is released: a sleep() on an earlier ticket
  // returns, or does not begin.
  void change() { word_.fetch_add(1, std::memory_order_relaxed); }
  // Wakes the sleeper after a change().
  void wake();
  // Without the lock: sleeps while the word holds `ticket`, until `until` on the steady clock
  // (CLOCK_MONOTONIC; max() for no limit). May return early; the caller looks again.
  void sleep(std::uint32_t ticket, TimePoint until);

  // With `lock` (L) held: marks the sleeper as waiting and sleeps with L released, until `until`
  // or a change; L is held again when it returns.
  template <typename Lock>
  void wait(Lock& lock, TimePoint until) {
    const std::uint32_t t = ticket();
    waiting_ = true;
    lock.unlock();
    sleep(t, until);
    lock.lock();
    waiting_ = false;
  }
  // With L held, after a change the sleeper must see: true when the sleeper waits, and wake() is
  // then to follow once L is released.
  bool changed() {
    if (!waiting_) return false;
    change();
    return true;
  }

 private:
  long futex(int op, std::uint32_t value, const void* at);
  std::atomic<std::uint32_t> word_{0};
  // Under L: a sleeper is in wait().
  bool waiting_ = false;
};

}  // namespace pemdor::internal
