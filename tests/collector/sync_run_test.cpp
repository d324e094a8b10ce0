// SPDX-License-Identifier: MIT
// The sync run, in virtual time on the simulated device.

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <variant>

#include "collector_rig.h"

namespace pemdor {
namespace {

using testing::VirtualRig;

const std::regex kSyncRecord(R"(-?\d+\.\d{6},-?\d+\.\d{6},-?\d+\.\d{6},\d{13})");

PemdorRecordListRef listAt(const PemdorSensorData& data, const std::string& key) {
  auto it = data.find(key);
  if (it == data.end()) return nullptr;
  auto* list = std::get_if<PemdorRecordListRef>(&it->second);
  return list ? *list : nullptr;
}

std::string textAt(const PemdorSensorData& data, const std::string& key) {
  auto it = data.find(key);
  if (it == data.end()) return "<missing>";
  auto* text = std::get_if<std::string>(&it->second);
  return text ? *text : "<not a string>";
}

bool hasPosition(const PemdorSensorData& data) {
  return data.count("la") + data.count("lo") + data.count("Time") > 0;
}

TEST(SyncRun, DefaultLimitAllStreamsAndAFix) {
  VirtualRig rig;
  rig.collector->startSensors();
  rig.advance(0.35);
  auto early = rig.collector->getSensorData();
  // Before the fix: no position entries, although the time property holds "".
  EXPECT_FALSE(hasPosition(early));
  EXPECT_EQ(rig.collector->currentLocationTime(), "");
  auto heldAccelerometer = listAt(early, "Accelerometer");
  ASSERT_NE(heldAccelerometer, nullptr);
  EXPECT_EQ(heldAccelerometer->count(), 3u);

  rig.advance(1.0);
  auto data = rig.collector->getSensorData();
  EXPECT_EQ(data.size(), 7u);
  EXPECT_EQ(textAt(data, "la"), "52.520008");
  EXPECT_EQ(textAt(data, "lo"), "13.404954");
  EXPECT_TRUE(std::regex_match(textAt(data, "Time"), std::regex(R"(\d{13})")));
  for (const char* key : {"Accelerometer", "Gyroscope", "Magnetometer", "Gravity"}) {
    auto list = listAt(data, key);
    ASSERT_NE(list, nullptr) << key;
    ASSERT_EQ(list->count(), 10u) << key;
    for (const auto& record : list->snapshot()) {
      EXPECT_TRUE(std::regex_match(record, kSyncRecord)) << key << ": " << record;
    }
  }
  // The list handed out earlier is the live one.
  EXPECT_EQ(heldAccelerometer, listAt(data, "Accelerometer"));
  EXPECT_EQ(heldAccelerometer->count(), 10u);

  // Each stream stopped itself at its eleventh delivery; updates stopped at the fix.
  EXPECT_EQ(rig.device->activeStreams(), 0u);
  EXPECT_EQ(rig.device->locationUpdatesRunning(), 0u);
  EXPECT_EQ(rig.dispatcher->pendingPerformRequests(), 0u);
  EXPECT_EQ(rig.collector->locationManager()->desiredAccuracy(),
            kCLLocationAccuracyThreeKilometers);
  EXPECT_EQ(rig.collector->motionManager()->attitudeReferenceFrame(),
            CMAttitudeReferenceFrame::XArbitraryZVertical);

  rig.collector->finishSensors();
  EXPECT_EQ(rig.collector->getSensorData().size(), 7u) << "finishing keeps the data";
  EXPECT_TRUE(rig.collector->inSyncMode());
}

TEST(SyncRun, ExactRecordText) {
  VirtualRig rig(R"({"clock": {"start": 1449000000.0234},
                     "motion": {"accelerometer": {"readings": [[0.01, -0.02, -0.98]]}}})");
  rig.collector->startSensors();
  rig.advance(0.15);
  EXPECT_EQ(rig.collector->accelerometerRecords()->at(0),
            "0.010000,-0.020000,-0.980000,1449000000123");
}

TEST(SyncRun, MissingStreamsAndPositionsLeaveTheirKeysOut) {
  VirtualRig noMagnetometer(R"({"motion": {"magnetometer": {"available": false}}})");
  noMagnetometer.collector->startSensors();
  noMagnetometer.advance(2.0);
  auto data = noMagnetometer.collector->getSensorData();
  EXPECT_EQ(data.count("Magnetometer"), 0u);
  EXPECT_EQ(listAt(data, "Gravity")->count(), 10u);

  VirtualRig denied(R"({"location": {"authorizationStatus": 2}})");
  denied.collector->startSensors();
  denied.advance(3.0);
  data = denied.collector->getSensorData();
  EXPECT_FALSE(hasPosition(data));
  EXPECT_EQ(denied.device->locationUpdatesRunning(), 0u);
  EXPECT_EQ(listAt(data, "Accelerometer")->count(), 10u);
  // No fallback and no timeout in a sync run.
  EXPECT_EQ(denied.dispatcher->pendingPerformRequests(), 0u);
}

TEST(SyncRun, LimitsIncludingZeroAndNegative) {
  for (int limit : {3, 0, -5, -2147483647 - 1}) {
    SCOPED_TRACE(limit);
    VirtualRig rig;
    rig.collector->startSensors(limit);
    rig.advance(0.15);
    if (limit <= 0) {
      EXPECT_EQ(rig.device->activeStreams(), 0u);
    }
    rig.advance(2.0);
    const std::size_t expected = limit > 0 ? static_cast<std::size_t>(limit) : 0u;
    auto data = rig.collector->getSensorData();
    for (const char* key : {"Accelerometer", "Gyroscope", "Magnetometer", "Gravity"}) {
      if (expected == 0) {
        EXPECT_EQ(data.count(key), 0u) << key;
      } else {
        ASSERT_NE(listAt(data, key), nullptr);
        EXPECT_EQ(listAt(data, key)->count(), expected) << key;
      }
    }
    EXPECT_EQ(rig.device->activeStreams(), 0u);
  }
}

TEST(SyncRun, CallbackRunAfterwardsKeepsGravityAndTheSyncFixTime) {
  VirtualRig rig(R"({"location": {"events": [{"after": 0.5, "locations": [[10, 20]]}]}})");
  rig.collector->startSensors();
  rig.advance(1.5);
  const std::string syncTime = rig.collector->currentLocationTime();
  ASSERT_FALSE(syncTime.empty());
  const auto gravity = rig.collector->gravityRecords()->snapshot();
  ASSERT_EQ(gravity.size(), 10u);

  rig.callbackRun();
  EXPECT_TRUE(rig.collector->accelerometerRecords()->empty());
  EXPECT_TRUE(rig.collector->magneticRecords()->empty());
  EXPECT_EQ(rig.collector->gravityRecords()->snapshot(), gravity);
  EXPECT_FALSE(rig.collector->inSyncMode());
  rig.advance(2.0);
  ASSERT_EQ(rig.log.size(), 1u);
  EXPECT_EQ(rig.log.at(0).latitude, "10.000000");

  auto data = rig.collector->getSensorData();
  EXPECT_EQ(listAt(data, "Gravity")->snapshot(), gravity);
  EXPECT_EQ(listAt(data, "Accelerometer")->count(), 10u);
  EXPECT_EQ(textAt(data, "Time"), syncTime) << "a callback-run fix leaves the sync time alone";
}

TEST(SyncRun, FixHandlingCollectEndsFailuresAndEmptyLists) {
  {
    VirtualRig rig;
    rig.collector->startSensors();
    rig.collector->setCollectEnds(true);
    rig.advance(2.0);
    EXPECT_FALSE(hasPosition(rig.collector->getSensorData()));
    EXPECT_EQ(rig.device->locationUpdatesRunning(), 0u) << "updates stop even when not stored";
  }
  {
    VirtualRig rig(R"({"location": {"events": [{"after": 0.3, "fail": true},
                                               {"after": 0.6, "locations": [[1, 2]]}]}})");
    rig.collector->startSensors();
    rig.advance(2.0);
    EXPECT_EQ(rig.collector->currentLocation(), nullptr);
    EXPECT_EQ(rig.device->locationUpdatesRunning(), 0u);
    EXPECT_EQ(rig.dispatcher->pendingPerformRequests(), 0u);
  }
  {
    VirtualRig rig(R"({"clock": {"start": 1449000000.0},
                       "location": {"events": [{"after": 0.3, "locations": []}]}})");
    rig.collector->startSensors();
    rig.advance(2.0);
    EXPECT_EQ(rig.collector->currentLocation(), nullptr);
    EXPECT_EQ(rig.collector->currentLocationTime(), "1449000000300");
    EXPECT_EQ(rig.device->locationUpdatesRunning(), 0u);
    EXPECT_FALSE(hasPosition(rig.collector->getSensorData()));
  }
}

TEST(SyncRun, FinishBeforeTheLocationStartLeavesNoUpdatesRunning) {
  {
    // Finished before the main thread made the location manager.
    VirtualRig rig;
    rig.collector->startSensors();
    rig.collector->finishSensors();
    rig.advance(3.0);
    EXPECT_EQ(rig.device->locationUpdatesRunning(), 0u);
    EXPECT_EQ(rig.device->activeStreams(), 0u);
    EXPECT_FALSE(hasPosition(rig.collector->getSensorData()));
  }
  {
    // Finished after the main thread made the manager, before the global queue started it.
    VirtualRig rig(R"({"location": {"events": []}})");
    rig.collector->startSensors();
    ASSERT_TRUE(rig.dispatcher->runOne());
    ASSERT_NE(rig.collector->locationManager(), nullptr);
    rig.collector->finishSensors();
    rig.advance(3.0);
    EXPECT_EQ(rig.device->locationUpdatesRunning(), 0u);
  }
  {
    // A later sync run is not affected by the earlier finish.
    VirtualRig rig;
    rig.collector->startSensors();
    rig.collector->finishSensors();
    rig.collector->startSensors();
    rig.advance(2.0);
    EXPECT_TRUE(hasPosition(rig.collector->getSensorData()));
  }
}

TEST(SyncRun, TimeoutOfAnEarlierCallbackRunDoesNotStopSyncUpdates) {
  VirtualRig rig(R"({"location": {"authorizationStatus": 2,
                                  "events": [{"after": 8.0, "locations": [[12.5, -45.25]]}]}})");
  rig.callbackRun();
  rig.advance(5.0);
  ASSERT_EQ(rig.log.size(), 1u);
  rig.device->setAuthorizationStatus(4);
  rig.collector->startSensors();
  rig.advance(6.0);
  EXPECT_EQ(rig.device->locationUpdatesRunning(), 1u) << "the old timeout stopped the updates";
  rig.advance(3.0);
  auto data = rig.collector->getSensorData();
  EXPECT_EQ(textAt(data, "la"), "12.500000");
  EXPECT_EQ(rig.log.size(), 1u);
}

TEST(SyncRun, DeviceMotionOfASyncRunSurvivesACallbackRun) {
  // With a limit above ten, gravity records keep coming in after the callback run starts.
  VirtualRig rig;
  rig.collector->startSensors(30);
  rig.advance(0.55);
  rig.callbackRun();
  rig.advance(3.0);
  EXPECT_EQ(rig.log.size(), 1u);
  EXPECT_EQ(rig.collector->gravityRecords()->count(), 30u);
  EXPECT_EQ(rig.device->activeStreams(), 0u);
}

}  // namespace
}  // namespace pemdor
