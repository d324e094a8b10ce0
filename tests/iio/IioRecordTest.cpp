// SPDX-License-Identifier: MIT
// Recordings made on real providers: IIO motion sensors faked by umockdev and a gpsd fed by
// the test, recorded in real time, replay in virtual time with the readings and the position the
// collector got from the providers themselves, and recording the replay gives back the same text.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "Eventually.h"
#include "GpsFake.h"
#include "Record.h"
#include "ScenarioWriter.h"
#include "SkipOrFail.h"
#include "UmockdevTestbed.h"
#include "pemdor/PemdorDeviceSensorInfo.h"
#include "pemdor/platform/Providers.h"
#include "pemdor/platform/RealDispatcher.h"
#include "pemdor/platform/SimulatedDevice.h"
#include "pemdor/platform/VirtualDispatcher.h"

namespace pemdor {
namespace {

using namespace std::chrono_literals;
using gpsd_testing::GpsFake;
using iio_test::UmockdevTestbed;

const UmockdevTestbed::Attributes kImu = {
    {"in_accel_x_raw", "12"},   {"in_accel_y_raw", "-7"},      {"in_accel_z_raw", "981"},
    {"in_accel_scale", "0.01"}, {"in_anglvel_x_raw", "1"},     {"in_anglvel_y_raw", "2"},
    {"in_anglvel_z_raw", "3"},  {"in_anglvel_scale", "0.001"}, {"in_magn_x_raw", "20"},
    {"in_magn_y_raw", "-5"},    {"in_magn_z_raw", "-40"},      {"in_magn_scale", "0.01"}};

constexpr std::int32_t kLimit = 10;
const std::vector<std::string> kLists{"Accelerometer", "Gyroscope", "Magnetometer", "Gravity"};

using test::eventually;

// A sync record without its timestamp: "x,y,z".
std::string values(const std::string& record) {
  return record.substr(0, record.rfind(','));
}

// The values of each list and the position of a sync run's data.
std::map<std::string, std::vector<std::string>> valuesOf(const PemdorSensorData& data) {
  std::map<std::string, std::vector<std::string>> out;
  for (const auto& key : kLists) {
    const auto found = data.find(key);
    if (found == data.end()) continue;
    for (const auto& record : std::get<PemdorRecordListRef>(found->second)->snapshot()) {
      out[key].push_back(values(record));
    }
  }
  for (const char* key : {"la", "lo"}) {
    if (const auto found = data.find(key); found != data.end()) {
      out[key] = {std::get<std::string>(found->second)};
    }
  }
  return out;
}

class IioRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!UmockdevTestbed::inMockEnvironment()) {
      PEMDOR_SKIP_OR_FAIL_IN_CI("the IIO tests run under umockdev-wrapper");
    }
    std::string why;
    if (!GpsFake::toolsPresent(why)) PEMDOR_SKIP_OR_FAIL_IN_CI(why);
    fake_ = GpsFake::start({.log = "fix.nmea"}, why);
    ASSERT_NE(fake_, nullptr) << why;
    testbed_ = std::make_unique<UmockdevTestbed>();
    testbed_->addDevice("iio:device0", kImu);
    dispatcher_ = RealDispatcher::create();
    platform_ = Platform::create({dispatcher_, makeSystemClock(), makeIioMotionService(dispatcher_),
                                  makeGpsdLocationService(dispatcher_, fake_->endpoint())});
  }

  void TearDown() override {
    platform_.reset();
    if (dispatcher_) dispatcher_->shutdown();
    testbed_.reset();
    fake_.reset();
  }

  std::unique_ptr<GpsFake> fake_;
  std::unique_ptr<UmockdevTestbed> testbed_;
  std::shared_ptr<RealDispatcher> dispatcher_;
  std::shared_ptr<Platform> platform_;
};

TEST_F(IioRecordTest, RecordingReplaysWhatTheCollectorGotFromTheProviders) {
  // The recording: long enough for a sync run's eleven deliveries and the first fix.
  auto recorder = host::Recorder::start(platform_);
  ASSERT_NE(recorder, nullptr);
  ASSERT_TRUE(eventually(
      [&] {
        const auto counts = recorder->counts();
        return recorder->eventCount() > 0 && counts[0] && *counts[0] >= kLimit + 2 && counts[3] &&
               *counts[3] >= kLimit + 2;
      },
      20s))
      << "no fix or too few readings";
  const host::Recording recording = recorder->stop();
  EXPECT_EQ(recording.motionProvider, "iio");
  EXPECT_EQ(recording.locationProvider, "gpsd");
  const std::string text = host::scenarioText(recording.scenario);
  const auto parsed = parseSimScenario(text, "iio recording");
  ASSERT_TRUE(parsed) << parsed.error;
  const SimScenario& replay = *parsed.scenario;
  EXPECT_EQ(replay.authorizationStatus, kCLAuthorizationStatusAuthorizedWhenInUse);
  ASSERT_FALSE(replay.events->empty());
  EXPECT_EQ(replay.events->front().kind, SimLocationEvent::Kind::locations);

  // The same sync run on the providers themselves, in real time.
  auto collector = PemdorDeviceSensorInfo::init(platform_);
  collector->startSensors(kLimit);
  ASSERT_TRUE(eventually(
      [&] {
        return collector->gravityRecords()->count() == kLimit &&
               collector->accelerometerRecords()->count() == kLimit &&
               collector->gyroRecords()->count() == kLimit &&
               collector->magneticRecords()->count() == kLimit &&
               !collector->currentLocationTime().empty();
      },
      20s));
  collector->finishSensors();
  const auto onProviders = valuesOf(collector->getSensorData());

  // The sync run on the replay, in virtual time: the same readings and the same position, and
  // times that follow from clock.start and the recorded moment of the fix.
  auto virtualDispatcher = VirtualDispatcher::create();
  auto device = SimulatedDevice::create(replay, virtualDispatcher);
  auto replayed = PemdorDeviceSensorInfo::init(device->platform());
  replayed->startSensors(kLimit);
  const double lastFix = replay.events->back().after;
  virtualDispatcher->advanceBy(std::max(lastFix, 0.1 * (kLimit + 1)) + 0.5);
  const auto onReplay = replayed->getSensorData();
  EXPECT_EQ(valuesOf(onReplay), onProviders);
  ASSERT_EQ(onReplay.count("Time"), 1U);
  const double fixTime = *replay.clockStart + replay.events->front().after;
  EXPECT_NEAR(std::stod(std::get<std::string>(onReplay.at("Time"))), fixTime * 1000.0, 1.0);
  replayed->finishSensors();

  // Recording the replay, in virtual time, gives back the same text: the recording's streams
  // stall where it ended, so a longer replay adds nothing.
  auto again = VirtualDispatcher::create();
  auto replayDevice = SimulatedDevice::create(replay, again);
  auto rerecorder = host::Recorder::start(replayDevice->platform());
  ASSERT_NE(rerecorder, nullptr);
  again->advanceBy(recording.duration + lastFix + 1.0);
  EXPECT_EQ(host::scenarioText(rerecorder->stop().scenario), text);
}

}  // namespace
}  // namespace pemdor
