// SPDX-License-Identifier: MIT
#pragma once

// Finding input motion devices (internal to the input-device provider): the nodes that udev tags
// ID_INPUT_ACCELEROMETER, what their axes are, in which units, and how they are mounted.
//
// Threads: every call makes and releases its own libudev context and opens the nodes it looks
// at itself, so any thread may call.

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pemdor/platform/CoreMotion.h"

namespace pemdor::evdev {

/// The two sensors an input motion node may carry.
enum class SensorKind : std::size_t { accel = 0, gyro = 1 };
inline constexpr std::size_t kSensorKinds = 2;

/// Where an axis triple's units come from.
enum class Units { driver, udev, calibrated, none };
const char* unitsName(Units units);

/// A row-major 3×3 matrix: element [3 * row + column].
using Matrix = std::array<double, 9>;
inline constexpr Matrix kIdentity = {1, 0, 0, 0, 1, 0, 0, 0, 1};

/// Parses the IIO text form of a mount matrix, "x1, y1, z1; x2, y2, z2; x3, y3, z3", which hwdb's
/// ACCEL_MOUNT_MATRIX uses; nullopt (and the reason in `problem`) for anything else and for a
/// matrix that is all zeros or not finite. Independent of the locale.
std::optional<Matrix> parseMountMatrix(std::string_view text, std::string* problem = nullptr);

/// The resolution field of a udev EVDEV_ABS_<axis> value, "<min>:<max>:<res>:<fuzz>:<flat>" (any
/// field may be empty, trailing ones left out); nullopt when there is no positive resolution.
std::optional<int> parseEvdevAbsResolution(std::string_view text);

/// The product matrix × v, where v is read as a column vector.
CMVector applyMatrix(const Matrix& matrix, const CMVector& v);

/// One sensor of a node.
struct SensorInfo {
  SensorKind kind = SensorKind::accel;
  /// ABS_X, ABS_Y, ABS_Z or ABS_RX, ABS_RY, ABS_RZ.
  std::array<unsigned, 3> codes{};
  /// Whether the node has all three axes.
  bool present = false;
  /// Units per g (accelerometer) or per degree per second (gyroscope); 0 where none is known.
  std::array<int, 3> resolution{};
  Units units = Units::none;
  /// Present, and with units the provider can use (a calibrated accelerometer included).
  bool usable() const { return present && units != Units::none; }
};

/// One input node with INPUT_PROP_ACCELEROMETER, as a look found it.
struct InputMotionDevice {
  std::string node;
  std::string syspath;
  std::string name;
  /// Why the node could not be opened or read ("permission denied"); empty when it could.
  std::string problem;
  std::array<SensorInfo, kSensorKinds> sensors;
  Matrix matrix = kIdentity;
  /// "udev" or "none".
  std::string matrixSource = "none";
  std::vector<std::string> notes;

  const SensorInfo& sensor(SensorKind kind) const {
    return sensors[static_cast<std::size_t>(kind)];
  }
};

/// Every node udev tags ID_INPUT_ACCELEROMETER=1 whose name starts with "event", sorted by node
/// number, each opened once to read its axes (never its events). A node that turns out not to
/// have INPUT_PROP_ACCELEROMETER is left out.
std::vector<InputMotionDevice> findInputMotionDevices();

/// The sensors a stream needs: the accelerometer for the accelerometer and device motion, the
/// gyroscope for the gyroscope; nullopt for the magnetometer, which input devices do not have.
std::optional<SensorKind> sensorFor(MotionStream stream);

/// The device that serves `stream` among `devices`: the first readable one whose sensor for the
/// stream is usable; nullptr when none is.
const InputMotionDevice* chooseDevice(const std::vector<InputMotionDevice>& devices,
                                      MotionStream stream);

/// The readable text of an errno for a device line: "permission denied", "no such device".
std::string problemText(int error);

}  // namespace pemdor::evdev
