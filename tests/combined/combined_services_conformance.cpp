// SPDX-License-Identifier: MIT
// The location conformance suite against the combination the default platform makes: GeoClue2
// (a fake on a private bus, giving a new position every 50 ms) as the consent member, and gpsd
// under the test driver replaying a receiver log at the same position.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "GeoclueFake.h"
#include "GpsFake.h"
#include "location_conformance.h"
#include "pemdor/platform/Providers.h"

namespace pemdor {
namespace {

/// The position of the receiver log fix.nmea.
constexpr CLLocationCoordinate2D kLogPosition{47.3769, 8.5417};

class GeoclueAndGpsdProvider {
 public:
  static bool usable(std::string& why) {
    return geoclue_testing::GeoclueFake::toolsPresent(why) &&
           gpsd_testing::GpsFake::toolsPresent(why);
  }

  explicit GeoclueAndGpsdProvider(std::shared_ptr<Dispatcher> dispatcher) {
    std::string why;
    geoclue_ = geoclue_testing::GeoclueFake::start({"--every=0.05,47.3769,8.5417"}, why);
    if (geoclue_) gpsd_ = gpsd_testing::GpsFake::start({.log = "fix.nmea"}, why);
    if (!geoclue_ || !gpsd_) {
      ADD_FAILURE() << why;
      return;
    }
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", geoclue_->address().c_str(), 1);
    service_ =
        makeCombinedLocationService({makeGeoclueLocationService(dispatcher, {"pemdor-tests"}),
                                     makeGpsdLocationService(dispatcher, gpsd_->endpoint())});
  }
  ~GeoclueAndGpsdProvider() { ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS"); }

  std::shared_ptr<LocationService> service() { return service_; }
  CLLocationCoordinate2D position() const { return kLogPosition; }

 private:
  std::unique_ptr<geoclue_testing::GeoclueFake> geoclue_;
  std::unique_ptr<gpsd_testing::GpsFake> gpsd_;
  std::shared_ptr<LocationService> service_;
};

}  // namespace

namespace location_conformance {
INSTANTIATE_TYPED_TEST_SUITE_P(CombinedGeoclueGpsd, LocationConformance, GeoclueAndGpsdProvider);
}  // namespace location_conformance

}  // namespace pemdor
