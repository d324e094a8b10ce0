// SPDX-License-Identifier: MIT
#pragma once

/// @file
/// What the collector samples, as one table a host can read: for each motion stream its display
/// name, its keys in the collector's outputs and the decimals of a callback reading, and the
/// numbers that shape a run. The collector itself works from this table, so a host that labels,
/// counts or orders readings by it always agrees with what the collector produces.
///
/// Everything here is constant; it may be read from any thread.

#include <array>
#include <cstddef>
#include <cstdint>

#include "pemdor/PemdorRecordList.h"
#include "pemdor/platform/CoreMotion.h"

namespace pemdor {

class PemdorDeviceSensorInfo;

/// Readings kept per sensor in a callback run.
inline constexpr int kCallbackReadingsPerSensor = 10;
/// The limit of startSensors() without an argument: records kept per stream in a sync run.
inline constexpr std::int32_t kDefaultSyncLimit = 10;
/// Seconds between readings of every stream the collector starts.
inline constexpr double kSensorUpdateInterval = 0.1;
/// Seconds a callback run waits for a position before it completes without one.
inline constexpr double kLocationWaitSeconds = 10.0;

/// One motion stream as the collector presents it.
struct PemdorSensor {
  /// The stream of the platform's motion manager.
  MotionStream stream;
  /// A lower-case name for people: "accelerometer", "gyroscope", "magnetometer", "gravity".
  const char* name;
  /// The key of the stream's readings in a callback run's JSON; nullptr for the gravity of
  /// device motion, which a callback run does not sample.
  const char* snapshotKey;
  /// The key of the stream's record list in getSensorData.
  const char* dataKey;
  /// Decimals of each component of a callback reading ("[%.Nf, %.Nf, %.Nf]").
  int callbackPrecision;
};

/// Every stream, indexed by MotionStream and in the order getSensorData's keys are meant to be
/// shown.
inline constexpr std::array<PemdorSensor, kMotionStreamCount> kPemdorSensors = {{
    {MotionStream::accelerometer, "accelerometer", "Acceleration", "Accelerometer", 2},
    {MotionStream::gyro, "gyroscope", "Gyroscope", "Gyroscope", 4},
    {MotionStream::magnetometer, "magnetometer", "Magnetic", "Magnetometer", 4},
    {MotionStream::deviceMotion, "gravity", nullptr, "Gravity", 0},
}};

/// The streams a callback run samples, in the order of its JSON.
inline constexpr std::array<MotionStream, 3> kCallbackStreams = {
    MotionStream::accelerometer, MotionStream::gyro, MotionStream::magnetometer};

static_assert(
    [] {
      for (std::size_t i = 0; i < kPemdorSensors.size(); ++i) {
        if (static_cast<std::size_t>(kPemdorSensors[i].stream) != i) return false;
      }
      return true;
    }(),
    "kPemdorSensors is indexed by MotionStream");

/// The row of `stream`.
constexpr const PemdorSensor& sensorOf(MotionStream stream) {
  return kPemdorSensors[static_cast<std::size_t>(stream)];
}

/// The collector's record list of `stream`: the list accelerometerRecords(), gyroRecords(),
/// magneticRecords() or gravityRecords() returns. Thread-safe like those accessors.
PemdorRecordListRef sensorRecords(const PemdorDeviceSensorInfo& collector, MotionStream stream);

/// Whether the callback run's part for `stream` has finished: accelerometerFinished(),
/// gyroFinished() or magneticFinished(); false for device motion, which has no such part.
bool sensorFinished(const PemdorDeviceSensorInfo& collector, MotionStream stream);

}  // namespace pemdor
