// SPDX-License-Identifier: MIT
#include "pemdor/platform/CoreMotion.h"

namespace pemdor {
namespace {

// Turns a typed handler into the provider's vector handler once, at the start; a delivery then
// builds the typed reading on the stack, without allocating.
template <typename Reading, CMVector Reading::*Member, typename Handler>
CMMotionManager::VectorHandler typed(Handler handler) {
  return [handler = std::move(handler)](const CMVector* v, const NSError* error) {
    if (!handler) return;
    if (!v) return handler(nullptr, error);
    Reading reading{};
    reading.*Member = *v;
    handler(&reading, error);
  };
}

}  // namespace

const char* motionStreamName(MotionStream stream) {
  switch (stream) {
    case MotionStream::accelerometer:
      return "accelerometer";
    case MotionStream::gyro:
      return "gyroscope";
    case MotionStream::magnetometer:
      return "magnetometer";
    case MotionStream::deviceMotion:
      return "deviceMotion";
  }
  return "unknown";
}

void CMMotionManager::startAccelerometerUpdatesToQueue(std::shared_ptr<OperationQueue> queue,
                                                       CMAccelerometerHandler handler) {
  startUpdates(MotionStream::accelerometer, std::move(queue),
               typed<CMAccelerometerData, &CMAccelerometerData::acceleration>(std::move(handler)));
}

void CMMotionManager::startGyroUpdatesToQueue(std::shared_ptr<OperationQueue> queue,
                                              CMGyroHandler handler) {
  startUpdates(MotionStream::gyro, std::move(queue),
               typed<CMGyroData, &CMGyroData::rotationRate>(std::move(handler)));
}

void CMMotionManager::startMagnetometerUpdatesToQueue(std::shared_ptr<OperationQueue> queue,
                                                      CMMagnetometerHandler handler) {
  startUpdates(MotionStream::magnetometer, std::move(queue),
               typed<CMMagnetometerData, &CMMagnetometerData::magneticField>(std::move(handler)));
}

void CMMotionManager::startDeviceMotionUpdatesUsingReferenceFrame(
    CMAttitudeReferenceFrame frame, std::shared_ptr<OperationQueue> queue,
    CMDeviceMotionHandler handler) {
  referenceFrame_.store(static_cast<unsigned>(frame));
  startUpdates(MotionStream::deviceMotion, std::move(queue),
               typed<CMDeviceMotion, &CMDeviceMotion::gravity>(std::move(handler)));
}

CMAttitudeReferenceFrame CMMotionManager::attitudeReferenceFrame() const {
  return static_cast<CMAttitudeReferenceFrame>(referenceFrame_.load());
}

}  // namespace pemdor
