// SPDX-License-Identifier: MIT
// The sample host against a fake GeoClue2: `info` reports what it found on the bus, a snapshot
// with --location geoclue reports the service's position, and a refusal ends the position wait
// at once.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ChildRun.h"
#include "GeoclueFake.h"

namespace pemdor {
namespace {

using geoclue_testing::GeoclueFake;
using ::testing::HasSubstr;

constexpr double kLimitSeconds = 30.0;

test::ChildRun runHost(const GeoclueFake& fake, const std::vector<std::string>& args) {
  test::ChildRunOptions options;
  options.environment["DBUS_SYSTEM_BUS_ADDRESS"] = fake.address();
  return test::runChild(PEMDOR_SENSORS_BINARY, args, kLimitSeconds, options);
}

TEST(GeoclueHost, InfoAndSnapshotUseTheServiceOnTheBus) {
  PEMDOR_REQUIRE_GEOCLUE_FAKE();
  std::string why;
  const auto fake = GeoclueFake::start({"--every=0.2,47.3769,8.5417"}, why);
  ASSERT_NE(fake, nullptr) << why;

  const auto info = runHost(*fake, {"info", "--motion", "sim"});
  EXPECT_EQ(info.status(), 0) << info.err;
  EXPECT_THAT(info.out, HasSubstr("location: geoclue (running on the system bus)\n"));
  EXPECT_THAT(info.out, HasSubstr("isLocationServiceAvailable: true\n"));

  const auto snapshot = runHost(*fake, {"snapshot", "--motion", "sim", "--location", "geoclue"});
  EXPECT_EQ(snapshot.status(), 0) << snapshot.err;
  EXPECT_THAT(snapshot.out, HasSubstr("latitude: 47.376900\nlongitude: 8.541700\n"));
  // The host names itself to the service.
  EXPECT_TRUE(fake->waitFor("set /org/freedesktop/GeoClue2/Client/1 DesktopId pemdor-sensors"))
      << fake->output();
}

TEST(GeoclueHost, RefusedStartEndsTheWaitAtOnce) {
  PEMDOR_REQUIRE_GEOCLUE_FAKE();
  std::string why;
  const auto fake = GeoclueFake::start({"--start=deny"}, why);
  ASSERT_NE(fake, nullptr) << why;
  const auto snapshot =
      runHost(*fake, {"snapshot", "--motion", "sim", "--location", "geoclue", "--format", "json"});
  ASSERT_EQ(snapshot.status(), 0) << snapshot.err;
  const auto result = nlohmann::json::parse(snapshot.out, nullptr, false);
  ASSERT_TRUE(result.is_object()) << snapshot.out;
  EXPECT_EQ(result["latitude"], "");
  EXPECT_EQ(result["longitude"], "");
  // Ten readings take about a second; the position wait would take ten.
  EXPECT_LT(result["elapsed"].get<double>(), 5.0) << snapshot.out;
}

}  // namespace
}  // namespace pemdor
