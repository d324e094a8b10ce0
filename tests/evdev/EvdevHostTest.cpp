// SPDX-License-Identifier: MIT
// The sample host on fake input devices: what `pemdor-sensors info` reports of them, and that a
// node the process cannot open is one line there while the other devices still serve a run. The
// host runs as a child under the same umockdev preload, so it sees the test's devices.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <string>

#include "ChildRun.h"
#include "InputTestbed.h"
#include "SkipOrFail.h"

namespace pemdor {
namespace {

using evdev_test::Axis;
using evdev_test::InputDevice;
using evdev_test::InputTestbed;
using ::testing::HasSubstr;
using ::testing::Not;

class EvdevHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef PEMDOR_SENSORS_BINARY
    GTEST_SKIP() << "this build has no sample host";
#endif
    if (!InputTestbed::inMockEnvironment()) {
      PEMDOR_SKIP_OR_FAIL_IN_CI("the input-device tests run under umockdev-wrapper");
    }
    testbed_ = std::make_unique<InputTestbed>();
    // A laptop accelerometer, and a controller's motion node with a mount matrix from hwdb.
    ASSERT_FALSE(testbed_
                     ->add({3,
                            "ST LIS3LV02DL Accelerometer",
                            {{ABS_X, 18, 1000}, {ABS_Y, -36, 1000}, {ABS_Z, 1002, 1000}}})
                     .empty())
        << testbed_->error();
    InputDevice controller{7,
                           "Wireless Controller Motion Sensors",
                           {{ABS_X, 0, 8192},
                            {ABS_Y, 8192, 8192},
                            {ABS_Z, 0, 8192},
                            {ABS_RX, 0, 1024},
                            {ABS_RY, 0, 1024},
                            {ABS_RZ, 1024, 1024}}};
    controller.properties = {{"ACCEL_MOUNT_MATRIX", "1, 0, 0; 0, 0, 1; 0, 1, 0"}};
    ASSERT_FALSE(testbed_->add(controller).empty()) << testbed_->error();
  }

  std::unique_ptr<InputTestbed> testbed_;
};

#ifdef PEMDOR_SENSORS_BINARY
TEST_F(EvdevHostTest, infoListsInputDevicesNextToTheIioOnes) {
  const auto text = test::runChild(PEMDOR_SENSORS_BINARY, {"info", "--location", "none"}, 60.0);
  ASSERT_EQ(text.status(), 0) << test::describe(text) << text.err;
  EXPECT_THAT(text.out, HasSubstr("motion: evdev (found)\n"));
  EXPECT_THAT(text.out, HasSubstr("IIO devices: none\nInput motion devices:\n"));
  EXPECT_THAT(text.out,
              HasSubstr("  /dev/input/event3: name \"ST LIS3LV02DL Accelerometer\", matrix 1, 0, "
                        "0; 0, 1, 0; 0, 0, 1 (none)\n    accel: ABS_X 1000, ABS_Y 1000, ABS_Z 1000 "
                        "units/g (driver); chosen for accelerometer, deviceMotion\n"));
  EXPECT_THAT(text.out,
              HasSubstr("  /dev/input/event7: name \"Wireless Controller Motion Sensors\", matrix "
                        "1, 0, 0; 0, 0, 1; 0, 1, 0 (udev)\n    accel: ABS_X 8192, ABS_Y 8192, "
                        "ABS_Z 8192 units/g (driver); not chosen\n    gyro: ABS_RX 1024, ABS_RY "
                        "1024, ABS_RZ 1024 units/(deg/s) (driver); chosen for gyroscope\n"));

  const auto json = test::runChild(PEMDOR_SENSORS_BINARY,
                                   {"info", "--location", "none", "--format", "json"}, 60.0);
  ASSERT_EQ(json.status(), 0) << test::describe(json) << json.err;
  const auto report = nlohmann::json::parse(json.out);
  ASSERT_TRUE(report.contains("inputDevices"));
  const auto& devices = report["inputDevices"];
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[1]["node"], "/dev/input/event7");
  EXPECT_TRUE(devices[1]["problem"].is_null());
  EXPECT_EQ(devices[1]["matrixSource"], "udev");
  EXPECT_EQ(devices[1]["matrix"], nlohmann::json::parse("[[1,0,0],[0,0,1],[0,1,0]]"));
  EXPECT_EQ(devices[1]["sensors"][1]["kind"], "gyro");
  EXPECT_EQ(devices[1]["sensors"][1]["resolution"], nlohmann::json::parse("[1024,1024,1024]"));
  EXPECT_EQ(devices[1]["sensors"][1]["chosenFor"], nlohmann::json::parse("[\"gyroscope\"]"));
}

// Input nodes are often readable only by root and the input group. A node that cannot be opened
// is one clear line, and the run goes on with the devices that can be: the host runs without the
// capability that lets root read any file, and the node's file has no permissions.
TEST_F(EvdevHostTest, anUnreadableNodeIsOneLineAndTheOthersStillServe) {
  ASSERT_FALSE(testbed_
                   ->add({2,
                          "Wireless Controller Motion Sensors",
                          {{ABS_X, 0, 8192}, {ABS_Y, 0, 8192}, {ABS_Z, 8192, 8192}}})
                   .empty());
  ASSERT_EQ(::chmod(testbed_->nodeFile(2).c_str(), 0), 0);
  const std::vector<std::string> withoutOverride = {"--bounding-set=-dac_override,-dac_read_search",
                                                    "--inh-caps=-all", "--", PEMDOR_SENSORS_BINARY};
  auto command = [&](std::vector<std::string> args) {
    std::vector<std::string> all = withoutOverride;
    all.insert(all.end(), args.begin(), args.end());
    return test::runChild("/usr/bin/setpriv", all, 60.0);
  };
  const auto info = command({"info", "--location", "none"});
  ASSERT_EQ(info.status(), 0) << test::describe(info) << info.err;
  EXPECT_THAT(info.out, HasSubstr("Input motion devices:\n  /dev/input/event2: permission denied\n"
                                  "  /dev/input/event3: name"));
  EXPECT_THAT(info.out, HasSubstr("units/g (driver); chosen for accelerometer, deviceMotion"));

  const auto sync = command({"sync", "--location", "none", "--limit", "3"});
  ASSERT_EQ(sync.status(), 0) << test::describe(sync) << sync.err;
  EXPECT_THAT(sync.out, HasSubstr("Accelerometer:\n  -0.018000,0.036000,-1.002000,"));
  // The controller's hwdb matrix turns its z axis into y.
  EXPECT_THAT(sync.out, HasSubstr("Gyroscope:\n  0.000000,0.017453,0.000000,"));
  EXPECT_THAT(sync.out, Not(HasSubstr("Magnetometer:\n  ")));
}
#endif

}  // namespace
}  // namespace pemdor
