// SPDX-License-Identifier: MIT
// The IIO motion provider reading fake devices through libiio's local backend, under
// umockdev-wrapper. Sampling runs on the provider's own thread in real time, so each test waits
// for deliveries with a generous deadline instead of sleeping.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <numbers>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "../../platform/iio/IioVectorSource.h"
#include "SkipOrFail.h"
#include "UmockdevTestbed.h"
#include "pemdor/platform/Providers.h"
#include "pemdor/platform/RealDispatcher.h"
#include "provider_rig.h"

namespace pemdor {
namespace {

using iio_test::UmockdevTestbed;

constexpr double kInterval = 0.01;
constexpr auto kDeadline = test::kProviderDeadline;
constexpr double kG = 9.80665;

using test::Delivery;
using test::Recorder;

void expectNear(const CMVector& actual, const CMVector& expected, const char* what) {
  EXPECT_NEAR(actual.x, expected.x, 1e-9) << what;
  EXPECT_NEAR(actual.y, expected.y, 1e-9) << what;
  EXPECT_NEAR(actual.z, expected.z, 1e-9) << what;
}

// Acceleration in m/s² as IIO reports it, in the platform's g with the flat device at -z.
CMVector fromIioAcceleration(double x, double y, double z) {
  return {-x / kG, -y / kG, -z / kG};
}

class IioMotionTest : public test::ProviderTest<UmockdevTestbed> {
 protected:
  IioMotionTest()
      : ProviderTest([](auto dispatcher) { return makeIioMotionService(std::move(dispatcher)); },
                     "IIO", kInterval) {}

  // One reading of `stream` from a fresh start, the stream stopped again.
  Delivery readOnce(MotionStream stream) {
    Recorder recorder;
    start(stream, recorder);
    EXPECT_TRUE(manager_->isActive(stream)) << motionStreamName(stream);
    const bool delivered = recorder.waitFor(1);
    manager_->stopUpdates(stream);
    if (!delivered) {
      ADD_FAILURE() << motionStreamName(stream) << " delivered nothing";
      return {};
    }
    return recorder.deliveries().front();
  }

  CMVector readVector(MotionStream stream) {
    const Delivery d = readOnce(stream);
    EXPECT_FALSE(d.error.has_value())
        << motionStreamName(stream) << ": " << (d.error ? d.error->localizedDescription : "");
    return d.vector.value_or(CMVector{1e9, 1e9, 1e9});
  }
};

// Values are (raw + offset) × scale with the scale and offset per channel where the driver gives
// one and shared by the kind otherwise, then converted to g, rad/s and µT. A gravity channel is
// preferred over gravity derived from the accelerometer.
TEST_F(IioMotionTest, readsEachKindInPlatformUnits) {
  testbed_->addDevice("iio:device0", {{"name", "accel_3d"},
                                      {"in_accel_x_raw", "0"},
                                      {"in_accel_y_raw", "-490"},
                                      {"in_accel_z_raw", "981"},
                                      {"in_accel_scale", "0.01"},
                                      {"in_accel_x_offset", "10"},
                                      {"in_gravity_x_raw", "100"},
                                      {"in_gravity_y_raw", "0"},
                                      {"in_gravity_z_raw", "970"},
                                      {"in_gravity_scale", "0.01"}});
  testbed_->addDevice("iio:device1", {{"name", "gyro_3d"},
                                      {"in_anglvel_x_raw", "100"},
                                      {"in_anglvel_y_raw", "-200"},
                                      {"in_anglvel_z_raw", "300"},
                                      {"in_anglvel_scale", "0.001"},
                                      {"in_anglvel_z_scale", "0.002"}});
  testbed_->addDevice("iio:device2", {{"name", "magn_3d"},
                                      {"in_magn_x_raw", "250"},
                                      {"in_magn_y_raw", "-100"},
                                      {"in_magn_z_raw", "400"},
                                      {"in_magn_x_scale", "0.001"},
                                      {"in_magn_y_scale", "0.002"},
                                      {"in_magn_z_scale", "0.0005"}});

  expectNear(readVector(MotionStream::accelerometer), fromIioAcceleration(0.1, -4.90, 9.81),
             "accelerometer");
  expectNear(readVector(MotionStream::gyro), {0.1, -0.2, 0.6}, "gyroscope");
  expectNear(readVector(MotionStream::magnetometer), {25.0, -20.0, 20.0}, "magnetometer");
  expectNear(readVector(MotionStream::deviceMotion), fromIioAcceleration(1.0, 0.0, 9.70),
             "gravity");
}

// The kind's own mount matrix, an in_mount_matrix (which libiio shows as a channel "mount") and
// a device-wide mount_matrix all turn sensor axes into device axes; processed (_input) values
// need no scale. A matrix that does not parse is ignored, and every start reads it afresh.
TEST_F(IioMotionTest, appliesTheMountMatrixWhereverTheDriverPutsIt) {
  const std::string accel =
      testbed_->addDevice("iio:device0", {{"in_accel_x_raw", "981"},
                                          {"in_accel_y_raw", "0"},
                                          {"in_accel_z_raw", "0"},
                                          {"in_accel_scale", "0.01"},
                                          {"in_accel_mount_matrix", "0, 1, 0; -1, 0, 0; 0, 0, 1"}});
  testbed_->addDevice("iio:device1", {{"in_anglvel_x_input", "0.1"},
                                      {"in_anglvel_y_input", "0.2"},
                                      {"in_anglvel_z_input", "0.3"},
                                      {"in_mount_matrix", "1, 0, 0; 0, 0, 1; 0, -1, 0"}});
  testbed_->addDevice("iio:device2", {{"in_magn_x_raw", "1"},
                                      {"in_magn_y_raw", "2"},
                                      {"in_magn_z_raw", "3"},
                                      {"in_magn_scale", "0.01"},
                                      {"mount_matrix", "-1, 0, 0; 0, -1, 0; 0, 0, 1"}});

  expectNear(readVector(MotionStream::accelerometer), fromIioAcceleration(0.0, -9.81, 0.0),
             "accelerometer");
  expectNear(readVector(MotionStream::gyro), {0.1, 0.3, -0.2}, "gyroscope");
  expectNear(readVector(MotionStream::magnetometer), {-1.0, -2.0, 3.0}, "magnetometer");

  testbed_->setAttribute(accel, "in_accel_mount_matrix", "0, 1; -1, 0");
  expectNear(readVector(MotionStream::accelerometer), fromIioAcceleration(9.81, 0.0, 0.0),
             "accelerometer with a malformed matrix");
}

TEST(IioMountMatrixTest, parsesTheIioTextFormOnly) {
  using iio::parseMountMatrix;
  EXPECT_EQ(parseMountMatrix("1, 0, 0; 0, 1, 0; 0, 0, 1\n"), iio::kIdentityMountMatrix);
  EXPECT_EQ(parseMountMatrix("0,1,0;-1,0,0;0,0,-1"),
            (iio::MountMatrix{0, 1, 0, -1, 0, 0, 0, 0, -1}));
  EXPECT_EQ(parseMountMatrix(" 0.5 , -1e-1,2 ;0,0.25,0; 0, 0, +1 "),
            (iio::MountMatrix{0.5, -0.1, 2, 0, 0.25, 0, 0, 0, 1}));
  for (const char* bad :
       {"", "1, 0, 0; 0, 1, 0", "1, 0, 0; 0, 1, 0; 0, 0, 1;", "1, 0; 0, 1, 0; 0, 0, 1",
        "1, 0, 0, 0; 0, 1, 0; 0, 0, 1", "1, 0, x; 0, 1, 0; 0, 0, 1", "1, , 0; 0, 1, 0; 0, 0, 1",
        "1 2, 0, 0; 0, 1, 0; 0, 0, 1"}) {
    EXPECT_FALSE(parseMountMatrix(bad).has_value()) << '"' << bad << '"';
  }
  EXPECT_EQ(iio::applyMountMatrix({0, 1, 0, -1, 0, 0, 0, 0, 1}, {1, 2, 3}), (CMVector{2, -1, 3}));
}

// Availability is a fresh look at the devices each time: a device added after the manager was
// made counts, a partial triple does not, and device motion rides on an accelerometer or a
// gravity channel.
TEST_F(IioMotionTest, availabilityFollowsTheDevicesPresentNow) {
  EXPECT_TRUE(iioProviderBuilt());
  EXPECT_FALSE(iioMotionDevicesPresent());
  for (MotionStream stream : kAllMotionStreams) EXPECT_FALSE(manager_->isAvailable(stream));

  testbed_->addDevice("iio:device0", {{"in_accel_x_raw", "0"}, {"in_accel_y_raw", "0"}});
  EXPECT_FALSE(manager_->isAccelerometerAvailable());
  EXPECT_FALSE(iioMotionDevicesPresent());

  testbed_->addDevice(
      "iio:device1",
      {{"in_gravity_x_raw", "0"}, {"in_gravity_y_raw", "0"}, {"in_gravity_z_raw", "981"}});
  EXPECT_TRUE(manager_->isDeviceMotionAvailable());
  EXPECT_FALSE(manager_->isAccelerometerAvailable());
  EXPECT_FALSE(iioMotionDevicesPresent());

  const std::string accel = testbed_->addDevice(
      "iio:device2", {{"in_accel_x_raw", "0"}, {"in_accel_y_raw", "0"}, {"in_accel_z_raw", "1"}});
  EXPECT_TRUE(iioMotionDevicesPresent());
  EXPECT_TRUE(manager_->isAccelerometerAvailable());
  EXPECT_FALSE(manager_->isGyroAvailable());
  EXPECT_FALSE(manager_->isMagnetometerAvailable());

  Recorder magnetometer;
  start(MotionStream::magnetometer, magnetometer);
  EXPECT_FALSE(manager_->isMagnetometerActive());

  testbed_->removeDevice(accel);
  EXPECT_FALSE(manager_->isAccelerometerAvailable());
  EXPECT_TRUE(manager_->isDeviceMotionAvailable());
  EXPECT_TRUE(magnetometer.deliveries().empty());
}

TEST_F(IioMotionTest, seesAValueChangedBetweenSamples) {
  const std::string device = testbed_->addDevice(
      "iio:device0",
      {{"in_anglvel_x_raw", "1"}, {"in_anglvel_y_raw", "2"}, {"in_anglvel_z_raw", "3"}});
  Recorder recorder;
  start(MotionStream::gyro, recorder);
  ASSERT_TRUE(recorder.waitFor(2));
  testbed_->setAttribute(device, "in_anglvel_y_raw", "-7");
  ASSERT_TRUE(recorder.waitUntil(
      [](const auto& d) { return !d.empty() && d.back().vector && d.back().vector->y == -7.0; }));
  manager_->stopUpdates(MotionStream::gyro);
  const auto deliveries = recorder.deliveries();
  EXPECT_EQ(deliveries.front().vector, (CMVector{1, 2, 3}));
  // Each delivery is one consistent sample: the old value or the new one, nothing else.
  for (const Delivery& d : deliveries) {
    ASSERT_TRUE(d.vector.has_value());
    EXPECT_TRUE(d.vector->y == 2.0 || d.vector->y == -7.0) << d.vector->y;
  }
}

// The streams read at one wake-up share what they read: a second source of the same channels
// takes the values the first one read, even when the device has changed since, until the next
// wake-up; other channels of the same device, and reads without the wake-up's record, read the
// device.
TEST_F(IioMotionTest, sourcesReadAtOneWakeUpShareTheirValues) {
  const std::string device = testbed_->addDevice("iio:device0", {{"in_accel_x_raw", "1"},
                                                                 {"in_accel_y_raw", "2"},
                                                                 {"in_accel_z_raw", "3"},
                                                                 {"in_accel_scale", "0.5"},
                                                                 {"in_anglvel_x_raw", "4"},
                                                                 {"in_anglvel_y_raw", "5"},
                                                                 {"in_anglvel_z_raw", "6"}});
  auto first = iio::IioVectorSource::bind(iio::IioKind::accel);
  auto second = iio::IioVectorSource::bind(iio::IioKind::accel);
  auto gyro = iio::IioVectorSource::bind(iio::IioKind::anglvel);
  ASSERT_TRUE(first && second && gyro);
  iio::TickReads reads;
  const auto before = first->read(&reads).vector;
  ASSERT_TRUE(before);
  testbed_->setAttribute(device, "in_accel_x_raw", "7");
  testbed_->setAttribute(device, "in_anglvel_x_raw", "8");
  EXPECT_EQ(second->read(&reads).vector, before);
  EXPECT_EQ(gyro->read(&reads).vector, (CMVector{8, 5, 6}));
  const auto after = second->read().vector;
  ASSERT_TRUE(after);
  EXPECT_NE(after->x, before->x);
  EXPECT_EQ(after->y, before->y);
  reads.clear();
  EXPECT_EQ(first->read(&reads).vector, after);
  EXPECT_EQ(second->read(&reads).vector, after);
}

// A running stream that is given a shorter interval does not first sit out its old, long one.
TEST_F(IioMotionTest, aShorterIntervalTakesEffectAtOnce) {
  testbed_->addDevice("iio:device0",
                      {{"in_magn_x_raw", "1"}, {"in_magn_y_raw", "2"}, {"in_magn_z_raw", "3"}});
  Recorder recorder;
  manager_->setMagnetometerUpdateInterval(600.0);
  manager_->startUpdates(MotionStream::magnetometer, queue_, recorder.handler());
  manager_->setMagnetometerUpdateInterval(kInterval);
  EXPECT_TRUE(recorder.waitFor(3));
  manager_->stopMagnetometerUpdates();
}

// Forwards tasks to a real queue and counts them.
class CountingQueue final : public OperationQueue {
 public:
  explicit CountingQueue(std::shared_ptr<OperationQueue> inner) : inner_(std::move(inner)) {}
  void async(Task task) override {
    posted_.fetch_add(1);
    inner_->async(std::move(task));
  }
  std::string label() const override { return inner_->label(); }
  void setMaxConcurrentOperationCount(int count) override {
    inner_->setMaxConcurrentOperationCount(count);
  }
  int maxConcurrentOperationCount() const override { return inner_->maxConcurrentOperationCount(); }
  int posted() const { return posted_.load(); }

 private:
  std::shared_ptr<OperationQueue> inner_;
  std::atomic<int> posted_{0};
};

// Streams with one interval, started one after another, are sampled on the same wake-ups, and
// the readings of one wake-up reach their queue as one task.
TEST_F(IioMotionTest, streamsStartedTogetherShareWakeUps) {
  testbed_->addDevice("iio:device0", {{"in_accel_x_raw", "1"},
                                      {"in_accel_y_raw", "2"},
                                      {"in_accel_z_raw", "3"},
                                      {"in_anglvel_x_raw", "1"},
                                      {"in_anglvel_y_raw", "2"},
                                      {"in_anglvel_z_raw", "3"},
                                      {"in_magn_x_raw", "1"},
                                      {"in_magn_y_raw", "2"},
                                      {"in_magn_z_raw", "3"}});
  auto counting = std::make_shared<CountingQueue>(queue_);
  std::array<Recorder, kMotionStreamCount> recorders;
  for (MotionStream s : kAllMotionStreams) {
    manager_->setUpdateInterval(s, 0.05);
    manager_->startUpdates(s, counting, recorders[static_cast<std::size_t>(s)].handler());
  }
  for (auto& r : recorders) EXPECT_TRUE(r.waitFor(8));
  for (MotionStream s : kAllMotionStreams) manager_->stopUpdates(s);
  drain();
  std::size_t delivered = 0;
  for (const auto& r : recorders) delivered += r.deliveries().size();
  // Alone, each reading would be a task of its own; together, four readings make one. A read
  // that a loaded machine slows past the gathering window goes alone, and so may the first
  // reads, made on the workers: the bound asks that most wake-ups be shared, not all.
  EXPECT_LE(static_cast<std::size_t>(counting->posted()) * 4, delivered * 3)
      << counting->posted() << " tasks for " << delivered << " readings";
}

// A stream whose device goes away keeps its pace with absent readings and errors, stays active
// until stopped, and reads again once the device is back. A missing attribute fails only the
// streams that need it.
TEST_F(IioMotionTest, aVanishingDeviceDeliversErrorsUntilItIsBack) {
  const UmockdevTestbed::Attributes imu = {{"in_accel_x_raw", "0"},   {"in_accel_y_raw", "0"},
                                           {"in_accel_z_raw", "981"}, {"in_accel_scale", "0.01"},
                                           {"in_anglvel_x_raw", "1"}, {"in_anglvel_y_raw", "2"},
                                           {"in_anglvel_z_raw", "3"}};
  const std::string device = testbed_->addDevice("iio:device0", imu);
  Recorder accel;
  Recorder gyro;
  start(MotionStream::accelerometer, accel);
  start(MotionStream::gyro, gyro);
  ASSERT_TRUE(accel.waitFor(2));
  ASSERT_TRUE(gyro.waitFor(2));

  const auto failures = [](std::size_t atLeast) {
    return [atLeast](const std::vector<Delivery>& d) {
      std::size_t trailing = 0;
      for (auto it = d.rbegin(); it != d.rend() && !it->vector && it->error; ++it) ++trailing;
      return trailing >= atLeast;
    };
  };
  // Deliveries after the last failed one.
  const auto readsAgain = [](const std::vector<Delivery>& d) {
    auto it = d.rbegin();
    while (it != d.rend() && it->vector) ++it;
    return it != d.rend() && it != d.rbegin();
  };

  ASSERT_TRUE(testbed_->removeAttribute(device, "in_anglvel_y_raw"));
  ASSERT_TRUE(gyro.waitUntil(failures(3)));
  const std::size_t accelBefore = accel.deliveries().size();
  ASSERT_TRUE(accel.waitFor(accelBefore + 3));
  for (std::size_t i = accelBefore; i < accelBefore + 3; ++i) {
    EXPECT_TRUE(accel.deliveries()[i].vector.has_value());
  }

  testbed_->removeDevice(device);
  ASSERT_TRUE(accel.waitUntil(failures(3)));
  EXPECT_TRUE(manager_->isAccelerometerActive());
  EXPECT_FALSE(manager_->isAccelerometerAvailable());
  const NSError error = *accel.deliveries().back().error;
  EXPECT_EQ(error.domain, "pemdor.iio");
  EXPECT_NE(error.code, 0);
  EXPECT_NE(error.localizedDescription.find("accelerometer"), std::string::npos)
      << error.localizedDescription;

  testbed_->addDevice("iio:device0", imu);
  ASSERT_TRUE(accel.waitUntil(readsAgain));
  ASSERT_TRUE(gyro.waitUntil(readsAgain));
  expectNear(*accel.deliveries().back().vector, fromIioAcceleration(0, 0, 9.81), "accelerometer");
  manager_->stopUpdates(MotionStream::accelerometer);
  manager_->stopUpdates(MotionStream::gyro);
}

// Without a gravity channel or a gyroscope, gravity is the accelerometer low-pass filtered and
// normalised to 1 g: a still device reads its gravity from the first delivery, and after a turn
// the reading moves steadily, without a jump, to the new direction.
TEST_F(IioMotionTest, derivedGravityConvergesOnAStillDevice) {
  const std::string device = testbed_->addDevice("iio:device0", {{"in_accel_x_raw", "0"},
                                                                 {"in_accel_y_raw", "0"},
                                                                 {"in_accel_z_raw", "981"},
                                                                 {"in_accel_scale", "0.01"}});
  const CMVector flat{0, 0, -1};
  const CMVector onItsSide{-1, 0, 0};
  Recorder recorder;
  start(MotionStream::deviceMotion, recorder);
  ASSERT_TRUE(recorder.waitFor(3));
  for (const Delivery& d : recorder.deliveries()) {
    ASSERT_TRUE(d.vector.has_value());
    expectNear(*d.vector, flat, "flat");
  }

  testbed_->setAttribute(device, "in_accel_z_raw", "0");
  testbed_->setAttribute(device, "in_accel_x_raw", "981");
  ASSERT_TRUE(recorder.waitUntil([&](const auto& d) {
    return !d.empty() && d.back().vector && std::abs(d.back().vector->x - onItsSide.x) < 0.01;
  }));
  manager_->stopUpdates(MotionStream::deviceMotion);

  const auto deliveries = recorder.deliveries();
  double previousX = 0.0;
  bool moved = false;
  for (const Delivery& d : deliveries) {
    ASSERT_TRUE(d.vector.has_value());
    const CMVector g = *d.vector;
    if (!moved && g.x != 0.0) {
      moved = true;
      // The first reading after the turn: a small step, not the new value (x is read before z,
      // so a sample may see the turn half done).
      EXPECT_GT(g.x, 0.2 * onItsSide.x);
    }
    EXPECT_LE(g.x, previousX + 1e-12);
    previousX = g.x;
    EXPECT_NEAR(std::hypot(g.x, g.y, g.z), 1.0, 1e-9);
  }
  EXPECT_TRUE(moved);
}

// Where the machine has a gyroscope, derived gravity follows its rotation at once, while the
// accelerometer still says the device lies flat: with the gyroscope on the accelerometer's own
// device, on another device, and on a device whose accelerometer hwdb turns, where the
// gyroscope's rates are taken in the accelerometer's frame. Turning right-handed about x moves
// gravity from flat toward -y; hwdb's matrix here makes the chip's x the device's -y, and a turn
// about -y moves gravity toward -x.
TEST_F(IioMotionTest, derivedGravityFollowsTheGyroscope) {
  const UmockdevTestbed::Attributes accel = {{"in_accel_x_raw", "0"},
                                             {"in_accel_y_raw", "0"},
                                             {"in_accel_z_raw", "981"},
                                             {"in_accel_scale", "0.01"}};
  // 1 rad/s about x, once the test sets it.
  const UmockdevTestbed::Attributes gyro = {{"in_anglvel_x_raw", "0"},
                                            {"in_anglvel_y_raw", "0"},
                                            {"in_anglvel_z_raw", "0"},
                                            {"in_anglvel_scale", "0.001"}};
  struct Case {
    const char* what;
    bool oneDevice;
    UmockdevTestbed::Attributes udev;
    // Attributes of the gyroscope beyond its values.
    UmockdevTestbed::Attributes gyroExtra;
    // The axis (0 for x, 1 for y) along which gravity moves, toward its negative end.
    int axis;
  };
  const Case cases[] = {
      {"one device", true, {}, {}, 1},
      {"two devices", false, {}, {}, 1},
      {"one device, hwdb matrix",
       true,
       {{"ACCEL_MOUNT_MATRIX", "0, 1, 0; -1, 0, 0; 0, 0, 1"}},
       {},
       0},
      // The driver's own gyroscope matrix is undone before hwdb's is applied.
      {"one device, hwdb matrix and a gyroscope matrix",
       true,
       {{"ACCEL_MOUNT_MATRIX", "0, 1, 0; -1, 0, 0; 0, 0, 1"}},
       {{"in_anglvel_mount_matrix", "0, 0, 1; 1, 0, 0; 0, 1, 1"}},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    manager_.reset();
    testbed_.reset();
    testbed_ = std::make_unique<UmockdevTestbed>();
    manager_ = service_->makeMotionManager();
    std::string gyroDevice;
    UmockdevTestbed::Attributes gyroAttributes = gyro;
    gyroAttributes.insert(gyroAttributes.end(), c.gyroExtra.begin(), c.gyroExtra.end());
    if (c.oneDevice) {
      UmockdevTestbed::Attributes both = accel;
      both.insert(both.end(), gyroAttributes.begin(), gyroAttributes.end());
      gyroDevice = testbed_->addDevice("iio:device0", both, c.udev);
    } else {
      testbed_->addDevice("iio:device0", accel, c.udev);
      gyroDevice = testbed_->addDevice("iio:device1", gyroAttributes);
    }
    Recorder recorder;
    start(MotionStream::deviceMotion, recorder);
    ASSERT_TRUE(recorder.waitFor(3));
    expectNear(*recorder.deliveries().back().vector, {0, 0, -1}, "flat");

    testbed_->setAttribute(gyroDevice, "in_anglvel_x_raw", "1000");
    ASSERT_TRUE(recorder.waitUntil([](const auto& d) {
      return !d.empty() && d.back().vector &&
             d.back().vector->z > -std::cos(20 * std::numbers::pi / 180);
    }));
    manager_->stopUpdates(MotionStream::deviceMotion);
    const CMVector g = *recorder.deliveries().back().vector;
    const double along = c.axis == 0 ? g.x : g.y;
    const double across = c.axis == 0 ? g.y : g.x;
    EXPECT_LT(along, -0.3);
    EXPECT_NEAR(across, 0.0, 1e-6);
    EXPECT_NEAR(std::hypot(g.x, g.y, g.z), 1.0, 1e-9);
  }
}

// A manager whose only owner is its own handler goes when the last delivery lets go of it, on
// the queue or on the provider's thread, without a deadlock or a leaked thread.
TEST_F(IioMotionTest, aManagerOwnedByItsHandlerEndsCleanly) {
  testbed_->addDevice("iio:device0",
                      {{"in_magn_x_raw", "1"}, {"in_magn_y_raw", "2"}, {"in_magn_z_raw", "3"}});
  // Holds the manager; when the last delivery lets go of it, the manager goes first and then the
  // test hears of it.
  struct Owner {
    Owner(std::shared_ptr<CMMotionManager> m, std::shared_ptr<std::promise<void>> r)
        : manager(std::move(m)), released(std::move(r)) {}
    std::shared_ptr<CMMotionManager> manager;
    std::shared_ptr<std::promise<void>> released;
    int deliveries = 0;
    ~Owner() {
      manager.reset();
      released->set_value();
    }
  };
  for (int round = 0; round < 10; ++round) {
    auto released = std::make_shared<std::promise<void>>();
    auto future = released->get_future();
    {
      auto owner = std::make_shared<Owner>(service_->makeMotionManager(), released);
      owner->manager->setMagnetometerUpdateInterval(0.005);
      owner->manager->startUpdates(MotionStream::magnetometer, queue_,
                                   [owner](const CMVector*, const NSError*) {
                                     if (++owner->deliveries == 3) {
                                       owner->manager->stopMagnetometerUpdates();
                                     }
                                   });
      EXPECT_TRUE(owner->manager->isMagnetometerActive());
    }
    ASSERT_EQ(future.wait_for(kDeadline), std::future_status::ready) << "round " << round;
  }
}

}  // namespace
}  // namespace pemdor
