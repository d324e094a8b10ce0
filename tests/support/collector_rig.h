// SPDX-License-Identifier: MIT
#pragma once

// Test rigs for the collector: a collector on the simulated device in virtual time, a recorder
// of completions, and a motion manager whose deliveries the test makes by hand.

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "pemdor/PemdorDeviceSensorInfo.h"
#include "pemdor/platform/SimulatedDevice.h"
#include "pemdor/platform/VirtualDispatcher.h"

namespace pemdor::testing {

inline SimScenario scenario(const std::string& json) {
  auto result = parseSimScenario(json, "test scenario");
  EXPECT_TRUE(result.scenario) << result.error;
  return result.scenario.value_or(SimScenario{});
}

/// Records every completion call with the virtual time at which it came.
struct CompletionLog {
  struct Call {
    std::string latitude;
    std::string longitude;
    std::optional<std::string> json;
    double at;
  };
  std::shared_ptr<std::mutex> mutex = std::make_shared<std::mutex>();
  std::shared_ptr<std::vector<Call>> calls = std::make_shared<std::vector<Call>>();

  PemdorDeviceSensorInfo::Completion completion(std::shared_ptr<Dispatcher> dispatcher) const {
    return
        [mutex = mutex, calls = calls, dispatcher](const std::string& lat, const std::string& lon,
                                                   const std::optional<std::string>& json) {
          std::lock_guard guard(*mutex);
          calls->push_back({lat, lon, json, dispatcher->monotonicNow()});
        };
  }
  std::size_t size() const {
    std::lock_guard guard(*mutex);
    return calls->size();
  }
  Call at(std::size_t i) const {
    std::lock_guard guard(*mutex);
    return calls->at(i);
  }
};

/// A collector on a simulated device driven in virtual time from the test's thread.
struct VirtualRig {
  std::shared_ptr<VirtualDispatcher> dispatcher;
  std::shared_ptr<SimulatedDevice> device;
  std::shared_ptr<PemdorDeviceSensorInfo> collector;
  CompletionLog log;

  explicit VirtualRig(const SimScenario& s)
      : dispatcher(VirtualDispatcher::create()),
        device(SimulatedDevice::create(s, dispatcher)),
        collector(PemdorDeviceSensorInfo::init(device->platform())) {}
  explicit VirtualRig(const std::string& json = "{}") : VirtualRig(scenario(json)) {}
  ~VirtualRig() {
    // Stop whatever a test left running and let a pending location timeout fire, so that no
    // stream or timer keeps the collector (and through its platform, the dispatcher) alive.
    if (collector) collector->finishSensors();
    dispatcher->advanceBy(PemdorDeviceSensorInfo::kLocationTimeout + 1.0);
  }

  double now() const { return dispatcher->monotonicNow(); }
  void advance(double seconds) { dispatcher->advanceBy(seconds); }
  void callbackRun() { collector->processSensorsWithCallBack(log.completion(dispatcher)); }
};

/// A motion manager whose deliveries the test makes: every registered handler is kept, so a
/// test can deliver to the current one or to one that an earlier run registered.
class ManualMotionManager final : public CMMotionManager {
 public:
  struct Registration {
    MotionStream stream;
    std::shared_ptr<OperationQueue> queue;
    VectorHandler handler;
  };

  std::array<bool, kMotionStreamCount> available{true, true, true, true};

  bool isAvailable(MotionStream s) const override { return available[idx(s)]; }
  void setUpdateInterval(MotionStream s, double seconds) override { interval_[idx(s)] = seconds; }
  double updateInterval(MotionStream s) const override { return interval_[idx(s)]; }
  void startUpdates(MotionStream s, std::shared_ptr<OperationQueue> queue,
                    VectorHandler handler) override {
    std::lock_guard guard(mutex_);
    active_[idx(s)] = true;
    registrations_.push_back({s, std::move(queue), std::move(handler)});
  }
  void stopUpdates(MotionStream s) override {
    std::lock_guard guard(mutex_);
    active_[idx(s)] = false;
    ++stops_[idx(s)];
  }
  bool isActive(MotionStream s) const override {
    std::lock_guard guard(mutex_);
    return active_[idx(s)];
  }

  /// Hands a reading to the n-th handler registered for `s` (counting from 0), on its queue.
  void deliver(MotionStream s, std::size_t n, std::optional<CMVector> value) {
    Registration r;
    {
      std::lock_guard guard(mutex_);
      std::size_t seen = 0;
      for (auto& each : registrations_) {
        if (each.stream == s && seen++ == n) r = each;
      }
    }
    ASSERT_TRUE(r.handler) << "no registration " << n << " for " << motionStreamName(s);
    r.queue->async([handler = r.handler, value] { handler(value ? &*value : nullptr, nullptr); });
  }
  /// Drops every handler kept, and with them the references they hold.
  void forgetHandlers() {
    std::vector<Registration> gone;
    std::lock_guard guard(mutex_);
    gone.swap(registrations_);
  }
  std::size_t registrations(MotionStream s) const {
    std::lock_guard guard(mutex_);
    std::size_t n = 0;
    for (auto& each : registrations_) n += each.stream == s;
    return n;
  }
  int stops(MotionStream s) const {
    std::lock_guard guard(mutex_);
    return stops_[idx(s)];
  }

 private:
  static std::size_t idx(MotionStream s) { return static_cast<std::size_t>(s); }
  mutable std::mutex mutex_;
  std::array<double, kMotionStreamCount> interval_{};
  std::array<bool, kMotionStreamCount> active_{};
  std::array<int, kMotionStreamCount> stops_{};
  std::vector<Registration> registrations_;
};

}  // namespace pemdor::testing
