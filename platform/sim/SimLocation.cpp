// SPDX-License-Identifier: MIT
// The simulated location service: managers that play the scenario's location events on the main
// queue while their updates run.

#include <algorithm>
#include <mutex>
#include <utility>

#include "SimInternal.h"
#include "pemdor/internal/PlatformHelpers.h"
#include "pemdor/internal/StreamSlot.h"

namespace pemdor::sim {
namespace {

// Error codes in the manner of the platform's location errors.
constexpr long kLocationUnknown = 0;
constexpr long kDenied = 1;
constexpr const char* kErrorDomain = "kCLErrorDomain";

bool authorised(const DeviceState& device) {
  return device.servicesEnabled.load() && isAuthorized(device.authorizationStatus.load());
}

class SimLocationManager final : public CLLocationManager,
                                 public std::enable_shared_from_this<SimLocationManager> {
 public:
  explicit SimLocationManager(std::shared_ptr<DeviceState> device) : device_(std::move(device)) {}

  ~SimLocationManager() override {
    // A manager that goes stops its updates; its pending callbacks find it gone.
    if (running_) device_->locationUpdatesRunning.fetch_sub(1);
    if (timer_) timer_->cancel();
  }

  void startUpdatingLocation() override {
    std::lock_guard guard(lock_);
    if (running_) return;
    // A run lasts from the first start to the next stop: a refused start and a later start
    // without a stop in between share it.
    const RunToken::Ticket ticket = token_.running() ? token_.ticket() : token_.begin();
    if (!authorised(*device_)) {
      // Like a platform that refuses: one failure on the main thread, and no updates.
      device_->dispatcher->mainQueue()->async([weak = weak_from_this(), ticket] {
        if (auto self = weak.lock()) self->deliverRefusal(ticket);
      });
      return;
    }
    running_ = true;
    device_->locationUpdatesRunning.fetch_add(1);
    startedAt_ = device_->dispatcher->monotonicNow();
    lastDue_ = startedAt_;
    nextEvent_ = 0;
    scheduleNext(ticket);
  }

  void stopUpdatingLocation() override {
    std::shared_ptr<TimerHandle> timer;
    {
      std::lock_guard guard(lock_);
      token_.end();
      if (!running_) return;
      running_ = false;
      timer = std::move(timer_);
    }
    device_->locationUpdatesRunning.fetch_sub(1);
    if (timer) timer->cancel();
  }

 private:
  // Schedules the next event of the run that `ticket` names. Events keep their order even when a
  // later one names an earlier time. Called with the lock held.
  void scheduleNext(const RunToken::Ticket& ticket) {
    if (nextEvent_ >= device_->events.size()) {
      timer_ = nullptr;
      return;
    }
    const std::size_t next = nextEvent_;
    lastDue_ = std::max(lastDue_, startedAt_ + device_->events[next].after);
    timer_ = device_->dispatcher->scheduleAt(lastDue_, device_->dispatcher->mainQueue(),
                                             [weak = weak_from_this(), ticket, next] {
                                               if (auto self = weak.lock())
                                                 self->fireEvent(ticket, next);
                                             });
  }

  // Runs on the main thread. The ticket is checked right before the delegate is called, so a
  // stop that the main thread has seen always wins.
  void fireEvent(const RunToken::Ticket& ticket, std::size_t event) {
    {
      std::lock_guard guard(lock_);
      if (!running_ || !ticket.current() || nextEvent_ != event) return;
      ++nextEvent_;
      scheduleNext(ticket);
    }
    const PreparedEvent& e = device_->events[event];
    switch (e.kind) {
      case SimLocationEvent::Kind::locations:
        notifyDidUpdateLocations(e.locations);
        break;
      case SimLocationEvent::Kind::location:
        notifyDidUpdateToLocation(e.location, e.from);
        break;
      case SimLocationEvent::Kind::fail:
        notifyDidFailWithError(
            {kErrorDomain, kLocationUnknown, "The simulated device has no position to give."});
        break;
    }
  }

  // Runs on the main thread.
  void deliverRefusal(const RunToken::Ticket& ticket) {
    if (!ticket.current()) return;
    notifyDidFailWithError({kErrorDomain, kDenied,
                            "Location services are disabled or not authorised on the "
                            "simulated device."});
  }

  const std::shared_ptr<DeviceState> device_;
  std::mutex lock_;
  bool running_ = false;
  // Callbacks carry the ticket of their run and are dropped once a stop has ended it.
  RunToken token_;
  double startedAt_ = 0.0;
  double lastDue_ = 0.0;
  std::size_t nextEvent_ = 0;
  std::shared_ptr<TimerHandle> timer_;
};

class SimLocationService final : public LocationService {
 public:
  explicit SimLocationService(std::shared_ptr<DeviceState> device) : device_(std::move(device)) {}
  std::string name() const override { return "simulated"; }
  bool locationServicesEnabled() override { return device_->servicesEnabled.load(); }
  CLAuthorizationStatus authorizationStatus() override {
    return device_->authorizationStatus.load();
  }
  std::shared_ptr<CLLocationManager> makeLocationManager() override {
    device_->locationManagersMade.fetch_add(1);
    return std::make_shared<SimLocationManager>(device_);
  }

 private:
  std::shared_ptr<DeviceState> device_;
};

}  // namespace

std::shared_ptr<LocationService> makeSimLocationService(std::shared_ptr<DeviceState> device) {
  return std::make_shared<SimLocationService>(std::move(device));
}

}  // namespace pemdor::sim
