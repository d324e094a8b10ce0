// SPDX-License-Identifier: MIT
#pragma once

// The motion service: a motion manager with four streams (accelerometer, gyroscope,
// magnetometer, device motion), each started on a work queue with a handler.
//
// Units, the same for every provider:
//   acceleration: g (standard gravity); a device lying flat, screen up, reads about (0, 0, -1).
//   rotation rate: radians per second, right-handed about each axis.
//   magnetic field: microtesla.
//   gravity (device motion): g, the gravity part of the acceleration, about (0, 0, -1) flat.
//
// Threads: every operation is safe to call from any thread. Handlers run on the queue passed to
// the start call, never inside the start call. A stop ends further deliveries of that stream,
// but a delivery already handed to the queue may still run after the stop.

#include <array>
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "pemdor/platform/Dispatch.h"
#include "pemdor/platform/NSError.h"

namespace pemdor {

/// A three-axis vector, read x, y, z.
struct CMVector {
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
  friend bool operator==(const CMVector&, const CMVector&) = default;
};
using CMAcceleration = CMVector;
using CMRotationRate = CMVector;
using CMMagneticField = CMVector;

struct CMAccelerometerData {
  CMAcceleration acceleration;
};
struct CMGyroData {
  CMRotationRate rotationRate;
};
struct CMMagnetometerData {
  CMMagneticField magneticField;
};
struct CMDeviceMotion {
  CMAcceleration gravity;
};

/// A handler receives a reading, or nullptr when the provider has none, and an error, or
/// nullptr. Both pointers are valid only during the call.
using CMAccelerometerHandler = std::function<void(const CMAccelerometerData*, const NSError*)>;
using CMGyroHandler = std::function<void(const CMGyroData*, const NSError*)>;
using CMMagnetometerHandler = std::function<void(const CMMagnetometerData*, const NSError*)>;
using CMDeviceMotionHandler = std::function<void(const CMDeviceMotion*, const NSError*)>;

/// Reference frames of device motion; the collector uses 1.
enum class CMAttitudeReferenceFrame : unsigned {
  XArbitraryZVertical = 1,
  XArbitraryCorrectedZVertical = 2,
  XMagneticNorthZVertical = 4,
  XTrueNorthZVertical = 8,
};

/// The four streams, for providers and for code that treats them alike.
enum class MotionStream : std::size_t {
  accelerometer = 0,
  gyro = 1,
  magnetometer = 2,
  deviceMotion = 3
};
inline constexpr std::size_t kMotionStreamCount = 4;
inline constexpr std::array<MotionStream, kMotionStreamCount> kAllMotionStreams = {
    MotionStream::accelerometer, MotionStream::gyro, MotionStream::magnetometer,
    MotionStream::deviceMotion};

/// "accelerometer", "gyroscope", "magnetometer", "deviceMotion".
const char* motionStreamName(MotionStream stream);

/// The motion manager. The named operations are those a host and the collector call; a provider
/// implements the generic per-stream operations below them once, for all four streams.
class CMMotionManager {
 public:
  /// The update interval of a new manager, in seconds.
  static constexpr double kDefaultUpdateInterval = 0.1;

  virtual ~CMMotionManager() = default;

  bool isAccelerometerAvailable() const { return isAvailable(MotionStream::accelerometer); }
  bool isGyroAvailable() const { return isAvailable(MotionStream::gyro); }
  bool isMagnetometerAvailable() const { return isAvailable(MotionStream::magnetometer); }
  bool isDeviceMotionAvailable() const { return isAvailable(MotionStream::deviceMotion); }

  void setAccelerometerUpdateInterval(double s) {
    setUpdateInterval(MotionStream::accelerometer, s);
  }
  void setGyroUpdateInterval(double s) { setUpdateInterval(MotionStream::gyro, s); }
  void setMagnetometerUpdateInterval(double s) { setUpdateInterval(MotionStream::magnetometer, s); }
  void setDeviceMotionUpdateInterval(double s) { setUpdateInterval(MotionStream::deviceMotion, s); }
  double accelerometerUpdateInterval() const { return updateInterval(MotionStream::accelerometer); }
  double gyroUpdateInterval() const { return updateInterval(MotionStream::gyro); }
  double magnetometerUpdateInterval() const { return updateInterval(MotionStream::magnetometer); }
  double deviceMotionUpdateInterval() const { return updateInterval(MotionStream::deviceMotion); }

  /// Starting a stream that is running replaces its queue and handler. Starting a stream that is
  /// not available does nothing.
  void startAccelerometerUpdatesToQueue(std::shared_ptr<OperationQueue> queue,
                                        CMAccelerometerHandler handler);
  void startGyroUpdatesToQueue(std::shared_ptr<OperationQueue> queue, CMGyroHandler handler);
  void startMagnetometerUpdatesToQueue(std::shared_ptr<OperationQueue> queue,
                                       CMMagnetometerHandler handler);
  void startDeviceMotionUpdatesUsingReferenceFrame(CMAttitudeReferenceFrame frame,
                                                   std::shared_ptr<OperationQueue> queue,
                                                   CMDeviceMotionHandler handler);

  /// Stopping a stream that is not running does nothing.
  void stopAccelerometerUpdates() { stopUpdates(MotionStream::accelerometer); }
  void stopGyroUpdates() { stopUpdates(MotionStream::gyro); }
  void stopMagnetometerUpdates() { stopUpdates(MotionStream::magnetometer); }
  void stopDeviceMotionUpdates() { stopUpdates(MotionStream::deviceMotion); }

  /// Active from a start until the matching stop.
  bool isAccelerometerActive() const { return isActive(MotionStream::accelerometer); }
  bool isGyroActive() const { return isActive(MotionStream::gyro); }
  bool isMagnetometerActive() const { return isActive(MotionStream::magnetometer); }
  bool isDeviceMotionActive() const { return isActive(MotionStream::deviceMotion); }

  /// The reference frame of the last device-motion start (XArbitraryZVertical before any).
  CMAttitudeReferenceFrame attitudeReferenceFrame() const;

  // The provider side. A VectorHandler receives the stream's vector (acceleration, rotation
  // rate, magnetic field or gravity) or nullptr for an absent reading.
  using VectorHandler = std::function<void(const CMVector*, const NSError*)>;

  /// Whether such a sensor exists now.
  virtual bool isAvailable(MotionStream stream) const = 0;
  /// Providers clamp intervals to what they can serve; a non-finite or non-positive interval
  /// gives the provider's shortest one.
  virtual void setUpdateInterval(MotionStream stream, double seconds) = 0;
  virtual double updateInterval(MotionStream stream) const = 0;
  virtual void startUpdates(MotionStream stream, std::shared_ptr<OperationQueue> queue,
                            VectorHandler handler) = 0;
  virtual void stopUpdates(MotionStream stream) = 0;
  virtual bool isActive(MotionStream stream) const = 0;

 private:
  std::atomic<unsigned> referenceFrame_{1};
};

/// Makes the motion managers of a platform.
class MotionService {
 public:
  virtual ~MotionService() = default;
  /// A short name for diagnostics: "simulated", "iio", "none".
  virtual std::string name() const = 0;
  virtual std::shared_ptr<CMMotionManager> makeMotionManager() = 0;
};

/// A motion service with no sensors: every stream is unavailable and nothing is ever delivered.
std::shared_ptr<MotionService> makeNoMotionService();

}  // namespace pemdor
