// SPDX-License-Identifier: MIT
#pragma once

// Fake input devices for tests that run under umockdev-wrapper: a udev record with "E:"
// properties, an ioctl recording that answers libevdev's questions about the node (its name,
// properties, event bits and the absinfo of each axis), and an evemu events file that umockdev
// plays into /dev/input/eventN at the events' own pace.
//
// Make the testbed before any thread looks at devices and release it after they end.

#include <fcntl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pemdor::evdev_test {

/// The absinfo of one EV_ABS axis.
struct Axis {
  Axis(unsigned axisCode, int axisValue, int axisResolution)
      : code(axisCode), value(axisValue), resolution(axisResolution) {}
  unsigned code = 0;
  int value = 0;
  int resolution = 0;
  int minimum = -32768;
  int maximum = 32767;
};

/// One input node to fake.
struct InputDevice {
  InputDevice(unsigned nodeNumber, std::string deviceName, std::vector<Axis> deviceAxes = {})
      : number(nodeNumber), name(std::move(deviceName)), axes(std::move(deviceAxes)) {}
  unsigned number = 0;
  std::string name;
  std::vector<Axis> axes;
  /// Udev properties beyond DEVNAME, SUBSYSTEM, ID_INPUT and ID_INPUT_ACCELEROMETER.
  std::vector<std::pair<std::string, std::string>> properties;
  /// Whether the node has INPUT_PROP_ACCELEROMETER (udev tags it either way).
  bool accelerometerProperty = true;
};

/// One frame of axis values at a time in seconds: the events of the axes given, then SYN_REPORT.
struct Frame {
  double time = 0.0;
  std::vector<std::pair<unsigned, int>> values;
};

/// The evemu text of `frames`.
inline std::string evemuEvents(const std::vector<Frame>& frames) {
  std::string text;
  char line[96];
  for (const Frame& frame : frames) {
    const long sec = static_cast<long>(frame.time);
    const long usec = static_cast<long>((frame.time - static_cast<double>(sec)) * 1e6 + 0.5);
    for (const auto& [code, value] : frame.values) {
      std::snprintf(line, sizeof line, "E: %ld.%06ld 0003 %04x %d\n", sec, usec, code, value);
      text += line;
    }
    std::snprintf(line, sizeof line, "E: %ld.%06ld 0000 0000 0\n", sec, usec);
    text += line;
  }
  return text;
}

/// The evemu line of a SYN_DROPPED at `time`.
inline std::string synDropped(double time) {
  char line[64];
  const long sec = static_cast<long>(time);
  const long usec = static_cast<long>((time - static_cast<double>(sec)) * 1e6 + 0.5);
  std::snprintf(line, sizeof line, "E: %ld.%06ld 0000 0003 0\n", sec, usec);
  return line;
}

class InputTestbed {
 public:
  /// Whether this process runs under umockdev's preload.
  static bool inMockEnvironment() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload &&
           std::string_view(preload).find("libumockdev-preload") != std::string_view::npos;
  }

  InputTestbed() : testbed_(umockdev_testbed_new()) {
    char pattern[] = "/tmp/pemdor-evdev-XXXXXX";
    if (::mkdtemp(pattern)) scratch_ = pattern;
  }
  ~InputTestbed() {
    g_object_unref(testbed_);
    std::error_code ignored;
    if (!scratch_.empty()) std::filesystem::remove_all(scratch_, ignored);
  }
  InputTestbed(const InputTestbed&) = delete;
  InputTestbed& operator=(const InputTestbed&) = delete;

  static std::string node(unsigned number) { return "/dev/input/event" + std::to_string(number); }

  /// Adds the node and its ioctl answers; returns its sysfs path, or "" on failure (with the
  /// reason in `error()`).
  std::string add(const InputDevice& device) {
    const std::string event = "event" + std::to_string(device.number);
    const std::string input = "input" + std::to_string(100 + device.number);
    std::string description = "P: /devices/virtual/input/" + input + "/" + event + "\nN: input/" +
                              event + "\nE: DEVNAME=" + node(device.number) +
                              "\nE: SUBSYSTEM=input\nE: ID_INPUT=1\nE: ID_INPUT_ACCELEROMETER=1\n";
    for (const auto& [key, value] : device.properties)
      description += "E: " + key + "=" + value + "\n";
    description += "A: dev=13:" + std::to_string(64 + device.number) + "\n";
    GError* failure = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, description.c_str(), &failure)) {
      return fail(failure);
    }
    const std::string ioctlFile = scratch_ + "/" + event + ".ioctl";
    std::ofstream(ioctlFile) << ioctlRecording(device);
    if (!umockdev_testbed_load_ioctl(testbed_, node(device.number).c_str(), ioctlFile.c_str(),
                                     &failure)) {
      return fail(failure);
    }
    return "/sys/devices/virtual/input/" + input + "/" + event;
  }

  /// Plays `events` (evemu text) into the node of device `number`, from each open of the node.
  bool play(unsigned number, const std::string& events) {
    const std::string file =
        scratch_ + "/event" + std::to_string(number) + "-" + std::to_string(++played_) + ".events";
    std::ofstream(file) << events;
    GError* failure = nullptr;
    if (!umockdev_testbed_load_evemu_events(testbed_, node(number).c_str(), file.c_str(),
                                            &failure)) {
      fail(failure);
      return false;
    }
    return true;
  }

  /// Adds an IIO device ("iio:deviceN") with sysfs attributes, for tests of the device choice.
  std::string addIio(const std::string& id,
                     const std::vector<std::pair<std::string, std::string>>& attributes) {
    std::vector<std::string> strings;
    for (const auto& [key, value] : attributes) {
      strings.push_back(key);
      // libiio drops the last byte of what it reads, which sysfs makes a newline.
      strings.push_back(value + "\n");
    }
    std::vector<gchar*> pointers;
    for (std::string& text : strings) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    gchar* none[] = {nullptr};
    gchar* path =
        umockdev_testbed_add_devicev(testbed_, "iio", id.c_str(), nullptr, pointers.data(), none);
    std::string result = path ? path : "";
    g_free(path);
    return result;
  }

  void remove(const std::string& syspath) {
    umockdev_testbed_remove_device(testbed_, syspath.c_str());
  }

  /// The file that stands for the node in the testbed.
  std::string nodeFile(unsigned number) const {
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    std::string path = std::string(root) + node(number);
    g_free(root);
    return path;
  }

  const std::string& error() const { return error_; }

 private:
  static std::string hex(const void* data, std::size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
      text += digits[bytes[i] >> 4];
      text += digits[bytes[i] & 15];
    }
    return text;
  }
  static std::string zeros(std::size_t size) { return std::string(2 * size, '0'); }

  // What libevdev asks when it takes a node, in umockdev's ioctl text form: the ioctl, its
  // result and the bytes it fills in. Buffers have the sizes libevdev asks for.
  static std::string ioctlRecording(const InputDevice& device) {
    std::ostringstream out;
    out << "EVIOCGVERSION 0 01000100\n";
    out << "EVIOCGID 0 03004C05CC090001\n";
    std::string name = device.name;
    name.resize(255, '\0');
    out << "EVIOCGNAME(0) " << device.name.size() + 1 << " " << hex(name.data(), name.size())
        << "\n";
    out << "EVIOCGPHYS(0) -1 " << zeros(255) << "\n";
    out << "EVIOCGUNIQ(0) -1 " << zeros(255) << "\n";
    const std::uint64_t properties = device.accelerometerProperty ? std::uint64_t{1} << 6 : 0;
    out << "EVIOCGPROP(0) 8 " << hex(&properties, 8) << "\n";
    const std::uint64_t types = 1u | (1u << 3);  // EV_SYN, EV_ABS
    out << "EVIOCGBIT(0) 8 " << hex(&types, 8) << "\n";
    std::uint64_t abs = 0;
    for (const Axis& axis : device.axes) abs |= std::uint64_t{1} << axis.code;
    out << "EVIOCGBIT(1) 96 " << zeros(96) << "\n";
    out << "EVIOCGBIT(2) 8 " << zeros(8) << "\n";
    out << "EVIOCGBIT(3) 8 " << hex(&abs, 8) << "\n";
    for (int type : {4, 5, 17, 18}) out << "EVIOCGBIT(" << type << ") 8 " << zeros(8) << "\n";
    out << "EVIOCGBIT(21) 16 " << zeros(16) << "\n";
    out << "EVIOCGKEY(0) 96 " << zeros(96) << "\n";
    out << "EVIOCGLED(0) 8 " << zeros(8) << "\n";
    out << "EVIOCGSW(0) 8 " << zeros(8) << "\n";
    for (const Axis& axis : device.axes) {
      const std::int32_t info[6] = {axis.value, axis.minimum, axis.maximum, 0, 0, axis.resolution};
      out << "EVIOCGABS(" << axis.code << ") 0 " << hex(info, sizeof info) << "\n";
    }
    return out.str();
  }

  std::string fail(GError* failure) {
    error_ = failure ? failure->message : "unknown failure";
    if (failure) g_error_free(failure);
    return {};
  }

  UMockdevTestbed* testbed_;
  std::string scratch_;
  std::string error_;
  unsigned played_ = 0;
};

}  // namespace pemdor::evdev_test
