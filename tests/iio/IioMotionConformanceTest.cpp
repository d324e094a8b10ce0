// The motion conformance suite against the IIO provider on a faked sysfs (under
// umockdev-wrapper): an IMU with an accelerometer and a gyroscope, and no magnetometer.

#include <memory>
#include <string>

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

}  // namespace

namespace motion_conformance {
INSTANTIATE_TYPED_TEST_SUITE_P(Iio, MotionConformance, IioMotionProvider);
}  // namespace motion_conformance

}  // namespace pemdor
