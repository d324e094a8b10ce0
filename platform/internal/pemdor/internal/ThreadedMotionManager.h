// SPDX-License-Identifier: MIT
#pragma once

// The host-facing half of a motion manager whose streams are sampled on an I/O thread of its own
// (the IIO and input-device providers). The provider writes the Core that the thread runs and
// isAvailable(); this class holds the core, starts the thread at the first start and ends it
// with the manager, and answers the interval, start, stop and isActive calls the same way for
// both.
//
// A Core derives from ThreadedCore, whose members are guarded by its `mutex`, and adds:
//  - `static duration joinWithin(double interval)`: how close to the schedule of a running
//    stream with the same interval a starting stream must fall to take that schedule;
//  - `static void run(std::shared_ptr<Core>)`: the thread's body.
//
// Thread contract: every member is called from any thread; none holds the core's lock while it
// releases a handler, so a handler's last reference may call back into the manager.

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "pemdor/internal/SleepWord.h"
#include "pemdor/internal/StreamSlot.h"
#include "pemdor/internal/TickPath.h"
#include "pemdor/platform/CoreMotion.h"

namespace pemdor::internal {

// Seconds as a duration of the steady clock.
inline std::chrono::steady_clock::duration toDuration(double seconds) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds));
}

// What a manager shares with its I/O thread. The thread holds it, so it outlives the manager
// when the manager goes first.
struct ThreadedCore {
  struct Stream {
    double interval = CMMotionManager::kDefaultUpdateInterval;
    StreamSlot<CMMotionManager::VectorHandler> slot;
    // When the stream is next read.
    std::chrono::steady_clock::time_point due{};
  };

  std::mutex mutex;
  // Where the I/O thread sleeps until the next due time or a change.
  SleepWord sleep;
  // Set once, when the manager goes; the thread then returns.
  bool quit = false;
  std::array<Stream, kMotionStreamCount> streams;

  // Gives a stream that starts now its first due time: one interval from now, or the next due
  // time of a running stream with the same interval that lies within `joinWithin` of it, so that
  // the two share their wake-ups. Called with the lock held.
  void scheduleFirst(std::size_t stream, std::chrono::steady_clock::time_point now,
                     std::chrono::steady_clock::duration joinWithin) {
    Stream& s = streams[stream];
    s.due = now + toDuration(s.interval);
    for (std::size_t i = 0; i < kMotionStreamCount; ++i) {
      const Stream& other = streams[i];
      if (i == stream || !other.slot.active() || other.interval != s.interval) continue;
      const auto apart = other.due > s.due ? other.due - s.due : s.due - other.due;
      if (apart <= joinWithin) {
        s.due = other.due;
        return;
      }
    }
  }
};

template <typename Core>
class ThreadedMotionManager : public CMMotionManager {
 public:
  // The intervals a stream can be given, in seconds; others are clamped to them.
  static constexpr double kShortestInterval = 0.005;
  static constexpr double kLongestInterval = 3600.0;

  ~ThreadedMotionManager() override {
    std::array<typename StreamSlot<VectorHandler>::Released, kMotionStreamCount> released;
    bool wake = false;
    {
      std::lock_guard lock(core_->mutex);
      core_->quit = true;
      for (std::size_t i = 0; i < kMotionStreamCount; ++i) {
        released[i] = core_->streams[i].slot.stop();
      }
      wake = core_->sleep.changed();
    }
    if (wake) core_->sleep.wake();
    if (thread_.joinable()) {
      // A handler's last reference may be dropped on the I/O thread and take this manager with
      // it; the thread then ends by itself, holding the core.
      if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
      } else {
        thread_.join();
      }
    }
  }

  void setUpdateInterval(MotionStream stream, double seconds) override {
    const double interval = std::isfinite(seconds) && seconds > 0.0
                                ? std::clamp(seconds, kShortestInterval, kLongestInterval)
                                : kShortestInterval;
    bool wake = false;
    {
      std::lock_guard lock(core_->mutex);
      auto& s = core_->streams[index(stream)];
      s.interval = interval;
      // A running stream takes a shorter interval from now on, not after its old wait.
      if (s.slot.active()) s.due = std::min(s.due, steadyNow() + toDuration(interval));
      wake = core_->sleep.changed();
    }
    if (wake) core_->sleep.wake();
  }

  double updateInterval(MotionStream stream) const override {
    std::lock_guard lock(core_->mutex);
    return core_->streams[index(stream)].interval;
  }

  void startUpdates(MotionStream stream, std::shared_ptr<OperationQueue> queue,
                    VectorHandler handler) override {
    if (!queue || !handler || !this->isAvailable(stream)) return;
    typename StreamSlot<VectorHandler>::Released replaced;
    bool wake = false;
    {
      std::lock_guard lock(core_->mutex);
      replaced = core_->streams[index(stream)].slot.start(std::move(queue), std::move(handler));
      core_->scheduleFirst(index(stream), steadyNow(),
                           Core::joinWithin(core_->streams[index(stream)].interval));
      if (!thread_.joinable()) thread_ = std::thread([core = core_] { Core::run(core); });
      wake = core_->sleep.changed();
    }
    if (wake) core_->sleep.wake();
  }

  void stopUpdates(MotionStream stream) override {
    typename StreamSlot<VectorHandler>::Released released;
    bool wake = false;
    {
      std::lock_guard lock(core_->mutex);
      released = core_->streams[index(stream)].slot.stop();
      if (!released.handler) return;
      wake = core_->sleep.changed();
    }
    if (wake) core_->sleep.wake();
  }

  bool isActive(MotionStream stream) const override {
    std::lock_guard lock(core_->mutex);
    return core_->streams[index(stream)].slot.active();
  }

 protected:
  explicit ThreadedMotionManager(std::shared_ptr<Core> core) : core_(std::move(core)) {}

  const std::shared_ptr<Core>& core() const { return core_; }

 private:
  const std::shared_ptr<Core> core_;
  // Written only under core_->mutex, and read without it only by the destructor.
  std::thread thread_;
};

}  // namespace pemdor::internal
