// SPDX-License-Identifier: MIT
// The motion conformance suite against the IIO provider on a faked sysfs (under
// umockdev-wrapper): an IMU with an accelerometer and a gyroscope, and no magnetometer.

#include <unistd.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "UmockdevTestbed.h"
#include "motion_conformance.h"
#include "pemdor/platform/Providers.h"

namespace pemdor {
namespace {

class IioMotionProvider {
 public:
  static bool usable(std::string& why) {
    if (!iioProviderBuilt()) {
      why = "this build has no IIO provider";
      return false;
    }
    if (!iio_test::UmockdevTestbed::inMockEnvironment()) {
      why = "the IIO tests run under umockdev-wrapper";
      return false;
    }
    return true;
  }

  explicit IioMotionProvider(std::shared_ptr<Dispatcher> dispatcher)
      : service_(makeIioMotionService(std::move(dispatcher))) {
    testbed_.addDevice("iio:device0", {{"name", "imu"},
                                       {"in_accel_x_raw", "12"},
                                       {"in_accel_y_raw", "-40"},
                                       {"in_accel_z_raw", "16384"},
                                       {"in_accel_scale", "0.000598"},
                                       {"in_anglvel_x_raw", "3"},
                                       {"in_anglvel_y_raw", "-1"},
                                       {"in_anglvel_z_raw", "0"},
                                       {"in_anglvel_scale", "0.000133"}});
  }

  std::shared_ptr<MotionService> service() { return service_; }
  MotionStream unavailableStream() const { return MotionStream::magnetometer; }

 private:
  iio_test::UmockdevTestbed testbed_;
  std::shared_ptr<MotionService> service_;
};

// Sensor-hub devices that give readings only through their buffers: an accelerometer and a
// gyroscope, each a device of its own with a trigger, and no magnetometer. Each device node
// has a new sample set whenever the last one was taken.
class IioBufferedMotionProvider {
 public:
  static bool usable(std::string& why) { return IioMotionProvider::usable(why); }

  explicit IioBufferedMotionProvider(std::shared_ptr<Dispatcher> dispatcher)
      : service_(makeIioMotionService(std::move(dispatcher))) {
    testbed_.addBufferedDevice(0, "accel", {{"in_accel_scale", "0.000598"}});
    testbed_.addBufferedDevice(1, "anglvel", {{"in_anglvel_scale", "0.000133"}});
    accel_.emplace(node("iio:device0"), std::array<std::int16_t, 3>{12, -40, 16384});
    gyro_.emplace(node("iio:device1"), std::array<std::int16_t, 3>{3, -1, 0});
  }

  ~IioBufferedMotionProvider() {
    accel_.reset();
    gyro_.reset();
    for (int fd : nodes_) ::close(fd);
  }

  std::shared_ptr<MotionService> service() { return service_; }
  MotionStream unavailableStream() const { return MotionStream::magnetometer; }

 private:
  int node(const std::string& id) {
    const int fd = testbed_.openDeviceNode(id);
    EXPECT_GE(fd, 0) << id;
    nodes_.push_back(fd);
    return fd;
  }

  iio_test::UmockdevTestbed testbed_;
  std::shared_ptr<MotionService> service_;
  std::optional<iio_test::SampleFeeder> accel_;
  std::optional<iio_test::SampleFeeder> gyro_;
  std::vector<int> nodes_;
};

}  // namespace

namespace motion_conformance {
INSTANTIATE_TYPED_TEST_SUITE_P(Iio, MotionConformance, IioMotionProvider);
INSTANTIATE_TYPED_TEST_SUITE_P(IioBuffered, MotionConformance, IioBufferedMotionProvider);
}  // namespace motion_conformance

}  // namespace pemdor
