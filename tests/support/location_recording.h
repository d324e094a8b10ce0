// SPDX-License-Identifier: MIT
#pragma once

// Test helpers for location managers on the real dispatcher: a delegate that records what
// reaches it and on which thread, and a way to run work on the main thread and wait for it.
// Every wait is for events with a generous deadline, never a sleep.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "pemdor/platform/CoreLocation.h"
#include "pemdor/platform/Dispatch.h"

namespace pemdor::location_conformance {

inline constexpr auto kDeadline = std::chrono::seconds(10);

/// Runs `task` on the main thread and waits until it has run.
inline bool runOnMain(Dispatcher& dispatcher, std::function<void()> task) {
  auto done = std::make_shared<std::promise<void>>();
  auto future = done->get_future();
  dispatcher.mainQueue()->async([done, task = std::move(task)] {
    task();
    done->set_value();
  });
  return future.wait_for(kDeadline) == std::future_status::ready;
}

/// Records every callback that reaches it, and what it saw of its calling thread.
class RecordingDelegate final : public CLLocationManagerDelegate {
 public:
  struct Event {
    bool failure = false;
    std::vector<CLLocationCoordinate2D> locations;
    NSError error;
    const CLLocationManager* manager = nullptr;
  };
  /// Called on the main thread after an event is recorded, with no lock held.
  using Hook = std::function<void(CLLocationManager&, const Event&)>;

  explicit RecordingDelegate(std::shared_ptr<Dispatcher> dispatcher)
      : dispatcher_(std::move(dispatcher)) {}

  void locationManagerDidUpdateLocations(CLLocationManager& manager,
                                         const std::vector<CLLocationRef>& locations) override {
    Event event;
    for (const auto& location : locations) {
      if (location) event.locations.push_back(location->coordinate());
    }
    if (event.locations.size() != locations.size()) ++nullLocations_;
    record(manager, std::move(event));
  }
  void locationManagerDidUpdateToLocation(CLLocationManager& manager,
                                          const CLLocationRef& newLocation,
                                          const CLLocationRef&) override {
    Event event;
    if (newLocation) event.locations.push_back(newLocation->coordinate());
    record(manager, std::move(event));
  }
  void locationManagerDidFailWithError(CLLocationManager& manager, const NSError& error) override {
    Event event;
    event.failure = true;
    event.error = error;
    record(manager, std::move(event));
  }

  void setHook(Hook hook) {
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
  }
  /// Brackets a start call on the main thread, to catch a callback made inside it.
  void markStart(bool inside) {
    std::lock_guard lock(mutex_);
    insideStart_ = inside;
  }

  std::vector<Event> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::size_t fixes() const {
    std::lock_guard lock(mutex_);
    return fixes_;
  }
  std::size_t failures() const {
    std::lock_guard lock(mutex_);
    return events_.size() - fixes_;
  }
  std::size_t offMainThread() const {
    std::lock_guard lock(mutex_);
    return offMain_;
  }
  std::size_t duringStart() const {
    std::lock_guard lock(mutex_);
    return duringStart_;
  }
  std::size_t nullLocations() const {
    std::lock_guard lock(mutex_);
    return nullLocations_;
  }

  bool waitForFixes(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return fixes_ >= count; });
  }
  bool waitForFailures(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return events_.size() - fixes_ >= count; });
  }

 private:
  void record(CLLocationManager& manager, Event event) {
    event.manager = &manager;
    Hook hook;
    {
      std::lock_guard lock(mutex_);
      if (!dispatcher_->isMainThread()) ++offMain_;
      if (insideStart_) ++duringStart_;
      if (!event.failure) ++fixes_;
      events_.push_back(event);
      hook = hook_;
    }
    changed_.notify_all();
    if (hook) hook(manager, event);
  }

  const std::shared_ptr<Dispatcher> dispatcher_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;
  std::size_t fixes_ = 0;
  std::size_t offMain_ = 0;
  std::size_t duringStart_ = 0;
  std::size_t nullLocations_ = 0;
  bool insideStart_ = false;
  Hook hook_;
};

}  // namespace pemdor::location_conformance
