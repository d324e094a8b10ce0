// SPDX-License-Identifier: MIT
// The simulated device: the state its services share, its controls and observations.

#include "pemdor/platform/SimulatedDevice.h"

#include <utility>

#include "SimInternal.h"

namespace pemdor {
namespace sim {
namespace {

constexpr const char* kSimulatedSource = "simulated";

CLLocationRef makeLocation(const CLLocationCoordinate2D& coordinate, const std::string& source) {
  return std::make_shared<const CLLocation>(coordinate, source.empty() ? kSimulatedSource : source);
}

std::vector<PreparedEvent> prepare(const SimScenario& scenario) {
  std::vector<PreparedEvent> out;
  if (!scenario.events) {
    // Without events, one fix at the default position half a second after the start.
    PreparedEvent fix;
    fix.after = 0.5;
    fix.locations.push_back(makeLocation(SimScenario::kDefaultPosition, {}));
    out.push_back(std::move(fix));
    return out;
  }
  out.reserve(scenario.events->size());
  for (const SimLocationEvent& event : *scenario.events) {
    PreparedEvent p;
    p.after = event.after;
    p.kind = event.kind;
    for (const auto& c : event.locations) p.locations.push_back(makeLocation(c, event.source));
    p.location = makeLocation(event.location, event.source);
    if (event.from) p.from = makeLocation(*event.from, event.source);
    out.push_back(std::move(p));
  }
  return out;
}

class Device final : public SimulatedDevice {
 public:
  Device(SimScenario scenario, std::shared_ptr<Dispatcher> dispatcher) {
    const double start =
        scenario.clockStart ? *scenario.clockStart : makeSystemClock()->timeIntervalSince1970();
    state_ = std::make_shared<DeviceState>(std::move(scenario), dispatcher);
    clock_ = makeDispatcherClock(dispatcher, start);
    motion_ = makeSimMotionService(state_);
    location_ = makeSimLocationService(state_);
    platform_ = Platform::create({std::move(dispatcher), clock_, motion_, location_});
  }

  std::shared_ptr<Platform> platform() override { return platform_; }
  std::shared_ptr<MotionService> motionService() override { return motion_; }
  std::shared_ptr<LocationService> locationService() override { return location_; }
  std::shared_ptr<WallClock> clock() override { return clock_; }

  void setStreamAvailable(MotionStream stream, bool available) override {
    state_->available[static_cast<std::size_t>(stream)].store(available);
  }
  void setServicesEnabled(bool enabled) override { state_->servicesEnabled.store(enabled); }
  void setAuthorizationStatus(CLAuthorizationStatus status) override {
    state_->authorizationStatus.store(status);
  }

  std::uint64_t deliveriesHanded(MotionStream stream) const override {
    return state_->deliveriesHanded[static_cast<std::size_t>(stream)].load();
  }
  std::size_t activeStreams() const override { return state_->activeStreams.load(); }
  std::size_t locationUpdatesRunning() const override {
    return state_->locationUpdatesRunning.load();
  }
  std::size_t locationManagersMade() const override { return state_->locationManagersMade.load(); }

 private:
  std::shared_ptr<DeviceState> state_;
  std::shared_ptr<WallClock> clock_;
  std::shared_ptr<MotionService> motion_;
  std::shared_ptr<LocationService> location_;
  std::shared_ptr<Platform> platform_;
};

}  // namespace

DeviceState::DeviceState(SimScenario scenarioIn, std::shared_ptr<Dispatcher> dispatcherIn)
    : scenario(std::move(scenarioIn)),
      dispatcher(std::move(dispatcherIn)),
      events(prepare(scenario)),
      servicesEnabled(scenario.servicesEnabled),
      authorizationStatus(scenario.authorizationStatus) {
  for (MotionStream s : kAllMotionStreams) {
    const auto i = static_cast<std::size_t>(s);
    available[i].store(scenario.streams[i].available);
  }
}

}  // namespace sim

std::shared_ptr<SimulatedDevice> SimulatedDevice::create(SimScenario scenario,
                                                         std::shared_ptr<Dispatcher> dispatcher) {
  if (!dispatcher) return nullptr;
  return std::make_shared<sim::Device>(std::move(scenario), std::move(dispatcher));
}

}  // namespace pemdor
