// SPDX-License-Identifier: MIT
#pragma once

// One open input motion node (internal to the input-device provider): drained without blocking
// at each tick, keeping the latest complete frame of each motion axis.
//
// Threads: a reader belongs to the one thread that uses it.

#include <array>
#include <memory>
#include <optional>
#include <string>

#include "EvdevDevices.h"
#include "pemdor/platform/CoreMotion.h"

struct libevdev;

namespace pemdor::evdev {

class InputReader {
 public:
  /// Opens `device`'s node (non-blocking) and reads the current state of its axes, which is the
  /// first frame; nullopt with the reason in `why` when the node cannot be opened or is no
  /// longer the same kind of node.
  static std::unique_ptr<InputReader> open(const InputMotionDevice& device, std::string& why);

  ~InputReader();
  InputReader(const InputReader&) = delete;
  InputReader& operator=(const InputReader&) = delete;

  /// Reads every event the kernel has queued, without blocking, and keeps the axis values of the
  /// last complete frame (SYN_REPORT). After a SYN_DROPPED the node is brought up to date through
  /// libevdev's sync events, and the synced state becomes the frame. Returns 0, or a negative
  /// errno when the device is gone (-ENODEV) or cannot be read.
  int drain();

  /// The latest frame of `kind` in platform units (g with gravity's sign, or rad/s) in the
  /// device frame; nullopt for a sensor the node cannot serve, and for a calibrated
  /// accelerometer whose frames so far all read zero.
  std::optional<CMVector> vector(SensorKind kind);

  const InputMotionDevice& device() const { return device_; }
  /// How many SYN_DROPPED the node has reported since it was opened.
  unsigned dropped() const { return dropped_; }

 private:
  InputReader(InputMotionDevice device, int fd, libevdev* handle);
  void takeFrame();

  InputMotionDevice device_;
  int fd_;
  libevdev* handle_;
  // The values of ABS_X, ABS_Y, ABS_Z, ABS_RX, ABS_RY, ABS_RZ at the last complete frame.
  std::array<int, 6> frame_{};
  // Counts per g of an accelerometer without a resolution, from its first non-zero frame.
  std::optional<double> calibratedCountsPerG_;
  unsigned dropped_ = 0;
};

}  // namespace pemdor::evdev
