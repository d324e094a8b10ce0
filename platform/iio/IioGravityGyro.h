// SPDX-License-Identifier: MIT
#pragma once

// The gyroscope that gravity derived from an accelerometer is fused with (internal to the IIO
// provider): the device chosen for the gyroscope stream, on the accelerometer's own device or on
// another one of the same machine, read at the same tick as the accelerometer.
//
// The two must speak of the same frame. Each device's readings are turned into the device frame
// by their own mount matrices, so readings of two devices agree. On one device, though, hwdb's
// ACCEL_MOUNT_MATRIX corrects the accelerometer alone; the gyroscope, on the same chip, then
// still has the chip's frame, and its readings are turned for the fusion by the accelerometer's
// matrix after undoing their own, which puts them in the accelerometer's frame.
//
// Threads: as for IioVectorSource, a gyroscope belongs to the thread that bound it.

#include <optional>

#include "IioVectorSource.h"
#include "pemdor/platform/CoreMotion.h"

namespace pemdor::iio {

class GravityGyro {
 public:
  /// Binds the gyroscope for fusion with `accelerometer`; nullopt when the machine has none, or
  /// when its frame cannot be matched to the accelerometer's (a matrix that cannot be undone).
  static std::optional<GravityGyro> bind(const IioVectorSource& accelerometer, BufferShare* share);

  /// The rotation rate now (rad/s) in the accelerometer's frame; nullopt when the read fails.
  /// `reads` as for IioVectorSource::read().
  std::optional<CMVector> read(TickReads* reads = nullptr);

 private:
  GravityGyro(IioVectorSource source, const MountMatrix& toAccelerometerFrame)
      : source_(std::move(source)), toAccelerometerFrame_(toAccelerometerFrame) {}

  IioVectorSource source_;
  MountMatrix toAccelerometerFrame_;
};

}  // namespace pemdor::iio
