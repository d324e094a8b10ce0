// SPDX-License-Identifier: MIT
#pragma once

// The udev record of an IIO device: the corrections that systemd's hardware database gives for
// sensors (internal to the IIO provider).
//
// On many tablets and convertibles the kernel gives no mount matrix, or a wrong one; hwdb's
// 60-sensor rules attach the right one to the device as the udev property ACCEL_MOUNT_MATRIX,
// and say with ACCEL_LOCATION whether the accelerometer sits in the display or in the base.
//
// Threads: every call makes and releases its own libudev context, so any thread may call.

#include <optional>
#include <string>

namespace pemdor::iio {

/// The sensor properties of one device's udev record; a property that is missing (or a build
/// without libudev) leaves its member empty.
struct UdevSensorProperties {
  std::optional<std::string> accelMountMatrix;
  std::optional<std::string> accelLocation;
};

/// The properties of the IIO device `deviceId` ("iio:device0"), read from its udev record.
UdevSensorProperties readUdevSensorProperties(const std::string& deviceId);

}  // namespace pemdor::iio
