// SPDX-License-Identifier: MIT
#include "pemdor/PemdorSensorTable.h"

#include "pemdor/PemdorDeviceSensorInfo.h"

namespace pemdor {

PemdorRecordListRef sensorRecords(const PemdorDeviceSensorInfo& collector, MotionStream stream) {
  switch (stream) {
    case MotionStream::accelerometer:
      return collector.accelerometerRecords();
    case MotionStream::gyro:
      return collector.gyroRecords();
    case MotionStream::magnetometer:
      return collector.magneticRecords();
    case MotionStream::deviceMotion:
      return collector.gravityRecords();
  }
  return nullptr;
}

bool sensorFinished(const PemdorDeviceSensorInfo& collector, MotionStream stream) {
  switch (stream) {
    case MotionStream::accelerometer:
      return collector.accelerometerFinished();
    case MotionStream::gyro:
      return collector.gyroFinished();
    case MotionStream::magnetometer:
      return collector.magneticFinished();
    case MotionStream::deviceMotion:
      return false;
  }
  return false;
}

}  // namespace pemdor
