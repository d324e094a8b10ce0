// SPDX-License-Identifier: MIT
// The collector on IIO sensors (faked by umockdev), on the real dispatcher: both runs end and
// keep what they gathered when the device goes away in the middle.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "Eventually.h"
#include "SkipOrFail.h"
#include "UmockdevTestbed.h"
#include "pemdor/PemdorDeviceSensorInfo.h"
#include "pemdor/platform/Providers.h"
#include "pemdor/platform/RealDispatcher.h"

namespace pemdor {
namespace {

using namespace std::chrono_literals;
using iio_test::UmockdevTestbed;

// A still device lying flat: 1 g up on z in IIO's convention, small rotation, some field.
const UmockdevTestbed::Attributes kImu = {
    {"in_accel_x_raw", "0"},    {"in_accel_y_raw", "0"},       {"in_accel_z_raw", "981"},
    {"in_accel_scale", "0.01"}, {"in_anglvel_x_raw", "1"},     {"in_anglvel_y_raw", "2"},
    {"in_anglvel_z_raw", "3"},  {"in_anglvel_scale", "0.001"}, {"in_magn_x_raw", "20"},
    {"in_magn_y_raw", "-5"},    {"in_magn_z_raw", "-40"},      {"in_magn_scale", "0.01"}};

using test::eventually;

class IioCollectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!UmockdevTestbed::inMockEnvironment()) {
      PEMDOR_SKIP_OR_FAIL_IN_CI("the IIO tests run under umockdev-wrapper");
    }
    testbed_ = std::make_unique<UmockdevTestbed>();
    device_ = testbed_->addDevice("iio:device0", kImu);
    dispatcher_ = RealDispatcher::create();
    // No location service: the position part of a callback run ends at once.
    platform_ =
        Platform::create({dispatcher_, nullptr, makeIioMotionService(dispatcher_), nullptr});
    collector_ = PemdorDeviceSensorInfo::init(platform_);
    ASSERT_NE(collector_, nullptr);
  }

  void TearDown() override {
    if (collector_) collector_->finishSensors();
    collector_.reset();
    platform_.reset();
    if (dispatcher_) dispatcher_->shutdown();
    testbed_.reset();
  }

  std::unique_ptr<UmockdevTestbed> testbed_;
  std::string device_;
  std::shared_ptr<RealDispatcher> dispatcher_;
  std::shared_ptr<Platform> platform_;
  std::shared_ptr<PemdorDeviceSensorInfo> collector_;
};

TEST_F(IioCollectorTest, CallbackRunEndsWhenTheDeviceVanishesMidRun) {
  EXPECT_EQ(collector_->availableSensors(), "SensorsAccelerometerGyroMagnetometer");
  std::mutex mutex;
  std::condition_variable done;
  std::optional<std::string> json;
  int calls = 0;
  collector_->processSensorsWithCallBack(
      [&](const std::string&, const std::string&, const std::optional<std::string>& text) {
        std::lock_guard guard(mutex);
        ++calls;
        json = text;
        done.notify_all();
      });
  ASSERT_TRUE(eventually([&] { return collector_->accelerometerRecords()->count() >= 3; }));
  testbed_->removeDevice(device_);

  std::unique_lock lock(mutex);
  ASSERT_TRUE(done.wait_for(lock, 10s, [&] { return calls > 0; }));
  const auto value = nlohmann::json::parse(json.value_or("{}"));
  const auto acceleration = value.at("Acceleration").get<std::vector<std::string>>();
  ASSERT_EQ(acceleration.size(), 10u);
  // Readings before the device went away, then absent readings recorded as zeros.
  EXPECT_EQ(acceleration.front(), "[0.00, 0.00, -1.00]");
  EXPECT_EQ(acceleration.back(), "[0.00, 0.00, 0.00]");
  EXPECT_EQ(value.at("Magnetic").get<std::vector<std::string>>().back(),
            "[0.0000, 0.0000, 0.0000]");
  lock.unlock();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(calls, 1);
}

TEST_F(IioCollectorTest, SyncRunKeepsWhatItGatheredAndStopsWhenTold) {
  collector_->startSensors(1000);
  ASSERT_TRUE(eventually([&] { return collector_->gravityRecords()->count() >= 3; }));
  testbed_->removeDevice(device_);
  const std::size_t before = collector_->accelerometerRecords()->count();
  ASSERT_TRUE(
      eventually([&] { return collector_->accelerometerRecords()->count() >= before + 3; }));

  collector_->finishSensors();
  auto motion = collector_->motionManager();
  EXPECT_FALSE(motion->isAccelerometerActive() || motion->isGyroActive() ||
               motion->isMagnetometerActive() || motion->isDeviceMotionActive());
  const auto data = collector_->getSensorData();
  for (const char* key : {"Accelerometer", "Gyroscope", "Magnetometer", "Gravity"}) {
    ASSERT_EQ(data.count(key), 1u) << key;
    const auto records = std::get<PemdorRecordListRef>(data.at(key))->snapshot();
    ASSERT_GE(records.size(), 3u) << key;
    EXPECT_EQ(records.back().substr(0, 27), "0.000000,0.000000,0.000000,") << key;
  }
  EXPECT_EQ(std::get<PemdorRecordListRef>(data.at("Accelerometer"))->at(0)->substr(0, 24),
            "0.000000,0.000000,-1.000");
}

}  // namespace
}  // namespace pemdor
