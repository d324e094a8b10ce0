// SPDX-License-Identifier: MIT
// The location conformance suite against the GeoClue2 provider, with a fake GeoClue2 on a
// private bus that gives every started client a new position every 50 ms.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "GeoclueFake.h"
#include "location_conformance.h"
#include "pemdor/platform/Providers.h"

namespace pemdor {
namespace {

class GeoclueLocationProvider {
 public:
  /// Under CI=true a missing tool is not a reason to skip: the constructor then fails the test.
  static bool usable(std::string& why) {
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string(ci) == "true") return true;
    return geoclue_testing::GeoclueFake::toolsPresent(why);
  }

  explicit GeoclueLocationProvider(std::shared_ptr<Dispatcher> dispatcher) {
    std::string why;
    fake_ = geoclue_testing::GeoclueFake::start({"--every=0.05,12.5,-45.25"}, why);
    if (!fake_) {
      ADD_FAILURE() << why;
      return;
    }
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", fake_->address().c_str(), 1);
    service_ = makeGeoclueLocationService(std::move(dispatcher), {"pemdor-tests"});
  }
  ~GeoclueLocationProvider() { ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS"); }

  std::shared_ptr<LocationService> service() { return service_; }
  CLLocationCoordinate2D position() const { return {12.5, -45.25}; }

 private:
  std::unique_ptr<geoclue_testing::GeoclueFake> fake_;
  std::shared_ptr<LocationService> service_;
};

}  // namespace

namespace location_conformance {
INSTANTIATE_TYPED_TEST_SUITE_P(Geoclue, LocationConformance, GeoclueLocationProvider);
}  // namespace location_conformance

}  // namespace pemdor
