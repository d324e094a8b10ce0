// SPDX-License-Identifier: MIT
#include "EvdevReader.h"

#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <numbers>

namespace pemdor::evdev {
namespace {

constexpr std::array<unsigned, 6> kFrameCodes = {ABS_X, ABS_Y, ABS_Z, ABS_RX, ABS_RY, ABS_RZ};

}  // namespace

std::unique_ptr<InputReader> InputReader::open(const InputMotionDevice& device, std::string& why) {
  const int fd = ::open(device.node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    why = device.node + ": " + problemText(errno);
    return nullptr;
  }
  libevdev* handle = nullptr;
  const int rc = libevdev_new_from_fd(fd, &handle);
  if (rc < 0) {
    ::close(fd);
    why = device.node + ": " + problemText(-rc);
    return nullptr;
  }
  if (libevdev_has_property(handle, INPUT_PROP_ACCELEROMETER) != 1) {
    libevdev_free(handle);
    ::close(fd);
    why = device.node + ": no longer an accelerometer node";
    return nullptr;
  }
  std::unique_ptr<InputReader> reader(new InputReader(device, fd, handle));
  // libevdev read the current state of every axis when it took the node: a still device whose
  // driver sends nothing (the input core drops repeated values) reads that state.
  reader->takeFrame();
  return reader;
}

InputReader::InputReader(InputMotionDevice device, int fd, libevdev* handle)
    : device_(std::move(device)), fd_(fd), handle_(handle) {}

InputReader::~InputReader() {
  libevdev_free(handle_);
  ::close(fd_);
}

void InputReader::takeFrame() {
  for (std::size_t i = 0; i < kFrameCodes.size(); ++i) {
    int value = 0;
    if (libevdev_fetch_event_value(handle_, EV_ABS, kFrameCodes[i], &value) == 1) {
      frame_[i] = value;
    }
  }
}

int InputReader::drain() {
  unsigned flags = LIBEVDEV_READ_FLAG_NORMAL;
  input_event event{};
  while (true) {
    const int rc = libevdev_next_event(handle_, flags, &event);
    if (rc == -EAGAIN) {
      if (flags == LIBEVDEV_READ_FLAG_SYNC) {
        // The sync events are done: libevdev's state is the device's now.
        takeFrame();
        flags = LIBEVDEV_READ_FLAG_NORMAL;
        continue;
      }
      break;
    }
    if (rc < 0) return rc;
    if (rc == LIBEVDEV_READ_STATUS_SYNC) {
      if (flags == LIBEVDEV_READ_FLAG_NORMAL) {
        // A SYN_DROPPED: the kernel's queue overflowed. The frame under way is incomplete, so it
        // is dropped, and the sync events that follow bring the state up to date.
        ++dropped_;
        flags = LIBEVDEV_READ_FLAG_SYNC;
      }
      continue;
    }
    if (event.type == EV_SYN && event.code == SYN_REPORT) takeFrame();
  }
  // A device that is unplugged goes from sysfs; a read of its node fails with ENODEV on a real
  // kernel, but a node that only stays silent is caught here.
  if (!device_.syspath.empty() && ::access(device_.syspath.c_str(), F_OK) != 0) return -ENODEV;
  return 0;
}

std::optional<CMVector> InputReader::vector(SensorKind kind) {
  const SensorInfo& sensor = device_.sensor(kind);
  if (!sensor.usable()) return std::nullopt;
  const std::size_t first = kind == SensorKind::accel ? 0 : 3;
  std::array<double, 3> value{};
  for (std::size_t i = 0; i < 3; ++i) value[i] = frame_[first + i];
  if (sensor.units == Units::calibrated) {
    if (!calibratedCountsPerG_) {
      const double magnitude = std::hypot(value[0], value[1], value[2]);
      if (magnitude == 0.0) return std::nullopt;
      calibratedCountsPerG_ = magnitude;
    }
    for (double& v : value) v /= *calibratedCountsPerG_;
  } else {
    for (std::size_t i = 0; i < 3; ++i) value[i] /= sensor.resolution[i];
  }
  const CMVector mounted = applyMatrix(device_.matrix, {value[0], value[1], value[2]});
  if (kind == SensorKind::accel) {
    // The kernel reports the reaction to gravity (+1 g upward at rest); the platform reports
    // gravity's direction, (0, 0, -1) for a device lying flat.
    return CMVector{-mounted.x, -mounted.y, -mounted.z};
  }
  constexpr double kRadiansPerDegree = std::numbers::pi / 180.0;
  return CMVector{mounted.x * kRadiansPerDegree, mounted.y * kRadiansPerDegree,
                  mounted.z * kRadiansPerDegree};
}

}  // namespace pemdor::evdev
