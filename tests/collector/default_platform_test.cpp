// SPDX-License-Identifier: MIT
// A collector on the process default platform. On this kind of machine (no IIO devices, no
// gpsd) nothing is available, so a callback run ends at once; its ten-second timeout is still
// pending when the program exits, and the default platform must release it and end its threads
// then (LeakSanitizer checks the first, a clean exit the second).

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>

#include "SkipOrFail.h"
#include "pemdor/PemdorDeviceSensorInfo.h"
#include "pemdor/platform/Providers.h"

namespace pemdor {
namespace {

TEST(DefaultPlatform, CallbackRunWithNothingAvailableEndsAtOnce) {
  if (iioMotionDevicesPresent() || gpsdAnswers(GpsdEndpoint{})) {
    PEMDOR_SKIP_OR_FAIL_IN_CI(
        "this machine has IIO devices or a gpsd at localhost:2947, so the default platform "
        "finds something available");
  }
  auto collector = PemdorDeviceSensorInfo::init();
  ASSERT_NE(collector, nullptr);
  EXPECT_EQ(collector->platform(), Platform::defaultPlatform());
  EXPECT_EQ(collector->availableSensors(), "Sensors");
  EXPECT_FALSE(collector->isLocationServiceAvailable());

  std::promise<std::string> json;
  collector->processSensorsWithCallBack([&json](const std::string& lat, const std::string& lon,
                                                const std::optional<std::string>& text) {
    EXPECT_EQ(lat, "");
    EXPECT_EQ(lon, "");
    json.set_value(text.value_or("(absent)"));
  });
  auto result = json.get_future();
  ASSERT_EQ(result.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(result.get(), R"({"Acceleration":[""],"Gyroscope":[""],"Magnetic":[""]})");
}

// A program that exits while a collector's timeout is pending on the default platform ends
// normally: the platform's threads are shut down at exit, without a crash or a hang.
TEST(DefaultPlatform, ExitWithAPendingRunIsClean) {
  // A fresh process, not a fork of this one: the platform's threads here would be missing there.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        auto collector = PemdorDeviceSensorInfo::init();
        collector->processSensorsWithCallBack(nullptr);
        collector->startSensors();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace pemdor
