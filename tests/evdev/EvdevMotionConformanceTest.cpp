// SPDX-License-Identifier: MIT
// The motion conformance suite against the input-device provider on a faked evdev node (under
// umockdev-wrapper): a game controller's motion node with an accelerometer and a gyroscope,
// sending frames at 250 per second, and no magnetometer.

#include <linux/input-event-codes.h>

#include <memory>
#include <string>
#include <vector>

#include "InputTestbed.h"
#include "motion_conformance.h"
#include "pemdor/platform/Providers.h"

namespace pemdor {
namespace {

class EvdevMotionProvider {
 public:
  static bool usable(std::string& why) {
    if (!evdevProviderBuilt()) {
      why = "this build has no input-device provider";
      return false;
    }
    if (!evdev_test::InputTestbed::inMockEnvironment()) {
      why = "the input-device tests run under umockdev-wrapper";
      return false;
    }
    return true;
  }

  explicit EvdevMotionProvider(std::shared_ptr<Dispatcher> dispatcher)
      : service_(makeEvdevMotionService(std::move(dispatcher))) {
    evdev_test::InputDevice device{7, "Wireless Controller Motion Sensors"};
    device.axes = {{ABS_X, 12, 8192}, {ABS_Y, -40, 8192}, {ABS_Z, 8192, 8192},
                   {ABS_RX, 3, 1024}, {ABS_RY, -1, 1024}, {ABS_RZ, 0, 1024}};
    EXPECT_FALSE(testbed_.add(device).empty()) << testbed_.error();
    std::vector<evdev_test::Frame> frames;
    for (int i = 0; i < 5000; ++i) {
      frames.push_back({0.004 * i, {{ABS_X, 12 + i % 3}, {ABS_RX, 3 + i % 5}}});
    }
    EXPECT_TRUE(testbed_.play(7, evdev_test::evemuEvents(frames)));
  }

  std::shared_ptr<MotionService> service() { return service_; }
  MotionStream unavailableStream() const { return MotionStream::magnetometer; }

 private:
  evdev_test::InputTestbed testbed_;
  std::shared_ptr<MotionService> service_;
};

}  // namespace

namespace motion_conformance {
INSTANTIATE_TYPED_TEST_SUITE_P(Evdev, MotionConformance, EvdevMotionProvider);
}  // namespace motion_conformance

}  // namespace pemdor
