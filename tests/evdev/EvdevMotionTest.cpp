// SPDX-License-Identifier: MIT
// The input-device motion provider reading fake evdev nodes under umockdev-wrapper: umockdev
// answers libevdev's ioctls from a recording and plays evemu events into the node at their own
// pace. Sampling runs on the provider's own thread in real time, so each test waits for
// deliveries with a generous deadline instead of sleeping.

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../../platform/evdev/EvdevDevices.h"
#include "InputTestbed.h"
#include "SkipOrFail.h"
#include "pemdor/platform/Providers.h"
#include "pemdor/platform/RealDispatcher.h"
#include "provider_rig.h"

namespace pemdor {
namespace {

using evdev_test::Axis;
using evdev_test::Frame;
using evdev_test::InputDevice;
using evdev_test::InputTestbed;

constexpr double kInterval = 0.02;
constexpr double kRadiansPerDegree = std::numbers::pi / 180.0;

using test::Delivery;
using test::Recorder;

bool near(const CMVector& a, const CMVector& b, double tolerance = 1e-6) {
  return std::abs(a.x - b.x) <= tolerance && std::abs(a.y - b.y) <= tolerance &&
         std::abs(a.z - b.z) <= tolerance;
}

std::string text(const CMVector& v) {
  return "(" + std::to_string(v.x) + ", " + std::to_string(v.y) + ", " + std::to_string(v.z) + ")";
}

// An accelerometer triple with `resolution` units per g and the given raw values.
std::vector<Axis> accelAxes(int resolution, int x, int y, int z) {
  return {{ABS_X, x, resolution}, {ABS_Y, y, resolution}, {ABS_Z, z, resolution}};
}
std::vector<Axis> gyroAxes(int resolution, int x, int y, int z) {
  return {{ABS_RX, x, resolution}, {ABS_RY, y, resolution}, {ABS_RZ, z, resolution}};
}

// A game controller's motion node: accelerometer 8192 units/g, gyroscope 1024 units/(deg/s),
// lying flat and still.
InputDevice controller(unsigned number) {
  InputDevice device{number, "Wireless Controller Motion Sensors", accelAxes(8192, 0, 0, 8192)};
  for (const Axis& axis : gyroAxes(1024, 0, 0, 0)) device.axes.push_back(axis);
  return device;
}

const EvdevDeviceReport* findReport(const std::vector<EvdevDeviceReport>& report,
                                    const std::string& node) {
  for (const EvdevDeviceReport& device : report) {
    if (device.node == node) return &device;
  }
  return nullptr;
}

const EvdevSensorReport* findSensor(const EvdevDeviceReport& device, const std::string& kind) {
  for (const EvdevSensorReport& sensor : device.sensors) {
    if (sensor.kind == kind) return &sensor;
  }
  return nullptr;
}

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : ",") + word;
  return text;
}

class EvdevMotionTest : public test::ProviderTest<InputTestbed> {
 protected:
  EvdevMotionTest()
      : ProviderTest([](auto dispatcher) { return makeEvdevMotionService(std::move(dispatcher)); },
                     "input-device", kInterval) {}

  std::string add(const InputDevice& device) {
    const std::string syspath = testbed_->add(device);
    EXPECT_FALSE(syspath.empty()) << testbed_->error();
    return syspath;
  }

  // An IIO accelerometer lying flat: 981 × 0.01 m/s² on its z axis.
  void addFlatIioAccelerometer() {
    EXPECT_FALSE(testbed_
                     ->addIio("iio:device0", {{"name", "accel_3d"},
                                              {"in_accel_x_raw", "0"},
                                              {"in_accel_y_raw", "0"},
                                              {"in_accel_z_raw", "981"},
                                              {"in_accel_scale", "0.01"}})
                     .empty())
        << testbed_->error();
  }
};

// A laptop accelerometer (lis3lv02d) lying flat: its state, with no events at all (the input
// core sends none while values stay the same), reads (0, 0, -1) g.
TEST_F(EvdevMotionTest, laptopAccelerometerReadsGravityFromItsState) {
  EXPECT_FALSE(evdevMotionDevicesPresent());
  EXPECT_FALSE(manager_->isAccelerometerAvailable());
  add({3, "ST LIS3LV02DL Accelerometer", accelAxes(1000, 20, -10, 1000)});
  EXPECT_TRUE(evdevMotionDevicesPresent());
  EXPECT_TRUE(manager_->isAccelerometerAvailable());
  EXPECT_TRUE(manager_->isDeviceMotionAvailable());
  EXPECT_FALSE(manager_->isGyroAvailable());
  EXPECT_FALSE(manager_->isMagnetometerAvailable());

  Recorder accel;
  Recorder motion;
  start(MotionStream::accelerometer, accel);
  start(MotionStream::deviceMotion, motion);
  const CMVector flat{-0.02, 0.01, -1.0};
  EXPECT_TRUE(accel.waitForVector([&](const CMVector& v) { return near(v, flat); }));
  EXPECT_TRUE(motion.waitForVector([&](const CMVector& v) { return near(v, flat, 1e-3); }));
  manager_->stopUpdates(MotionStream::accelerometer);
  manager_->stopUpdates(MotionStream::deviceMotion);
  for (const Delivery& d : accel.deliveries()) {
    ASSERT_TRUE(d.vector) << (d.error ? d.error->localizedDescription : "");
    EXPECT_TRUE(near(*d.vector, flat)) << text(*d.vector);
  }

  const auto report = evdevDeviceReport();
  const EvdevDeviceReport* device = findReport(report, "/dev/input/event3");
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->name, "ST LIS3LV02DL Accelerometer");
  EXPECT_EQ(device->problem, "");
  EXPECT_EQ(device->matrixSource, "none");
  ASSERT_EQ(device->sensors.size(), 1u);
  EXPECT_EQ(device->sensors[0].kind, "accel");
  EXPECT_EQ(device->sensors[0].resolutionSource, "driver");
  EXPECT_EQ(device->sensors[0].resolution, (std::array<int, 3>{1000, 1000, 1000}));
  EXPECT_EQ(joined(device->sensors[0].chosenFor), "accelerometer,deviceMotion");
}

// A controller sends frames at 250 per second; each tick takes the latest one. The gyroscope's
// units are degrees per second, delivered as rad/s, and device motion's gravity keeps 1 g.
TEST_F(EvdevMotionTest, controllerServesAccelerometerGyroscopeAndDeviceMotion) {
  add(controller(7));
  std::vector<Frame> frames;
  for (int i = 0; i < 2500; ++i) {
    // Turning about x at 90 °/s for ten seconds, the accelerometer still reading 1 g.
    frames.push_back(
        {0.004 * i, {{ABS_X, 0}, {ABS_Y, 0}, {ABS_Z, 8192 + (i % 2)}, {ABS_RX, 92160}}});
  }
  ASSERT_TRUE(testbed_->play(7, evdev_test::evemuEvents(frames)));
  EXPECT_TRUE(manager_->isGyroAvailable());
  EXPECT_FALSE(manager_->isMagnetometerAvailable());

  Recorder accel;
  Recorder gyro;
  Recorder motion;
  start(MotionStream::accelerometer, accel);
  start(MotionStream::gyro, gyro);
  start(MotionStream::deviceMotion, motion);
  EXPECT_TRUE(gyro.waitForVector([](const CMVector& v) {
    return near(v, {90.0 * kRadiansPerDegree, 0.0, 0.0}, 1e-9);
  }));
  EXPECT_TRUE(accel.waitForVector(
      [](const CMVector& v) { return std::abs(v.z + 1.0) < 1e-3 && v.x == 0.0 && v.y == 0.0; }));
  EXPECT_TRUE(motion.waitUntil([](const auto& d) { return d.size() >= 5; }));
  for (const Delivery& d : motion.deliveries()) {
    ASSERT_TRUE(d.vector) << (d.error ? d.error->localizedDescription : "");
    const double magnitude = std::hypot(d.vector->x, d.vector->y, d.vector->z);
    EXPECT_NEAR(magnitude, 1.0, 0.05) << text(*d.vector);
  }

  const auto report = evdevDeviceReport();
  const EvdevDeviceReport* device = findReport(report, "/dev/input/event7");
  ASSERT_NE(device, nullptr);
  ASSERT_NE(findSensor(*device, "gyro"), nullptr);
  EXPECT_EQ(findSensor(*device, "gyro")->resolution, (std::array<int, 3>{1024, 1024, 1024}));
  EXPECT_EQ(joined(findSensor(*device, "gyro")->chosenFor), "gyroscope");
  EXPECT_EQ(joined(findSensor(*device, "accel")->chosenFor), "accelerometer,deviceMotion");
}

// Units where the driver gives no resolution: udev's EVDEV_ABS_ property where hwdb has one;
// otherwise an accelerometer takes its first reading as 1 g, and a gyroscope is not used.
TEST_F(EvdevMotionTest, aDriverWithoutResolutionTakesUdevsOrCalibratesAtRest) {
  InputDevice hdaps{4, "hdaps", accelAxes(0, 0, 0, 300)};
  for (const Axis& axis : gyroAxes(0, 5, 5, 5)) hdaps.axes.push_back(axis);
  add(hdaps);
  InputDevice applesmc{5, "applesmc", accelAxes(0, 0, 128, 0)};
  applesmc.properties = {
      {"EVDEV_ABS_00", "::128"}, {"EVDEV_ABS_01", "-256:256:128:4:0"}, {"EVDEV_ABS_02", ":::8"}};
  add(applesmc);
  // The calibrated device turns: whichever frame calibrated it, both have the magnitude of 1 g.
  ASSERT_TRUE(testbed_->play(
      4, evdev_test::evemuEvents({{0.3, {{ABS_X, 180}, {ABS_Y, 240}, {ABS_Z, 0}}}})));
  EXPECT_FALSE(manager_->isGyroAvailable());

  Recorder accel;
  start(MotionStream::accelerometer, accel);
  EXPECT_TRUE(accel.waitForVector([](const CMVector& v) { return near(v, {-0.6, -0.8, 0}); }));
  manager_->stopUpdates(MotionStream::accelerometer);
  for (const Delivery& d : accel.deliveries()) {
    ASSERT_TRUE(d.vector) << (d.error ? d.error->localizedDescription : "");
    EXPECT_TRUE(near(*d.vector, {0, 0, -1}) || near(*d.vector, {-0.6, -0.8, 0})) << text(*d.vector);
  }

  const auto report = evdevDeviceReport();
  const EvdevDeviceReport* calibrated = findReport(report, "/dev/input/event4");
  ASSERT_NE(calibrated, nullptr);
  EXPECT_EQ(findSensor(*calibrated, "accel")->resolutionSource, "calibrated");
  EXPECT_EQ(findSensor(*calibrated, "gyro")->resolutionSource, "none");
  EXPECT_FALSE(findSensor(*calibrated, "gyro")->usable);
  EXPECT_NE(joined(calibrated->notes).find("1 g is taken from the magnitude of the first reading"),
            std::string::npos)
      << joined(calibrated->notes);
  const EvdevDeviceReport* fromUdev = findReport(report, "/dev/input/event5");
  ASSERT_NE(fromUdev, nullptr);
  const EvdevSensorReport* udevAccel = findSensor(*fromUdev, "accel");
  ASSERT_NE(udevAccel, nullptr);
  // EVDEV_ABS_02 sets only the fuzz: that axis has no resolution, so the triple is calibrated.
  EXPECT_EQ(udevAccel->resolutionSource, "calibrated");
  EXPECT_NE(joined(fromUdev->notes).find("EVDEV_ABS_02"), std::string::npos);
}

TEST_F(EvdevMotionTest, aResolutionFromUdevGivesTheUnits) {
  InputDevice applesmc{5, "applesmc", accelAxes(0, 0, 64, 0)};
  applesmc.properties = {
      {"EVDEV_ABS_00", "::128"}, {"EVDEV_ABS_01", "-256:256:128:4:0"}, {"EVDEV_ABS_02", "::128"}};
  add(applesmc);
  Recorder accel;
  start(MotionStream::accelerometer, accel);
  EXPECT_TRUE(accel.waitForVector([](const CMVector& v) { return near(v, {0, -0.5, 0}); }));
  const auto report = evdevDeviceReport();
  ASSERT_EQ(report.size(), 1u);
  EXPECT_EQ(report[0].sensors[0].resolutionSource, "udev");
  EXPECT_EQ(report[0].sensors[0].resolution, (std::array<int, 3>{128, 128, 128}));
}

// hwdb's ACCEL_MOUNT_MATRIX turns both sensors into the device frame; a malformed one is
// refused with a note, and the readings stay in the sensor's frame.
TEST_F(EvdevMotionTest, theHwdbMountMatrixTurnsBothSensors) {
  InputDevice mounted{6, "ST LIS3LV02DL Accelerometer", accelAxes(1000, 1000, 0, 0)};
  for (const Axis& axis : gyroAxes(10, 100, 0, 0)) mounted.axes.push_back(axis);
  mounted.properties = {{"ACCEL_MOUNT_MATRIX", "0, 1, 0; 1, 0, 0; 0, 0, -1"}};
  add(mounted);
  InputDevice malformed{9, "Wireless Controller Motion Sensors", accelAxes(1000, 1000, 0, 0)};
  malformed.properties = {{"ACCEL_MOUNT_MATRIX", "0, 1; 1, 0"}};
  add(malformed);

  Recorder accel;
  Recorder gyro;
  start(MotionStream::accelerometer, accel);
  start(MotionStream::gyro, gyro);
  EXPECT_TRUE(accel.waitForVector([](const CMVector& v) { return near(v, {0, -1, 0}); }));
  EXPECT_TRUE(gyro.waitForVector([](const CMVector& v) {
    return near(v, {0, 10 * kRadiansPerDegree, 0});
  }));

  const auto report = evdevDeviceReport();
  const EvdevDeviceReport* good = findReport(report, "/dev/input/event6");
  ASSERT_NE(good, nullptr);
  EXPECT_EQ(good->matrixSource, "udev");
  EXPECT_EQ(good->matrix, (std::array<double, 9>{0, 1, 0, 1, 0, 0, 0, 0, -1}));
  const EvdevDeviceReport* bad = findReport(report, "/dev/input/event9");
  ASSERT_NE(bad, nullptr);
  EXPECT_EQ(bad->matrixSource, "none");
  EXPECT_NE(joined(bad->notes).find("ACCEL_MOUNT_MATRIX \"0, 1; 1, 0\" refused"), std::string::npos)
      << joined(bad->notes);
}

// After a SYN_DROPPED the frame under way is dropped and the node's state, as the kernel gives
// it on request, becomes the reading; the events after the drop are taken again.
TEST_F(EvdevMotionTest, synDroppedBringsTheStateUpToDate) {
  add({8, "Wireless Controller Motion Sensors", accelAxes(100, 0, 0, 100)});
  std::string events = evdev_test::evemuEvents({{0.2, {{ABS_X, 50}}}});
  // A frame cut short by the overflow: its x never reaches a reading.
  events += "E: 0.400000 0003 0000 77\n";
  events += evdev_test::synDropped(0.4);
  events += evdev_test::evemuEvents({{1.0, {{ABS_Y, 100}, {ABS_Z, 0}}}});
  ASSERT_TRUE(testbed_->play(8, events));

  Recorder accel;
  start(MotionStream::accelerometer, accel);
  EXPECT_TRUE(accel.waitForVector([](const CMVector& v) { return near(v, {0, -1, 0}); }));
  manager_->stopUpdates(MotionStream::accelerometer);
  bool sawFrame = false;
  bool sawSynced = false;
  for (const Delivery& d : accel.deliveries()) {
    ASSERT_TRUE(d.vector);
    EXPECT_NE(d.vector->x, -0.77) << "a frame cut short by SYN_DROPPED was used";
    if (near(*d.vector, {-0.5, 0, -1})) sawFrame = true;
    // The synced state is the node's own (the recording's 0, 0, 100).
    if (sawFrame && near(*d.vector, {0, 0, -1})) sawSynced = true;
  }
  EXPECT_TRUE(sawFrame);
  EXPECT_TRUE(sawSynced);
}

// An unplugged controller ends its streams as a vanished IIO device does: each tick delivers no
// reading and an error saying why, and the streams are no longer available.
TEST_F(EvdevMotionTest, unpluggingEndsTheStreamsWithAnError) {
  const std::string syspath = add(controller(7));
  Recorder accel;
  Recorder gyro;
  start(MotionStream::accelerometer, accel);
  start(MotionStream::gyro, gyro);
  ASSERT_TRUE(accel.waitUntil([](const auto& d) { return d.size() >= 2; }));
  ASSERT_TRUE(gyro.waitUntil([](const auto& d) { return d.size() >= 2; }));
  testbed_->remove(syspath);
  const auto failed = [](const auto& d) {
    return d.size() >= 2 && d.back().error && d[d.size() - 2].error;
  };
  ASSERT_TRUE(accel.waitUntil(failed));
  ASSERT_TRUE(gyro.waitUntil(failed));
  EXPECT_FALSE(manager_->isAccelerometerAvailable());
  EXPECT_FALSE(manager_->isGyroAvailable());
  manager_->stopUpdates(MotionStream::accelerometer);
  manager_->stopUpdates(MotionStream::gyro);
  bool sawRemoval = false;
  for (const Delivery& d : accel.deliveries()) {
    if (!d.error) continue;
    EXPECT_FALSE(d.vector);
    EXPECT_EQ(d.error->domain, "pemdor.evdev");
    EXPECT_EQ(d.error->code, ENODEV);
    if (d.error->localizedDescription == "accelerometer: /dev/input/event7: device removed") {
      sawRemoval = true;
    }
  }
  EXPECT_TRUE(sawRemoval);
}

// The Linux motion service: an IIO device serves what it can, input devices the rest.
TEST_F(EvdevMotionTest, anIioDeviceServesAStreamWhereOneCan) {
  add(controller(7));
  addFlatIioAccelerometer();
  const auto linux = makeLinuxMotionService(dispatcher_);
  ASSERT_NE(linux, nullptr);
  EXPECT_EQ(linux->name(), "iio+evdev");
  auto manager = linux->makeMotionManager();
  Recorder accel;
  Recorder gyro;
  manager->setUpdateInterval(MotionStream::accelerometer, kInterval);
  manager->setUpdateInterval(MotionStream::gyro, kInterval);
  manager->startUpdates(MotionStream::accelerometer, queue_, accel.handler());
  manager->startUpdates(MotionStream::gyro, queue_, gyro.handler());
  // 9.81 m/s² from IIO is 1.0003 g; the controller's own would be exactly 1.
  EXPECT_TRUE(
      accel.waitForVector([](const CMVector& v) { return std::abs(v.z + 9.81 / 9.80665) < 1e-9; }));
  EXPECT_TRUE(gyro.waitForVector([](const CMVector& v) { return near(v, {0, 0, 0}); }));
  manager->stopUpdates(MotionStream::accelerometer);
  manager->stopUpdates(MotionStream::gyro);
  EXPECT_FALSE(manager->isActive(MotionStream::accelerometer));
  manager.reset();

  const auto report = evdevDeviceReport();
  ASSERT_EQ(report.size(), 1u);
  EXPECT_TRUE(findSensor(report[0], "accel")->chosenFor.empty());
  EXPECT_EQ(joined(findSensor(report[0], "gyro")->chosenFor), "gyroscope");
  EXPECT_NE(joined(report[0].notes).find("accelerometer is served by an IIO device"),
            std::string::npos);
}

// Device lookups go through libudev, which keeps one random value for the whole process and
// writes it again, with no lock, whenever one of its internal maps grows. Lookups from
// several threads at once (a host asking what is available while the provider's thread binds
// its devices, or two reports) take turns, and each still sees every device; under
// ThreadSanitizer this fails when they do not.
TEST_F(EvdevMotionTest, devicesAreLookedUpFromSeveralThreadsAtOnce) {
  add(controller(7));
  add(controller(8));
  addFlatIioAccelerometer();
  constexpr std::size_t kThreads = 4;
  constexpr std::size_t kRounds = 8;
  std::vector<std::vector<std::size_t>> seen(kThreads);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&seen, t] {
      for (std::size_t round = 0; round < kRounds; ++round) {
        seen[t].push_back(evdevDeviceReport().size());
        seen[t].push_back(iioDeviceReport().size());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const auto& counts : seen) {
    ASSERT_EQ(counts.size(), 2 * kRounds);
    for (std::size_t i = 0; i < counts.size(); ++i) EXPECT_EQ(counts[i], i % 2 == 0 ? 2u : 1u);
  }
}

TEST(EvdevTextForms, mountMatricesAndUdevResolutions) {
  using evdev::parseEvdevAbsResolution;
  using evdev::parseMountMatrix;
  EXPECT_EQ(parseMountMatrix("0, -1, 0; 1, 0, 0; 0, 0, 1"),
            (evdev::Matrix{0, -1, 0, 1, 0, 0, 0, 0, 1}));
  EXPECT_EQ(parseMountMatrix(" 1,0,0;0,1,0;0,0,1\n"), evdev::kIdentity);
  EXPECT_EQ(parseMountMatrix("0.5, 0, 0; 0, 0.5, 0; 0, 0, 0.5"),
            (evdev::Matrix{0.5, 0, 0, 0, 0.5, 0, 0, 0, 0.5}));
  std::string problem;
  EXPECT_FALSE(parseMountMatrix("0, 0, 0; 0, 0, 0; 0, 0, 0", &problem));
  EXPECT_EQ(problem, "a matrix of zeros");
  EXPECT_FALSE(parseMountMatrix("1, 0, 0; 0, 1, 0", &problem));
  EXPECT_FALSE(parseMountMatrix("1, 0, 0; 0, 1, 0; 0, 0, 1; 1", &problem));
  EXPECT_FALSE(parseMountMatrix("1, 0, 0; 0, x, 0; 0, 0, 1", &problem));
  EXPECT_FALSE(parseMountMatrix("1, 0, 0; 0, inf, 0; 0, 0, 1", &problem));

  EXPECT_EQ(parseEvdevAbsResolution("::45"), 45);
  EXPECT_EQ(parseEvdevAbsResolution("256:1471:12"), 12);
  EXPECT_EQ(parseEvdevAbsResolution("29:2930:30:16"), 30);
  EXPECT_EQ(parseEvdevAbsResolution(":::8"), std::nullopt);
  EXPECT_EQ(parseEvdevAbsResolution("0:1024"), std::nullopt);
  EXPECT_EQ(parseEvdevAbsResolution("::-3"), std::nullopt);
  EXPECT_EQ(parseEvdevAbsResolution("::0"), std::nullopt);
}

}  // namespace
}  // namespace pemdor
