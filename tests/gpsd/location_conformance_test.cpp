// SPDX-License-Identifier: MIT
// The location conformance suite against the simulated device and against a gpsd fed by the test,
// both on the real dispatcher.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

#include "GpsFake.h"
#include "location_conformance.h"
#include "pemdor/platform/Providers.h"
#include "pemdor/platform/SimulatedDevice.h"

namespace pemdor {
namespace {

/// A simulated device with a fix every 50 ms for a minute after each start.
class SimulatedLocationProvider {
 public:
  static bool usable(std::string&) { return true; }

  explicit SimulatedLocationProvider(std::shared_ptr<Dispatcher> dispatcher) {
    SimScenario scenario;
    std::vector<SimLocationEvent> events;
    for (int i = 1; i <= 1200; ++i) {
      SimLocationEvent event;
      event.after = 0.05 * i;
      event.kind = SimLocationEvent::Kind::locations;
      event.locations = {position()};
      events.push_back(std::move(event));
    }
    scenario.events = std::move(events);
    device_ = SimulatedDevice::create(std::move(scenario), std::move(dispatcher));
  }

  std::shared_ptr<LocationService> service() {
    return device_ ? device_->locationService() : nullptr;
  }
  CLLocationCoordinate2D position() const { return {12.5, -45.25}; }

 private:
  std::shared_ptr<SimulatedDevice> device_;
};

/// gpsd fed by the test, replaying the fix log again and again (about ten fixes a second).
class GpsdLocationProvider {
 public:
  static bool usable(std::string& why) { return gpsd_testing::GpsFake::toolsPresent(why); }

  explicit GpsdLocationProvider(std::shared_ptr<Dispatcher> dispatcher) {
    std::string why;
    fake_ = gpsd_testing::GpsFake::start({.log = "fix.nmea"}, why);
    if (!fake_) {
      ADD_FAILURE() << why;
      return;
    }
    service_ = makeGpsdLocationService(std::move(dispatcher), fake_->endpoint());
  }

  std::shared_ptr<LocationService> service() { return service_; }
  CLLocationCoordinate2D position() const { return {47.3769, 8.5417}; }

 private:
  std::unique_ptr<gpsd_testing::GpsFake> fake_;
  std::shared_ptr<LocationService> service_;
};

}  // namespace

namespace location_conformance {
INSTANTIATE_TYPED_TEST_SUITE_P(Simulated, LocationConformance, SimulatedLocationProvider);
INSTANTIATE_TYPED_TEST_SUITE_P(Gpsd, LocationConformance, GpsdLocationProvider);
}  // namespace location_conformance

}  // namespace pemdor
