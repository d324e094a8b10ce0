// SPDX-License-Identifier: MIT
// The IIO provider on the devices of real machines, faked by umockdev: udev's mount matrices and
// sensor locations, several devices of one kind, buffer-only devices fed through their character
// device, and a device that is slow to answer. The collector runs on them on the real
// dispatcher, and the device report says what was chosen and why.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "../../platform/iio/IioMotionService.h"
#include "../../platform/iio/IioVectorSource.h"
#include "ChildRun.h"
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
using Attributes = UmockdevTestbed::Attributes;

// With this scale a raw 1000 is one standard gravity, so readings come out in whole g.
constexpr const char* kOneGScale = "0.00980665";

// An accelerometer read through sysfs, raw values (x, y, z) at kOneGScale, with `extra`.
Attributes accelerometer(int x, int y, int z, Attributes extra = {}) {
  Attributes attributes = {{"name", "accel_3d"},
                           {"in_accel_x_raw", std::to_string(x)},
                           {"in_accel_y_raw", std::to_string(y)},
                           {"in_accel_z_raw", std::to_string(z)},
                           {"in_accel_scale", kOneGScale}};
  attributes.insert(attributes.end(), extra.begin(), extra.end());
  return attributes;
}

Attributes magnetometer(int x, int y, int z) {
  return {{"name", "magn_3d"},
          {"in_magn_x_raw", std::to_string(x)},
          {"in_magn_y_raw", std::to_string(y)},
          {"in_magn_z_raw", std::to_string(z)},
          {"in_magn_scale", "0.01"}};
}

using test::eventually;

// Writes sample sets of three little-endian signed 16-bit values into a device node.
void feed(int fd, std::initializer_list<std::array<std::int16_t, 3>> sets) {
  for (const auto& set : sets) {
    ASSERT_EQ(::write(fd, set.data(), sizeof set), static_cast<ssize_t>(sizeof set));
  }
}

const IioDeviceReport* findDevice(const std::vector<IioDeviceReport>& report,
                                  const std::string& id) {
  for (const IioDeviceReport& device : report) {
    if (device.id == id) return &device;
  }
  return nullptr;
}

// The streams device `id` serves with channels of `kind`, "" joined by ",".
std::string chosenFor(const std::vector<IioDeviceReport>& report, const std::string& id,
                      const std::string& kind) {
  const IioDeviceReport* device = findDevice(report, id);
  if (!device) return "(no device)";
  for (const IioChannelReport& channel : device->channels) {
    if (channel.kind != kind) continue;
    std::string text;
    for (const std::string& stream : channel.chosenFor) text += (text.empty() ? "" : ",") + stream;
    return text;
  }
  return "(no channel)";
}

std::string notesOf(const std::vector<IioDeviceReport>& report, const std::string& id) {
  const IioDeviceReport* device = findDevice(report, id);
  std::string text;
  if (device) {
    for (const std::string& note : device->notes) text += note + "\n";
  }
  return text;
}

class IioHardwareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!UmockdevTestbed::inMockEnvironment()) {
      PEMDOR_SKIP_OR_FAIL_IN_CI("the IIO tests run under umockdev-wrapper");
    }
    testbed_ = std::make_unique<UmockdevTestbed>();
    dispatcher_ = RealDispatcher::create();
    ASSERT_NE(dispatcher_, nullptr);
  }

  void TearDown() override {
    if (collector_) collector_->finishSensors();
    collector_.reset();
    platform_.reset();
    if (dispatcher_) dispatcher_->shutdown();
    for (int fd : nodes_) ::close(fd);
    testbed_.reset();
  }

  // A collector on the IIO provider, with no location service: the position part of a callback
  // run ends at once.
  PemdorDeviceSensorInfo& collector() {
    if (!collector_) {
      platform_ =
          Platform::create({dispatcher_, nullptr, makeIioMotionService(dispatcher_), nullptr});
      collector_ = PemdorDeviceSensorInfo::init(platform_);
    }
    return *collector_;
  }

  // The snapshot of one callback run, parsed.
  nlohmann::json callbackRun() {
    auto box = std::make_shared<Box>();
    collector().processSensorsWithCallBack(
        [box](const std::string&, const std::string&, const std::optional<std::string>& json) {
          std::lock_guard lock(box->mutex);
          box->json = json.value_or("null");
          box->done.notify_all();
        });
    std::unique_lock lock(box->mutex);
    if (!box->done.wait_for(lock, 20s, [&] { return box->json.has_value(); })) {
      ADD_FAILURE() << "no completion";
      return {};
    }
    return nlohmann::json::parse(*box->json);
  }

  // The first `count` records of each list of a sync run, the timestamps cut off; the run is
  // finished again.
  std::map<std::string, std::vector<std::string>> syncRun(std::size_t count = 5) {
    PemdorDeviceSensorInfo& c = collector();
    c.startSensors(static_cast<std::int32_t>(count));
    const auto full = [&] {
      return c.accelerometerRecords()->count() >= count && c.gravityRecords()->count() >= count;
    };
    EXPECT_TRUE(eventually(full));
    c.finishSensors();
    std::map<std::string, std::vector<std::string>> lists;
    for (const auto& [key, value] : c.getSensorData()) {
      if (const auto* list = std::get_if<PemdorRecordListRef>(&value)) {
        for (std::string record : (*list)->snapshot()) {
          lists[key].push_back(record.substr(0, record.rfind(',')));
        }
      }
    }
    return lists;
  }

  // Makes /dev/<id> a pipe that the test feeds; closed after the collector ends.
  int deviceNode(const std::string& id) {
    const int fd = testbed_->openDeviceNode(id);
    EXPECT_GE(fd, 0) << id;
    nodes_.push_back(fd);
    return fd;
  }

  struct Box {
    std::mutex mutex;
    std::condition_variable done;
    std::optional<std::string> json;
  };

  std::unique_ptr<UmockdevTestbed> testbed_;
  std::shared_ptr<RealDispatcher> dispatcher_;
  std::shared_ptr<Platform> platform_;
  std::shared_ptr<PemdorDeviceSensorInfo> collector_;
  std::vector<int> nodes_;
};

// hwdb's ACCEL_MOUNT_MATRIX turns the accelerometer (and the gravity derived from it) whether
// the driver gives a matrix of its own or none, and leaves the gyroscope on the same chip alone.
TEST_F(IioHardwareTest, hwdbMatrixOverridesTheSysfsOneAndStandsInForAMissingOne) {
  // The sensor reads -1 g along its x; the driver's matrix would turn that into +x in the device
  // frame (-1.00 on the platform's x), hwdb's turns it into +y (-1.00 on the platform's y).
  const std::string device =
      testbed_->addDevice("iio:device0",
                          accelerometer(-1000, 0, 0,
                                        {{"in_accel_mount_matrix", "-1, 0, 0; 0, -1, 0; 0, 0, 1"},
                                         {"in_anglvel_x_raw", "1"},
                                         {"in_anglvel_y_raw", "2"},
                                         {"in_anglvel_z_raw", "3"},
                                         {"in_anglvel_scale", "0.1"}}),
                          {{"ACCEL_MOUNT_MATRIX", "0, 1, 0; -1, 0, 0; 0, 0, 1"}});

  const auto snapshot = callbackRun();
  EXPECT_EQ(snapshot.at("Acceleration").at(0), "[0.00, -1.00, 0.00]");
  EXPECT_EQ(snapshot.at("Acceleration").at(9), "[0.00, -1.00, 0.00]");
  EXPECT_EQ(snapshot.at("Gyroscope").at(0), "[0.1000, 0.2000, 0.3000]");

  auto report = iioDeviceReport();
  ASSERT_EQ(report.size(), 1u);
  ASSERT_EQ(report[0].channels.size(), 2u);
  EXPECT_EQ(report[0].channels[0].kind, "accel");
  EXPECT_EQ(report[0].channels[0].matrixSource, "udev");
  EXPECT_EQ(report[0].channels[0].matrix, (std::array<double, 9>{0, 1, 0, -1, 0, 0, 0, 0, 1}));
  EXPECT_EQ(report[0].channels[1].matrixSource, "none");
  EXPECT_EQ(chosenFor(report, "iio:device0", "accel"), "accelerometer,deviceMotion");
  EXPECT_EQ(chosenFor(report, "iio:device0", "anglvel"), "gyroscope,deviceMotion");

  // Without the driver's matrix hwdb's still applies, to the sync run's gravity as well. The
  // device lies still, so its gyroscope now reads no rotation, which gravity would follow.
  ASSERT_TRUE(testbed_->removeAttribute(device, "in_accel_mount_matrix"));
  for (const char* axis : {"in_anglvel_x_raw", "in_anglvel_y_raw", "in_anglvel_z_raw"}) {
    testbed_->setAttribute(device, axis, "0");
  }
  const auto lists = syncRun();
  EXPECT_EQ(lists.at("Accelerometer").front(), "0.000000,-1.000000,0.000000");
  EXPECT_EQ(lists.at("Gravity").front(), "0.000000,-1.000000,0.000000");
  EXPECT_EQ(lists.at("Gravity").back(), "0.000000,-1.000000,0.000000");
}

// A matrix hwdb got wrong is never applied: the driver's matrix (or none) serves, and the report
// says what was refused and why.
TEST_F(IioHardwareTest, aMalformedHwdbMatrixIsIgnoredWithADiagnostic) {
  testbed_->addDevice(
      "iio:device0",
      accelerometer(-1000, 0, 0, {{"in_accel_mount_matrix", "-1, 0, 0; 0, -1, 0; 0, 0, 1"}}),
      {{"ACCEL_MOUNT_MATRIX", "0, 1; -1, 0"}});
  EXPECT_EQ(callbackRun().at("Acceleration").at(0), "[-1.00, 0.00, 0.00]");
  const auto report = iioDeviceReport();
  ASSERT_EQ(report.size(), 1u);
  EXPECT_EQ(report[0].channels.at(0).matrixSource, "sysfs");
  EXPECT_NE(notesOf(report, "iio:device0").find("ACCEL_MOUNT_MATRIX \"0, 1; -1, 0\" ignored"),
            std::string::npos)
      << notesOf(report, "iio:device0");
}

TEST(IioMountMatrixProblemTest, namesWhatIsWrongWithARefusedMatrix) {
  const auto problem = [](const char* text) {
    std::string why;
    EXPECT_FALSE(iio::parseMountMatrix(text, &why).has_value()) << text;
    return why;
  };
  EXPECT_EQ(problem("1, 0, 0; 0, 1, 0"), "not three rows separated by ';'");
  EXPECT_EQ(problem("1, 0; 0, 1, 0; 0, 0, 1"), "row 1 has not three numbers");
  EXPECT_EQ(problem("1, 0, 0; 0, one, 0; 0, 0, 1"), "\"one\" is not a number");
  EXPECT_EQ(problem("1, 0, 0; 0, nan, 0; 0, 0, 1"), "\"nan\" is not a number");
  EXPECT_EQ(problem("0, 0, 0; 0, 0, 0; 0, 0, 0"), "all zeros");
  EXPECT_EQ(iio::formatMountMatrix({0, 1, 0, -1, 0, 0, 0, 0, 0.5}), "0, 1, 0; -1, 0, 0; 0, 0, 0.5");
}

// A convertible: the display accelerometer serves over the base one whatever their numbers, a
// device lacking an axis never serves, and once the display one is gone the lone base
// accelerometer is still the accelerometer, which the report points out. An unlabelled device
// then serves over the base one.
TEST_F(IioHardwareTest, theDisplayAccelerometerServesOverTheBaseOne) {
  testbed_->addDevice("iio:device0", accelerometer(0, 0, 1000, {{"label", "accel-base"}}));
  const std::string display = testbed_->addDevice("iio:device1", accelerometer(1000, 0, 0),
                                                  {{"ACCEL_LOCATION", "display"}});
  testbed_->addDevice("iio:device2", {{"in_accel_x_raw", "5"}, {"in_accel_y_raw", "5"}});

  EXPECT_EQ(callbackRun().at("Acceleration").at(0), "[-1.00, 0.00, 0.00]");
  auto report = iioDeviceReport();
  ASSERT_EQ(report.size(), 3u);
  EXPECT_EQ(findDevice(report, "iio:device0")->location, "base");
  EXPECT_EQ(findDevice(report, "iio:device1")->location, "display");
  EXPECT_EQ(chosenFor(report, "iio:device0", "accel"), "");
  EXPECT_EQ(chosenFor(report, "iio:device1", "accel"), "accelerometer,deviceMotion");
  EXPECT_FALSE(findDevice(report, "iio:device2")->channels.at(0).complete);
  EXPECT_NE(notesOf(report, "iio:device2").find("accel lacks z"), std::string::npos);
  EXPECT_EQ(notesOf(report, "iio:device0"), "");

  testbed_->removeDevice(display);
  const auto lists = syncRun();
  EXPECT_EQ(lists.at("Accelerometer").front(), "0.000000,0.000000,-1.000000");
  report = iioDeviceReport();
  EXPECT_EQ(chosenFor(report, "iio:device0", "accel"), "accelerometer,deviceMotion");
  EXPECT_NE(notesOf(report, "iio:device0").find("the accelerometer is in the base"),
            std::string::npos);

  testbed_->addDevice("iio:device3", accelerometer(0, 1000, 0));
  EXPECT_EQ(callbackRun().at("Acceleration").at(0), "[0.00, -1.00, 0.00]");
  EXPECT_EQ(chosenFor(iioDeviceReport(), "iio:device3", "accel"), "accelerometer,deviceMotion");
}

// Of two magnetometers that can be read, the lower-numbered one serves: here the one in a nine-
// axis chip over a separate one. A lower-numbered device without a z axis is passed over.
TEST_F(IioHardwareTest, ofTwoMagnetometersTheLowerNumberedCompleteOneServes) {
  testbed_->addDevice("iio:device0", {{"in_magn_x_raw", "1"}, {"in_magn_y_raw", "1"}});
  Attributes nineAxis = accelerometer(0, 0, 1000);
  for (auto attribute : magnetometer(2000, -500, 1000)) {
    if (attribute.first != "name") nineAxis.push_back(attribute);
  }
  for (auto attribute : Attributes{
           {"in_anglvel_x_raw", "0"}, {"in_anglvel_y_raw", "0"}, {"in_anglvel_z_raw", "0"}}) {
    nineAxis.push_back(attribute);
  }
  testbed_->addDevice("iio:device1", nineAxis);
  testbed_->addDevice("iio:device2", magnetometer(-3000, 0, 100));

  EXPECT_EQ(callbackRun().at("Magnetic").at(0), "[2000.0000, -500.0000, 1000.0000]");
  EXPECT_EQ(syncRun().at("Magnetometer").front(), "2000.000000,-500.000000,1000.000000");
  const auto report = iioDeviceReport();
  EXPECT_EQ(chosenFor(report, "iio:device1", "magn"), "magnetometer");
  EXPECT_EQ(chosenFor(report, "iio:device2", "magn"), "");
}

// A device with scan elements and a trigger but no sysfs values is read through its buffer: the
// latest sample set at each read, with the same scale, offset and (hwdb) matrix as sysfs values.
// The accelerometer and the gravity derived from it share the one buffer the kernel allows, and
// a sample set that comes while the streams run reaches them.
TEST_F(IioHardwareTest, aBufferOnlyAccelerometerIsReadThroughItsBuffer) {
  testbed_->addBufferedDevice(0, "accel",
                              {{"in_accel_scale", kOneGScale}, {"in_accel_z_offset", "10"}});
  const int node = deviceNode("iio:device0");
  // The first set is stale by the time the run reads: only the latest counts.
  feed(node, {{{500, 500, 500}}, {{0, 0, 990}}});

  const auto snapshot = callbackRun();
  ASSERT_EQ(snapshot.at("Acceleration").size(), 10u);
  for (const auto& reading : snapshot.at("Acceleration")) {
    EXPECT_EQ(reading, "[0.00, 0.00, -1.00]");
  }
  const auto report = iioDeviceReport();
  ASSERT_EQ(report.size(), 1u);
  EXPECT_EQ(report[0].trigger, "accel-dev0");
  EXPECT_EQ(report[0].channels.at(0).readMode, "buffer");
  EXPECT_EQ(chosenFor(report, "iio:device0", "accel"), "accelerometer,deviceMotion");

  feed(node, {{{1000, 0, -10}}});
  PemdorDeviceSensorInfo& c = collector();
  c.startSensors(1000);
  ASSERT_TRUE(eventually(
      [&] { return c.accelerometerRecords()->count() >= 3 && c.gravityRecords()->count() >= 3; }));
  EXPECT_EQ(c.accelerometerRecords()->at(0)->substr(0, 27), "-1.000000,0.000000,0.000000");
  EXPECT_EQ(c.gravityRecords()->at(0)->substr(0, 27), "-1.000000,0.000000,0.000000");
  feed(node, {{{0, 1000, -10}}});
  ASSERT_TRUE(eventually([&] {
    const auto last = c.accelerometerRecords()->snapshot().back();
    return last.substr(0, 27) == "0.000000,-1.000000,0.000000";
  }));
  c.finishSensors();
}

// Buffered channels of other storage widths and signs: libiio hands each value over in its
// storage width, and the provider reads it as the channel's signed or unsigned integer.
TEST_F(IioHardwareTest, bufferedChannelsOfEveryStorageWidthAndSign) {
  struct Case {
    const char* type;
    std::vector<unsigned char> set;
    const char* expected;
  };
  auto bytesOf = [](auto x, auto y, auto z) {
    std::vector<unsigned char> bytes(3 * sizeof x);
    std::memcpy(bytes.data(), &x, sizeof x);
    std::memcpy(bytes.data() + sizeof x, &y, sizeof y);
    std::memcpy(bytes.data() + 2 * sizeof x, &z, sizeof z);
    return bytes;
  };
  const std::vector<Case> cases = {
      {"le:u8/8>>0", bytesOf(std::uint8_t{250}, std::uint8_t{0}, std::uint8_t{125}),
       "-0.250000,0.000000,-0.125000"},
      {"le:s32/32>>0", bytesOf(std::int32_t{-2000000}, std::int32_t{0}, std::int32_t{500}),
       "2000.000000,0.000000,-0.500000"},
      {"le:u32/32>>0", bytesOf(std::uint32_t{4000000000u}, std::uint32_t{0}, std::uint32_t{1}),
       "-4000000.000000,0.000000,-0.001000"},
      {"le:s64/64>>0", bytesOf(std::int64_t{-3000}, std::int64_t{1000}, std::int64_t{0}),
       "3.000000,-1.000000,0.000000"},
  };
  unsigned number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    const std::string path =
        testbed_->addBufferedDevice(number, "accel", {{"in_accel_scale", kOneGScale}}, {}, c.type);
    const int node = deviceNode("iio:device" + std::to_string(number));
    ASSERT_EQ(::write(node, c.set.data(), c.set.size()), static_cast<ssize_t>(c.set.size()));
    const auto lists = syncRun(1);
    ASSERT_FALSE(lists.at("Accelerometer").empty());
    EXPECT_EQ(lists.at("Accelerometer").front(), c.expected);
    // The next case gets a collector of its own, on its own device.
    collector_.reset();
    platform_.reset();
    testbed_->removeDevice(path);
    ++number;
  }
}

// hwdb's matrix turns buffered values as it does sysfs ones.
TEST_F(IioHardwareTest, aBufferedAccelerometerTakesTheHwdbMatrix) {
  testbed_->addBufferedDevice(3, "accel", {{"in_accel_scale", kOneGScale}},
                              {{"ACCEL_MOUNT_MATRIX", "0, 1, 0; -1, 0, 0; 0, 0, 1"}});
  feed(deviceNode("iio:device3"), {{{1000, 0, 0}}});
  EXPECT_EQ(callbackRun().at("Acceleration").at(0), "[0.00, 1.00, 0.00]");
}

#ifdef PEMDOR_SENSORS_BINARY
// `pemdor-sensors info` lists each device with its channels, the streams it serves, its matrix
// and where that came from, and how it is read; with --format json as one object. (The child
// inherits umockdev's preload and sees the same fake devices.)
TEST_F(IioHardwareTest, theInfoCommandReportsEachDevice) {
  testbed_->addDevice("iio:device0", accelerometer(0, 0, 1000, {{"label", "accel-base"}}),
                      {{"ACCEL_MOUNT_MATRIX", "0, 0, 0; 0, 0, 0; 0, 0, 0"}});
  testbed_->addBufferedDevice(1, "accel", {{"label", "accel-display"}},
                              {{"ACCEL_MOUNT_MATRIX", "0, 1, 0; -1, 0, 0; 0, 0, 1"}});
  testbed_->addDevice("iio:device2", magnetometer(1, 2, 3));

  const auto json = test::runChild(PEMDOR_SENSORS_BINARY,
                                   {"info", "--format", "json", "--location", "none"}, 60.0);
  ASSERT_EQ(json.status(), 0) << test::describe(json) << json.err;
  const auto report = nlohmann::json::parse(json.out);
  EXPECT_EQ(report.at("availableSensors"), "SensorsAccelerometerMagnetometer");
  const auto& devices = report.at("iioDevices");
  ASSERT_EQ(devices.size(), 3u) << json.out;
  EXPECT_EQ(devices[0].at("location"), "base");
  EXPECT_EQ(devices[0].at("channels")[0].at("matrixSource"), "none");
  EXPECT_EQ(devices[0].at("channels")[0].at("chosenFor"), nlohmann::json::array());
  EXPECT_NE(devices[0].at("notes")[0].get<std::string>().find("all zeros"), std::string::npos);
  EXPECT_EQ(devices[1].at("label"), "accel-display");
  EXPECT_EQ(devices[1].at("trigger"), "accel-dev1");
  const auto& display = devices[1].at("channels")[0];
  EXPECT_EQ(display.at("read"), "buffer");
  EXPECT_EQ(display.at("matrixSource"), "udev");
  EXPECT_EQ(display.at("matrix"), nlohmann::json::parse("[[0,1,0],[-1,0,0],[0,0,1]]"));
  EXPECT_EQ(display.at("chosenFor"), nlohmann::json::parse(R"(["accelerometer","deviceMotion"])"));
  EXPECT_EQ(devices[2].at("channels")[0].at("read"), "sysfs");
  EXPECT_EQ(devices[2].at("channels")[0].at("chosenFor"),
            nlohmann::json::parse(R"(["magnetometer"])"));

  const auto text = test::runChild(PEMDOR_SENSORS_BINARY, {"info", "--location", "none"}, 60.0);
  ASSERT_EQ(text.status(), 0) << test::describe(text) << text.err;
  EXPECT_NE(text.out.find("  iio:device1: name \"accel_3d\", label \"accel-display\", location "
                          "display, trigger \"accel-dev1\"\n"
                          "    accel: read through buffer; matrix 0, 1, 0; -1, 0, 0; 0, 0, 1 "
                          "(udev); chosen for accelerometer, deviceMotion\n"),
            std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("    note: udev ACCEL_MOUNT_MATRIX \"0, 0, 0; 0, 0, 0; 0, 0, 0\" "
                          "ignored: all zeros\n"),
            std::string::npos)
      << text.out;
}
#endif

// A magnetometer whose reads hang does not hold up the accelerometer: each stream reads its
// device on a thread of its own. When the slow read ends, its reading arrives.
TEST_F(IioHardwareTest, aSlowMagnetometerDoesNotDelayTheAccelerometer) {
  testbed_->addDevice("iio:device0", accelerometer(0, 0, 1000));
  testbed_->addDevice("iio:device1", magnetometer(100, 200, 300));

  struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    int opened = 0;
    int waiting = 0;
  };
  auto gate = std::make_shared<Gate>();
  auto service = iio::makeIioMotionService([gate](MotionStream stream) {
    if (stream != MotionStream::magnetometer) return;
    std::unique_lock lock(gate->mutex);
    ++gate->waiting;
    gate->changed.notify_all();
    const int ticket = gate->waiting;
    gate->changed.wait(lock, [&] { return gate->opened >= ticket; });
  });
  auto manager = service->makeMotionManager();
  auto queue = dispatcher_->makeOperationQueue("slow-device");
  queue->setMaxConcurrentOperationCount(1);

  struct Counts {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<CMVector> accel;
    std::vector<CMVector> magn;
  };
  auto counts = std::make_shared<Counts>();
  const auto recorder = [counts](std::vector<CMVector> Counts::*list) {
    return [counts, list](const CMVector* v, const NSError*) {
      std::lock_guard lock(counts->mutex);
      (counts.get()->*list).push_back(v ? *v : CMVector{1e9, 1e9, 1e9});
      counts->changed.notify_all();
    };
  };
  manager->setAccelerometerUpdateInterval(0.01);
  manager->setMagnetometerUpdateInterval(0.01);
  manager->startUpdates(MotionStream::magnetometer, queue, recorder(&Counts::magn));
  manager->startUpdates(MotionStream::accelerometer, queue, recorder(&Counts::accel));

  {
    // The magnetometer's first read is under way and hangs; the accelerometer keeps its pace.
    std::unique_lock lock(gate->mutex);
    ASSERT_TRUE(gate->changed.wait_for(lock, 10s, [&] { return gate->waiting >= 1; }));
  }
  {
    std::unique_lock lock(counts->mutex);
    ASSERT_TRUE(counts->changed.wait_for(lock, 10s, [&] { return counts->accel.size() >= 20; }));
    EXPECT_TRUE(counts->magn.empty());
    EXPECT_EQ(counts->accel.back(), (CMVector{0, 0, -1}));
  }
  {
    std::lock_guard lock(gate->mutex);
    gate->opened = 1;
    gate->changed.notify_all();
  }
  {
    std::unique_lock lock(counts->mutex);
    ASSERT_TRUE(counts->changed.wait_for(lock, 10s, [&] { return !counts->magn.empty(); }));
    EXPECT_EQ(counts->magn.front(), (CMVector{100, 200, 300}));
  }
  manager->stopUpdates(MotionStream::magnetometer);
  manager->stopUpdates(MotionStream::accelerometer);
  {
    // Lets every read still under way end, so that the manager can go.
    std::lock_guard lock(gate->mutex);
    gate->opened = 1 << 30;
    gate->changed.notify_all();
  }
  manager.reset();
}

}  // namespace
}  // namespace pemdor
