// SPDX-License-Identifier: MIT
// The callback run and its position wait, in virtual time on the simulated device.

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ReadingFormat.h"
#include "collector_rig.h"

namespace pemdor {
namespace {

using testing::ManualMotionManager;
using testing::VirtualRig;

constexpr double kEps = 1e-6;

std::vector<std::string> strings(const nlohmann::json& array) {
  return array.get<std::vector<std::string>>();
}

nlohmann::json parsed(const std::optional<std::string>& text) {
  EXPECT_TRUE(text.has_value());
  auto value = nlohmann::json::parse(text.value_or("null"));
  EXPECT_TRUE(value.is_object());
  EXPECT_EQ(value.size(), 3u) << *text;
  return value;
}

TEST(CallbackRun, AllSensorsAndAFixAfterHalfASecond) {
  VirtualRig rig;  // every stream present, one default fix 0.5 s after the start
  rig.callbackRun();
  rig.advance(1.0);
  EXPECT_EQ(rig.log.size(), 0u) << "ten readings each are not yet in";
  rig.advance(0.2);
  ASSERT_EQ(rig.log.size(), 1u);
  const auto call = rig.log.at(0);
  // The eleventh delivery of each sensor, 1.1 s after the start, ends the run.
  EXPECT_NEAR(call.at, 1.1, kEps);
  EXPECT_EQ(call.latitude, detail::formatCoordinate(SimScenario::kDefaultPosition.latitude));
  EXPECT_EQ(call.longitude, detail::formatCoordinate(SimScenario::kDefaultPosition.longitude));
  EXPECT_TRUE(std::regex_match(call.latitude, std::regex(R"(-?\d+\.\d{6})")));

  const auto json = parsed(call.json);
  const std::regex two(R"(\[-?\d+\.\d{2}, -?\d+\.\d{2}, -?\d+\.\d{2}\])");
  const std::regex four(R"(\[-?\d+\.\d{4}, -?\d+\.\d{4}, -?\d+\.\d{4}\])");
  for (const auto& [key, format] : {std::pair{"Acceleration", two}, std::pair{"Gyroscope", four},
                                    std::pair{"Magnetic", four}}) {
    const auto entries = strings(json.at(key));
    ASSERT_EQ(entries.size(), 10u) << key;
    for (const auto& entry : entries) EXPECT_TRUE(std::regex_match(entry, format)) << entry;
  }
  EXPECT_EQ(strings(json["Acceleration"]), rig.collector->accelerometerRecords()->snapshot());

  // Everything the run started has been stopped, and its timeout cancelled.
  EXPECT_EQ(rig.device->activeStreams(), 0u);
  EXPECT_EQ(rig.device->locationUpdatesRunning(), 0u);
  EXPECT_EQ(rig.dispatcher->pendingPerformRequests(), 0u);
  auto manager = rig.collector->locationManager();
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(manager->desiredAccuracy(), kCLLocationAccuracyKilometer);
  EXPECT_EQ(manager->distanceFilter(), kCLHeadingFilterNone);
  EXPECT_DOUBLE_EQ(rig.collector->motionManager()->accelerometerUpdateInterval(), 0.1);
  EXPECT_TRUE(rig.collector->accelerometerFinished() && rig.collector->gyroFinished() &&
              rig.collector->magneticFinished() && rig.collector->locationServiceFinished());
  EXPECT_FALSE(rig.collector->motionManager()->isDeviceMotionActive());
}

TEST(CallbackRun, ExactReadingTextsIncludingAnAbsentReading) {
  VirtualRig rig(R"({"motion": {
      "accelerometer": {"readings": [[0.1234, -0.5, 9.81]]},
      "gyroscope": {"readings": [[0.00012, 1.5, -2]]},
      "magnetometer": {"readings": [null]}}})");
  rig.callbackRun();
  rig.advance(2.0);
  ASSERT_EQ(rig.log.size(), 1u);
  const auto json = parsed(rig.log.at(0).json);
  EXPECT_EQ(strings(json["Acceleration"]), std::vector<std::string>(10, "[0.12, -0.50, 9.81]"));
  EXPECT_EQ(strings(json["Gyroscope"]), std::vector<std::string>(10, "[0.0001, 1.5000, -2.0000]"));
  EXPECT_EQ(strings(json["Magnetic"]), std::vector<std::string>(10, "[0.0000, 0.0000, 0.0000]"));
}

TEST(CallbackRun, MissingMagnetometerGivesThePlaceholder) {
  VirtualRig rig(R"({"motion": {"magnetometer": {"available": false}}})");
  rig.callbackRun();
  rig.advance(2.0);
  ASSERT_EQ(rig.log.size(), 1u);
  const auto json = parsed(rig.log.at(0).json);
  EXPECT_EQ(strings(json["Magnetic"]), std::vector<std::string>{""});
  EXPECT_EQ(strings(json["Gyroscope"]).size(), 10u);
  EXPECT_EQ(rig.collector->magneticRecords()->snapshot(), std::vector<std::string>{""});

  // With no motion sensor at all the run ends with the position part alone.
  VirtualRig bare(R"({"motion": {"accelerometer": {"available": false},
      "gyroscope": {"available": false}, "magnetometer": {"available": false}}})");
  bare.callbackRun();
  bare.advance(1.0);
  ASSERT_EQ(bare.log.size(), 1u);
  EXPECT_NEAR(bare.log.at(0).at, 0.5, kEps);
  EXPECT_EQ(bare.log.at(0).json, R"({"Acceleration":[""],"Gyroscope":[""],"Magnetic":[""]})");
}

TEST(CallbackRun, WithoutAuthorisationOrServicesTheWaitEndsAtOnce) {
  for (const char* location : {R"({"authorizationStatus": 0})", R"({"authorizationStatus": 1})",
                               R"({"authorizationStatus": 2})", R"({"servicesEnabled": false})"}) {
    SCOPED_TRACE(location);
    VirtualRig rig(std::string(R"({"location": )") + location + "}");
    rig.callbackRun();
    rig.dispatcher->runUntilIdle();
    EXPECT_TRUE(rig.collector->locationServiceFinished());
    EXPECT_EQ(rig.device->locationUpdatesRunning(), 0u);
    rig.advance(1.2);
    ASSERT_EQ(rig.log.size(), 1u);
    EXPECT_NEAR(rig.log.at(0).at, 1.1, kEps);
    EXPECT_EQ(rig.log.at(0).latitude, "");
    EXPECT_EQ(rig.log.at(0).longitude, "");
  }
}

TEST(CallbackRun, NoFixEndsAtTheTimeoutAndALateTimeoutDeliversNothingMore) {
  VirtualRig rig(R"({"location": {"events": []}})");
  rig.callbackRun();
  rig.advance(9.9);
  EXPECT_EQ(rig.log.size(), 0u);
  EXPECT_EQ(rig.device->locationUpdatesRunning(), 1u);
  rig.advance(0.2);
  ASSERT_EQ(rig.log.size(), 1u);
  EXPECT_NEAR(rig.log.at(0).at, 10.0, kEps);
  EXPECT_EQ(rig.log.at(0).latitude, "");
  EXPECT_EQ(rig.device->locationUpdatesRunning(), 0u);

  // Repeated checks after the delivery, from a late timeout or by hand, schedule nothing.
  rig.collector->cancelLocationService();
  rig.collector->checkAllRecords();
  rig.advance(20.0);
  EXPECT_EQ(rig.log.size(), 1u);

  // The same when the timeout comes after a run that ended early.
  VirtualRig early(R"({"location": {"authorizationStatus": 2}})");
  early.callbackRun();
  early.advance(12.0);
  EXPECT_EQ(early.log.size(), 1u);
}

TEST(CallbackRun, FixesFailuresAndEmptyLists) {
  {
    VirtualRig rig(
        R"({"location": {"events": [{"after": 2.0, "locations": [[1, 1], [12.5, -45.25]]}]}})");
    rig.callbackRun();
    rig.advance(1.9);
    EXPECT_EQ(rig.dispatcher->pendingPerformRequests(), 1u);
    rig.advance(0.2);
    // The fix cancels the timeout; the last location of the list is the one kept.
    EXPECT_EQ(rig.dispatcher->pendingPerformRequests(), 0u);
    ASSERT_EQ(rig.log.size(), 1u);
    EXPECT_NEAR(rig.log.at(0).at, 2.0, kEps);
    EXPECT_EQ(rig.log.at(0).latitude, "12.500000");
    EXPECT_EQ(rig.log.at(0).longitude, "-45.250000");
  }
  {
    VirtualRig rig(
        R"({"location": {"events": [{"after": 0.3, "location": [3, 4], "from": [0, 0]}]}})");
    rig.callbackRun();
    rig.advance(2.0);
    ASSERT_EQ(rig.log.size(), 1u);
    EXPECT_EQ(rig.log.at(0).latitude, "3.000000");
    EXPECT_EQ(rig.log.at(0).longitude, "4.000000");
  }
  {
    // An empty list clears the stored position.
    VirtualRig rig(R"({"location": {"events": [{"after": 0.3, "locations": []}]}})");
    rig.collector->setCurrentLocation(std::make_shared<CLLocation>(5.0, 6.0));
    rig.callbackRun();
    rig.advance(2.0);
    ASSERT_EQ(rig.log.size(), 1u);
    EXPECT_EQ(rig.log.at(0).latitude, "");
    EXPECT_EQ(rig.log.at(0).longitude, "");
    EXPECT_EQ(rig.collector->currentLocation(), nullptr);
  }
  {
    // A failure ends the wait at once and reports the position an earlier run stored.
    VirtualRig rig(R"({"location": {"events": [{"after": 0.3, "fail": true}]}})");
    rig.collector->setCurrentLocation(std::make_shared<CLLocation>(5.0, -6.0));
    rig.callbackRun();
    rig.advance(0.4);
    EXPECT_TRUE(rig.collector->locationServiceFinished());
    EXPECT_EQ(rig.dispatcher->pendingPerformRequests(), 0u);
    EXPECT_EQ(rig.device->locationUpdatesRunning(), 0u);
    rig.advance(1.0);
    ASSERT_EQ(rig.log.size(), 1u);
    EXPECT_EQ(rig.log.at(0).latitude, "5.000000");
    EXPECT_EQ(rig.log.at(0).longitude, "-6.000000");
  }
}

TEST(CallbackRun, RunWithoutCompletionDeliversNothingAndDoesNotCrash) {
  VirtualRig rig;
  rig.collector->processSensorsWithCallBack(nullptr);
  rig.advance(2.0);
  EXPECT_TRUE(rig.collector->executeCompletionOnce());
  // The next run with a completion works as usual.
  rig.callbackRun();
  rig.advance(2.0);
  EXPECT_EQ(rig.log.size(), 1u);
}

TEST(CallbackRun, TimeoutOfAnEarlierRunDoesNotEndALaterWait) {
  // The first run is not authorised: it ends at once and leaves its timeout pending until 10 s.
  VirtualRig rig(R"({"location": {"authorizationStatus": 2,
                                  "events": [{"after": 8.0, "locations": [[12.5, -45.25]]}]}})");
  rig.callbackRun();
  rig.advance(5.0);
  ASSERT_EQ(rig.log.size(), 1u);
  EXPECT_EQ(rig.dispatcher->pendingPerformRequests(), 1u);

  // The second run is authorised and waits for a fix 8 s after its start, at 13 s.
  rig.device->setAuthorizationStatus(4);
  rig.callbackRun();
  rig.advance(6.0);
  EXPECT_EQ(rig.log.size(), 1u) << "the first run's timeout ended the second run's wait";
  rig.advance(3.0);
  ASSERT_EQ(rig.log.size(), 2u);
  EXPECT_NEAR(rig.log.at(1).at, 13.0, kEps);
  EXPECT_EQ(rig.log.at(1).latitude, "12.500000");
}

TEST(CallbackRun, DeliveriesOfAnEarlierRunDoNotReachALaterOne) {
  VirtualRig rig(R"({"location": {"authorizationStatus": 2}})");
  auto manual = std::make_shared<ManualMotionManager>();
  rig.collector->setMotionManager(manual);
  const std::array streams = {MotionStream::accelerometer, MotionStream::gyro,
                              MotionStream::magnetometer};

  rig.callbackRun();
  for (auto s : streams) {
    for (int i = 0; i < 5; ++i) manual->deliver(s, 0, CMVector{1, 1, 1});
  }
  rig.advance(0.1);
  EXPECT_EQ(rig.collector->accelerometerRecords()->count(), 5u);

  // A second run starts while the first run's handlers still have readings to deliver.
  rig.callbackRun();
  for (auto s : streams) {
    for (int i = 0; i < 11; ++i) manual->deliver(s, 0, CMVector{9, 9, 9});
  }
  rig.advance(0.1);
  EXPECT_TRUE(rig.collector->accelerometerRecords()->empty());
  EXPECT_FALSE(rig.collector->accelerometerFinished());
  EXPECT_EQ(manual->stops(MotionStream::accelerometer), 0);
  EXPECT_EQ(rig.log.size(), 0u);

  for (auto s : streams) {
    for (int i = 0; i < 11; ++i) manual->deliver(s, 1, CMVector{0.5, 0.5, 0.5});
  }
  rig.advance(0.1);
  ASSERT_EQ(rig.log.size(), 1u);
  const auto json = parsed(rig.log.at(0).json);
  EXPECT_EQ(strings(json["Acceleration"]), std::vector<std::string>(10, "[0.50, 0.50, 0.50]"));
  EXPECT_EQ(manual->stops(MotionStream::accelerometer), 1);
  manual->forgetHandlers();
}

// A fix belongs to the run that started last, whatever the host has set inSyncMode to since.
TEST(CallbackRun, FixesGoToTheRunStartedLastNotToTheInSyncModeFlag) {
  {
    VirtualRig rig(R"({"location": {"events": [{"after": 0.5, "locations": [[12.5, -45.25]]}]}})");
    rig.callbackRun();
    rig.collector->setInSyncMode(true);
    rig.advance(0.6);
    EXPECT_TRUE(rig.collector->locationServiceFinished()) << "the fix ended the wait";
    EXPECT_EQ(rig.collector->currentLocationTime(), "") << "a callback run stores no fix time";
    rig.advance(1.0);
    ASSERT_EQ(rig.log.size(), 1u);
    EXPECT_EQ(rig.log.at(0).latitude, "12.500000");
  }
  {
    VirtualRig rig(R"({"clock": {"start": 1449000000.0},
                       "location": {"events": [{"after": 0.5, "locations": [[1, 2]]}]}})");
    rig.collector->startSensors();
    rig.collector->setInSyncMode(false);
    rig.advance(2.0);
    EXPECT_EQ(rig.collector->currentLocationTime(), "1449000000500");
    EXPECT_FALSE(rig.collector->locationServiceFinished()) << "a sync run has no location part";
    EXPECT_EQ(rig.device->locationUpdatesRunning(), 0u);
    EXPECT_EQ(rig.dispatcher->pendingPerformRequests(), 0u);
  }
}

TEST(CallbackRun, CompletionMayStartTheNextRun) {
  VirtualRig rig;
  int calls = 0;
  std::string secondLatitude;
  rig.collector->processSensorsWithCallBack(
      [&](const std::string&, const std::string&, const std::optional<std::string>&) {
        ++calls;
        // Called outside every lock of the collector: it may drive the collector again.
        rig.collector->checkAllRecords();
        rig.collector->processSensorsWithCallBack(
            [&](const std::string& lat, const std::string&, const std::optional<std::string>&) {
              ++calls;
              secondLatitude = lat;
            });
      });
  rig.advance(5.0);
  EXPECT_EQ(calls, 2);
  EXPECT_FALSE(secondLatitude.empty());
}

TEST(CallbackRun, DeliveryCallsTheCompletionHeldWhenItRuns) {
  VirtualRig rig;
  auto& c = *rig.collector;
  c.setCompletion(rig.log.completion(rig.dispatcher));
  c.setAccelerometerFinished(true);
  c.setGyroFinished(true);
  c.setMagneticFinished(true);
  c.setLocationServiceFinished(true);
  c.checkAllRecords();
  c.checkAllRecords();
  int replaced = 0;
  c.setCompletion(
      [&](const std::string&, const std::string&, const std::optional<std::string>& json) {
        ++replaced;
        EXPECT_EQ(json, R"({"Acceleration":[""],"Gyroscope":[""],"Magnetic":[""]})");
      });
  rig.dispatcher->runUntilIdle();
  EXPECT_EQ(replaced, 1);
  EXPECT_EQ(rig.log.size(), 0u);
}

}  // namespace
}  // namespace pemdor
