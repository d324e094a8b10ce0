// SPDX-License-Identifier: MIT
#pragma once

// What the IIO provider knows of each device, and which device serves each kind (internal to the
// IIO provider).
//
// The choice of device for a kind, among the devices whose three channels of that kind can be
// read (through sysfs or through the device's buffer), is deterministic:
//  1. a display device over an unlabelled one, and an unlabelled one over a base one, the
//     location being udev's ACCEL_LOCATION where it is valid and the kernel's label
//     ("accel-display", "accel-base") otherwise;
//  2. then the lowest device number (iio:device0 before iio:device1), devices whose id has no
//     number last, by id.
// A device that lacks one of the three axes is never chosen: its readings would be wrong, not
// merely rotated. So a lone base accelerometer is still the accelerometer, and of two
// magnetometers the lower-numbered one serves.
//
// Threads: as for IioVectorSource, a scan belongs to the thread that made the context.

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "IioVectorSource.h"

struct iio_context;
struct iio_device;

namespace pemdor::iio {

enum class ReadMode { sysfs, buffer };
enum class MatrixSource { none, sysfs, udev };
enum class SensorLocation { unlabelled, display, base };

const char* readModeName(ReadMode mode);
const char* matrixSourceName(MatrixSource source);
/// "display", "base" or "" for an unlabelled device.
const char* sensorLocationName(SensorLocation location);

/// The channels of one kind on one device.
struct KindChannels {
  IioKind kind = IioKind::accel;
  /// Which of x, y and z exist, with a value in sysfs or as a scan element of the buffer.
  std::array<bool, 3> axes{};
  /// How the triple is read: sysfs where all three have a value there, else the buffer where all
  /// three are scan elements; nullopt when neither holds, and the kind cannot be read.
  std::optional<ReadMode> mode;
  /// The mount matrix applied to the kind, and where it came from (for a detailed scan only).
  MountMatrix matrix = kIdentityMountMatrix;
  MatrixSource matrixSource = MatrixSource::none;
};

/// One IIO device.
struct DeviceInfo {
  std::string id;
  /// N of "iio:deviceN", if the id has that form.
  std::optional<unsigned> number;
  std::string name;
  std::string label;
  SensorLocation location = SensorLocation::unlabelled;
  /// The name of the device's current trigger, "" when it has none.
  std::string trigger;
  /// Every kind of which the device has at least one axis, in the order of IioKind.
  std::vector<KindChannels> kinds;
  /// Corrections that were refused, such as a malformed udev matrix (for a detailed scan only).
  std::vector<std::string> notes;

  const KindChannels* find(IioKind kind) const;
  /// Whether the three channels of `kind` can be read.
  bool canRead(IioKind kind) const;
};

enum class ScanDepth {
  /// Channels, labels and triggers only: what libiio already holds; reads no attribute.
  channels,
  /// Also the mount matrices and the udev record: what a binding and a report need.
  detailed,
};

/// The IIO devices of `context` (none for a null context), triggers left out.
std::vector<DeviceInfo> scanDevices(iio_context* context, ScanDepth depth);

/// The position in `devices` of the device chosen for `kind` (see the rules above), or nullopt
/// when none can read it.
std::optional<std::size_t> chooseDevice(const std::vector<DeviceInfo>& devices, IioKind kind);

/// The device of `context` with the id of `info` (nullptr when it has none), in the context that
/// was scanned or in another one.
iio_device* deviceOf(iio_context* context, const DeviceInfo& info);

}  // namespace pemdor::iio
