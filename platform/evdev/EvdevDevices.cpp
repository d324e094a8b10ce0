// SPDX-License-Identifier: MIT
#include "EvdevDevices.h"

#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <libudev.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>
#include <system_error>

#include "pemdor/internal/UdevLock.h"

namespace pemdor::evdev {
namespace {

struct UdevDeleter {
  void operator()(udev* context) const { udev_unref(context); }
};
struct UdevEnumerateDeleter {
  void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
};
struct UdevDeviceDeleter {
  void operator()(udev_device* device) const { udev_device_unref(device); }
};
struct EvdevDeleter {
  void operator()(libevdev* device) const { libevdev_free(device); }
};

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\n' ||
                           text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

std::optional<double> parseNumber(std::string_view text) {
  text = trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  double value = 0.0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// The number at the end of "event12"; names without one sort last.
unsigned nodeNumber(std::string_view sysname) {
  unsigned number = ~0u;
  if (sysname.starts_with("event")) {
    sysname.remove_prefix(5);
    std::from_chars(sysname.data(), sysname.data() + sysname.size(), number);
  }
  return number;
}

constexpr std::array<std::array<unsigned, 3>, kSensorKinds> kCodes = {{
    {ABS_X, ABS_Y, ABS_Z},
    {ABS_RX, ABS_RY, ABS_RZ},
}};

// Reads one sensor's axes and units from the open node and the udev record.
SensorInfo readSensor(libevdev* device, udev_device* record, SensorKind kind,
                      std::vector<std::string>& notes) {
  SensorInfo info;
  info.kind = kind;
  info.codes = kCodes[static_cast<std::size_t>(kind)];
  info.present = std::all_of(info.codes.begin(), info.codes.end(), [device](unsigned code) {
    return libevdev_has_event_code(device, EV_ABS, code) == 1;
  });
  if (!info.present) return info;
  bool fromUdev = false;
  for (std::size_t i = 0; i < 3; ++i) {
    info.resolution[i] = libevdev_get_abs_resolution(device, info.codes[i]);
    if (info.resolution[i] > 0) continue;
    info.resolution[i] = 0;
    char key[32];
    std::snprintf(key, sizeof key, "EVDEV_ABS_%02X", info.codes[i]);
    const char* value = udev_device_get_property_value(record, key);
    if (!value) continue;
    if (const auto resolution = parseEvdevAbsResolution(value)) {
      info.resolution[i] = *resolution;
      fromUdev = true;
    } else {
      notes.push_back(std::string("udev ") + key + " \"" + value + "\" gives no resolution");
    }
  }
  const bool complete = std::all_of(info.resolution.begin(), info.resolution.end(),
                                    [](int resolution) { return resolution > 0; });
  if (complete) {
    info.units = fromUdev ? Units::udev : Units::driver;
  } else if (kind == SensorKind::accel) {
    // Without a resolution an accelerometer still knows one thing: at rest it measures 1 g.
    info.resolution = {};
    info.units = Units::calibrated;
    notes.push_back(
        "accelerometer axes have no resolution (driver or udev): 1 g is taken from the "
        "magnitude of the first reading when sampling begins, with the device at rest");
  } else {
    info.resolution = {};
    info.units = Units::none;
    notes.push_back(
        "gyroscope axes have no resolution (driver or udev): the gyroscope is not used");
  }
  return info;
}

// Opens and reads one node; nullopt when the node is readable and not an accelerometer node.
std::optional<InputMotionDevice> readDevice(udev_device* record) {
  InputMotionDevice device;
  const char* node = udev_device_get_devnode(record);
  const char* syspath = udev_device_get_syspath(record);
  if (!node) return std::nullopt;
  device.node = node;
  device.syspath = syspath ? syspath : "";
  if (const char* text = udev_device_get_property_value(record, "ACCEL_MOUNT_MATRIX")) {
    std::string problem;
    if (const auto matrix = parseMountMatrix(text, &problem)) {
      device.matrix = *matrix;
      device.matrixSource = "udev";
    } else {
      device.notes.push_back(std::string("udev ACCEL_MOUNT_MATRIX \"") + text +
                             "\" refused: " + problem);
    }
  }
  // Non-blocking: opening and reading an input node must never hold up a look or a run.
  const int fd = ::open(node, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    device.problem = problemText(errno);
    return device;
  }
  libevdev* raw = nullptr;
  const int rc = libevdev_new_from_fd(fd, &raw);
  const std::unique_ptr<libevdev, EvdevDeleter> handle(raw);
  if (rc < 0) {
    ::close(fd);
    device.problem = problemText(-rc);
    return device;
  }
  if (libevdev_has_property(raw, INPUT_PROP_ACCELEROMETER) != 1) {
    ::close(fd);
    return std::nullopt;
  }
  device.name = libevdev_get_name(raw) ? libevdev_get_name(raw) : "";
  for (std::size_t k = 0; k < kSensorKinds; ++k) {
    device.sensors[k] = readSensor(raw, record, static_cast<SensorKind>(k), device.notes);
  }
  ::close(fd);
  return device;
}

}  // namespace

const char* unitsName(Units units) {
  switch (units) {
    case Units::driver:
      return "driver";
    case Units::udev:
      return "udev";
    case Units::calibrated:
      return "calibrated";
    case Units::none:
      return "none";
  }
  return "none";
}

std::optional<Matrix> parseMountMatrix(std::string_view text, std::string* problem) {
  const auto fail = [problem](const char* why) -> std::optional<Matrix> {
    if (problem) *problem = why;
    return std::nullopt;
  };
  Matrix matrix{};
  std::size_t filled = 0;
  for (std::size_t row = 0; row < 3; ++row) {
    const std::size_t rowEnd = row < 2 ? text.find(';') : text.size();
    if (rowEnd == std::string_view::npos) return fail("expected three rows separated by ';'");
    std::string_view rowText = text.substr(0, rowEnd);
    text.remove_prefix(row < 2 ? rowEnd + 1 : rowEnd);
    for (std::size_t column = 0; column < 3; ++column) {
      const std::size_t end = column < 2 ? rowText.find(',') : rowText.size();
      if (end == std::string_view::npos) return fail("expected three numbers in each row");
      const auto number = parseNumber(rowText.substr(0, end));
      if (!number || !std::isfinite(*number)) return fail("expected finite numbers");
      matrix[filled++] = *number;
      rowText.remove_prefix(column < 2 ? end + 1 : end);
    }
  }
  if (std::all_of(matrix.begin(), matrix.end(), [](double v) { return v == 0.0; })) {
    return fail("a matrix of zeros");
  }
  return matrix;
}

std::optional<int> parseEvdevAbsResolution(std::string_view text) {
  text = trim(text);
  // The resolution is the third field.
  for (int field = 0; field < 2; ++field) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    text.remove_prefix(colon + 1);
  }
  text = text.substr(0, text.find(':'));
  int resolution = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), resolution);
  if (error != std::errc() || end != text.data() + text.size() || resolution <= 0) {
    return std::nullopt;
  }
  return resolution;
}

CMVector applyMatrix(const Matrix& m, const CMVector& v) {
  return {m[0] * v.x + m[1] * v.y + m[2] * v.z, m[3] * v.x + m[4] * v.y + m[5] * v.z,
          m[6] * v.x + m[7] * v.y + m[8] * v.z};
}

std::vector<InputMotionDevice> findInputMotionDevices() {
  std::vector<InputMotionDevice> devices;
  // Held until the context and every record made from it are gone (see UdevLock.h).
  const auto udevLock = internal::lockUdev();
  const std::unique_ptr<udev, UdevDeleter> context(udev_new());
  if (!context) return devices;
  const std::unique_ptr<udev_enumerate, UdevEnumerateDeleter> enumerate(
      udev_enumerate_new(context.get()));
  if (!enumerate) return devices;
  udev_enumerate_add_match_subsystem(enumerate.get(), "input");
  udev_enumerate_add_match_property(enumerate.get(), "ID_INPUT_ACCELEROMETER", "1");
  udev_enumerate_add_match_sysname(enumerate.get(), "event*");
  if (udev_enumerate_scan_devices(enumerate.get()) < 0) return devices;
  std::vector<std::pair<unsigned, InputMotionDevice>> found;
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
    const std::unique_ptr<udev_device, UdevDeviceDeleter> record(
        udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
    if (!record) continue;
    const char* sysname = udev_device_get_sysname(record.get());
    if (auto device = readDevice(record.get())) {
      found.emplace_back(nodeNumber(sysname ? sysname : ""), std::move(*device));
    }
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [number, device] : found) devices.push_back(std::move(device));
  return devices;
}

std::optional<SensorKind> sensorFor(MotionStream stream) {
  switch (stream) {
    case MotionStream::accelerometer:
    case MotionStream::deviceMotion:
      return SensorKind::accel;
    case MotionStream::gyro:
      return SensorKind::gyro;
    case MotionStream::magnetometer:
      return std::nullopt;
  }
  return std::nullopt;
}

const InputMotionDevice* chooseDevice(const std::vector<InputMotionDevice>& devices,
                                      MotionStream stream) {
  const auto kind = sensorFor(stream);
  if (!kind) return nullptr;
  for (const InputMotionDevice& device : devices) {
    if (device.problem.empty() && device.sensor(*kind).usable()) return &device;
  }
  return nullptr;
}

std::string problemText(int error) {
  if (error == EACCES || error == EPERM) return "permission denied";
  std::string text = std::generic_category().message(error);
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

}  // namespace pemdor::evdev
