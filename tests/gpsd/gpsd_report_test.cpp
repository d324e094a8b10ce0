// SPDX-License-Identifier: MIT
// Which gpsd reports the provider takes as fixes, read through libgps exactly as the provider
// reads them: the set mask zeroed, then one report unpacked into a session that keeps what
// earlier reports left in it.

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "GpsdReport.h"

namespace pemdor::gpsd {
namespace {

struct Step {
  const char* report;
  std::optional<CLLocationCoordinate2D> position;
};

TEST(GpsdReport, OnlyReportsThatSetAFixCarryAPosition) {
  const Step steps[] = {
      {R"({"class":"VERSION","release":"3.22","rev":"3.22","proto_major":3,"proto_minor":14})",
       std::nullopt},
      {R"({"class":"TPV","device":"/dev/pts/1","mode":1})", std::nullopt},
      {R"({"class":"TPV","device":"/dev/pts/1","mode":3,"lat":47.3769,"lon":8.5417})",
       CLLocationCoordinate2D{47.3769, 8.5417}},
      // The session still holds the fix above; these reports did not bring it.
      {R"({"class":"SKY","device":"/dev/pts/1","hdop":0.9})", std::nullopt},
      {R"({"class":"DEVICE","path":"/dev/pts/1","driver":"NMEA0183"})", std::nullopt},
      {"not a report", std::nullopt},
      {R"({"class":"TPV","device":"/dev/pts/1","mode":2,"lat":-33.8688,"lon":-70.6483})",
       CLLocationCoordinate2D{-33.8688, -70.6483}},
      // A latitude alone, or a mode that says no fix, is no position.
      {R"({"class":"TPV","device":"/dev/pts/1","mode":3,"lat":12.5})", std::nullopt},
      {R"({"class":"TPV","device":"/dev/pts/1","mode":1,"lat":12.5,"lon":-45.25})", std::nullopt},
      {R"({"class":"TPV","device":"/dev/pts/1","mode":0,"lat":12.5,"lon":-45.25})", std::nullopt},
      {R"({"class":"TPV","device":"/dev/pts/1","mode":3,"lat":91.0,"lon":0.0})", std::nullopt},
      {R"({"class":"TPV","device":"/dev/pts/1","mode":3,"lat":0.0,"lon":180.5})", std::nullopt},
      {R"({"class":"TPV","device":"/dev/pts/1","mode":3,"lat":0.0,"lon":-180.0})",
       CLLocationCoordinate2D{0.0, -180.0}},
  };
  auto session = std::make_unique<gps_data_t>();
  for (const Step& step : steps) {
    SCOPED_TRACE(step.report);
    std::string line = step.report;
    session->set = 0;
    gps_unpack(line.data(), session.get());
    const auto position = positionOfReport(*session);
    ASSERT_EQ(position.has_value(), step.position.has_value());
    if (position) {
      EXPECT_DOUBLE_EQ(position->latitude, step.position->latitude);
      EXPECT_DOUBLE_EQ(position->longitude, step.position->longitude);
    }
  }
}

// A report that set the fields but with gpsd's NaN for unknown is no position either.
TEST(GpsdReport, NotANumberIsNoPosition) {
  auto session = std::make_unique<gps_data_t>();
  session->set = MODE_SET | LATLON_SET;
  session->fix.mode = MODE_3D;
  session->fix.latitude = std::numeric_limits<double>::quiet_NaN();
  session->fix.longitude = 8.5;
  EXPECT_FALSE(positionOfReport(*session));
  session->fix.latitude = 47.0;
  session->fix.longitude = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(positionOfReport(*session));
  session->fix.longitude = 8.5;
  EXPECT_TRUE(positionOfReport(*session));
}

TEST(GpsdReport, VersionBannerIsRecognised) {
  EXPECT_TRUE(isVersionBanner(
      R"({"class":"VERSION","release":"3.22","rev":"3.22","proto_major":3,"proto_minor":14})"
      "\r\n"));
  EXPECT_FALSE(isVersionBanner(R"({"class":"TPV","mode":1})"));
  EXPECT_FALSE(isVersionBanner(R"({"class":7})"));
  EXPECT_FALSE(isVersionBanner(R"(["VERSION"])"));
  EXPECT_FALSE(isVersionBanner("SSH-2.0-OpenSSH_9.2p1\r\n"));
  EXPECT_FALSE(isVersionBanner(""));
}

}  // namespace
}  // namespace pemdor::gpsd
