// SPDX-License-Identifier: MIT
// The location conformance suite against the combined location service: two simulated devices
// with a fix every 50 ms each, combined (every build). Where the GeoClue2 and gpsd providers are
// built, combined_services_conformance.cpp adds the combination of the real members.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "location_conformance.h"
#include "pemdor/platform/Providers.h"
#include "pemdor/platform/SimulatedDevice.h"

namespace pemdor {
namespace {

/// Two simulated devices, each with a fix every 50 ms for a minute after each start, the second
/// one 25 ms after the first, used together.
class CombinedSimulatedProvider {
 public:
  static bool usable(std::string&) { return true; }

  explicit CombinedSimulatedProvider(std::shared_ptr<Dispatcher> dispatcher) {
    std::vector<std::shared_ptr<LocationService>> members;
    for (const double offset : {0.0, 0.025}) {
      SimScenario scenario;
      std::vector<SimLocationEvent> events;
      for (int i = 1; i <= 1200; ++i) {
        SimLocationEvent event;
        event.after = 0.05 * i + offset;
        event.kind = SimLocationEvent::Kind::locations;
        event.locations = {position()};
        events.push_back(std::move(event));
      }
      scenario.events = std::move(events);
      devices_.push_back(SimulatedDevice::create(std::move(scenario), dispatcher));
      members.push_back(devices_.back()->locationService());
    }
    service_ = makeCombinedLocationService(std::move(members));
  }

  std::shared_ptr<LocationService> service() { return service_; }
  CLLocationCoordinate2D position() const { return {12.5, -45.25}; }

 private:
  std::vector<std::shared_ptr<SimulatedDevice>> devices_;
  std::shared_ptr<LocationService> service_;
};

}  // namespace

namespace location_conformance {
INSTANTIATE_TYPED_TEST_SUITE_P(CombinedSimulated, LocationConformance, CombinedSimulatedProvider);
}  // namespace location_conformance

}  // namespace pemdor
