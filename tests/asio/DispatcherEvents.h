// SPDX-License-Identifier: MIT
#pragma once

// What the real dispatcher's tests count and wait for: events from any thread, with a bound on
// the wait that only guards against a hang.

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace pemdor::dispatcher_test {

// Only a bound for waiting on completion: far above any expected run time, never a timing check.
inline constexpr auto kDeadline = std::chrono::seconds(30);

// Counts events from any thread; the test waits until a number of them have happened.
class Events {
 public:
  void add() {
    std::lock_guard lock(mutex_);
    ++count_;
    changed_.notify_all();
  }
  bool waitFor(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return count_ >= count; });
  }
  int count() {
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

// Held by a task to see whether the task was destroyed.
struct Token {
  explicit Token(Events& onDestroyed) : destroyed(onDestroyed) {}
  ~Token() { destroyed.add(); }
  Events& destroyed;
};

}  // namespace pemdor::dispatcher_test
