// SPDX-License-Identifier: MIT
#pragma once

/// @file
/// The motion service: a motion manager with four streams (accelerometer, gyroscope,
/// magnetometer, device motion), each started on a work queue with a handler.
///
/// Units, the same for every provider:
///   acceleration: g (standard gravity); a device lying flat, screen up, reads about (0, 0, -1).
///   rotation rate: radians per second, right-handed about each axis.
///   magnetic field: microtesla.
///   gravity (device motion): g, the gravity part of the acceleration, about (0, 0, -1) flat.
///
/// Threads: every operation is safe to call from any thread. Handlers run on the queue passed to
/// the start call, never inside the start call. A stop ends further deliveries of that stream,
/// but a delivery already handed to the queue may still run after the stop.

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
  double x = 0.0;  ///< Along the device's x axis (to the right of the screen).
  double y = 0.0;  ///< Along the device's y axis (to the top of the screen).
  double z = 0.0;  ///< Along the device's z axis (out of the screen).
  /// Two vectors are equal when all three components are.
  friend bool operator==(const CMVector&, const CMVector&) = default;
};
/// An acceleration in g.
using CMAcceleration = CMVector;
/// A rotation rate in radians per second.
using CMRotationRate = CMVector;
/// A magnetic field in microtesla.
using CMMagneticField = CMVector;

/// One accelerometer reading.
struct CMAccelerometerData {
  CMAcceleration acceleration;  ///< The acceleration, in g.
};
/// One gyroscope reading.
struct CMGyroData {
  CMRotationRate rotationRate;  ///< The rotation rate, in radians per second.
};
/// One magnetometer reading.
struct CMMagnetometerData {
  CMMagneticField magneticField;  ///< The magnetic field, in microtesla.
};
/// One device-motion reading.
struct CMDeviceMotion {
  CMAcceleration gravity;  ///< The gravity part of the acceleration, in g.
};

/// A handler receives a reading, or nullptr when the provider has none, and an error, or
/// nullptr. Both pointers are valid only during the call.
using CMAccelerometerHandler = std::function<void(const CMAccelerometerData*, const NSError*)>;
/// @copydoc CMAccelerometerHandler
using CMGyroHandler = std::function<void(const CMGyroData*, const NSError*)>;
/// @copydoc CMAccelerometerHandler
using CMMagnetometerHandler = std::function<void(const CMMagnetometerData*, const NSError*)>;
/// @copydoc CMAccelerometerHandler
using CMDeviceMotionHandler = std::function<void(const CMDeviceMotion*, const NSError*)>;

/// Reference frames of device motion; the collector uses 1.
enum class CMAttitudeReferenceFrame : unsigned {
  XArbitraryZVertical = 1,           ///< Z vertical, x in any horizontal direction.
  XArbitraryCorrectedZVertical = 2,  ///< The same, corrected with the magnetometer.
  XMagneticNorthZVertical = 4,       ///< Z vertical, x towards magnetic north.
  XTrueNorthZVertical = 8,           ///< Z vertical, x towards true north.
};

/// The four streams, for providers and for code that treats them alike.
enum class MotionStream : std::size_t {
  accelerometer = 0,  ///< Acceleration, in g.
  gyro = 1,           ///< Rotation rate, in radians per second.
  magnetometer = 2,   ///< Magnetic field, in microtesla.
  deviceMotion = 3,   ///< Gravity, in g, derived from the accelerometer.
};
/// The number of motion streams.
inline constexpr std::size_t kMotionStreamCount = 4;
/// Every motion stream, in the order of their values.
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

  /// Providers subclass the manager.
  virtual ~CMMotionManager() = default;

  /// @name Availability
  /// @{

  /// Whether the stream's sensor exists now (isAvailable()).
  bool isAccelerometerAvailable() const { return isAvailable(MotionStream::accelerometer); }
  bool isGyroAvailable() const { return isAvailable(MotionStream::gyro); }
  bool isMagnetometerAvailable() const { return isAvailable(MotionStream::magnetometer); }
  bool isDeviceMotionAvailable() const { return isAvailable(MotionStream::deviceMotion); }
  /// @}

  /// @name Update intervals
  /// @{

  /// Seconds between two readings of the stream (setUpdateInterval(), updateInterval()).
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
  /// @}

  /// @name Starting
  /// @{

  /// Start delivering the stream's readings to `handler` on `queue`. Starting a stream that is
  /// running replaces its queue and handler. Starting a stream that is not available does
  /// nothing.
  void startAccelerometerUpdatesToQueue(std::shared_ptr<OperationQueue> queue,
                                        CMAccelerometerHandler handler);
  void startGyroUpdatesToQueue(std::shared_ptr<OperationQueue> queue, CMGyroHandler handler);
  void startMagnetometerUpdatesToQueue(std::shared_ptr<OperationQueue> queue,
                                       CMMagnetometerHandler handler);
  void startDeviceMotionUpdatesUsingReferenceFrame(CMAttitudeReferenceFrame frame,
                                                   std::shared_ptr<OperationQueue> queue,
                                                   CMDeviceMotionHandler handler);
  /// @}

  /// @name Stopping
  /// @{

  /// End the stream's deliveries. Stopping a stream that is not running does nothing.
  void stopAccelerometerUpdates() { stopUpdates(MotionStream::accelerometer); }
  void stopGyroUpdates() { stopUpdates(MotionStream::gyro); }
  void stopMagnetometerUpdates() { stopUpdates(MotionStream::magnetometer); }
  void stopDeviceMotionUpdates() { stopUpdates(MotionStream::deviceMotion); }
  /// @}

  /// @name Activity
  /// @{

  /// Whether the stream runs: active from a start until the matching stop.
  bool isAccelerometerActive() const { return isActive(MotionStream::accelerometer); }
  bool isGyroActive() const { return isActive(MotionStream::gyro); }
  bool isMagnetometerActive() const { return isActive(MotionStream::magnetometer); }
  bool isDeviceMotionActive() const { return isActive(MotionStream::deviceMotion); }
  /// @}

  /// The reference frame of the last device-motion start (XArbitraryZVertical before any).
  CMAttitudeReferenceFrame attitudeReferenceFrame() const;

  /// The provider side's handler: it receives the stream's vector (acceleration, rotation rate,
  /// magnetic field or gravity) or nullptr for an absent reading, and an error or nullptr.
  using VectorHandler = std::function<void(const CMVector*, const NSError*)>;

  /// Whether such a sensor exists now.
  virtual bool isAvailable(MotionStream stream) const = 0;
  /// Providers clamp intervals to what they can serve; a non-finite or non-positive interval
  /// gives the provider's shortest one.
  virtual void setUpdateInterval(MotionStream stream, double seconds) = 0;
  /// The interval of `stream`, in seconds, as the provider serves it.
  virtual double updateInterval(MotionStream stream) const = 0;
  /// Starts `stream`, as the named start operations describe.
  virtual void startUpdates(MotionStream stream, std::shared_ptr<OperationQueue> queue,
                            VectorHandler handler) = 0;
  /// Stops `stream`, as the named stop operations describe.
  virtual void stopUpdates(MotionStream stream) = 0;
  /// Whether `stream` runs.
  virtual bool isActive(MotionStream stream) const = 0;

 private:
  std::atomic<unsigned> referenceFrame_{1};
};

/// Makes the motion managers of a platform.
class MotionService {
 public:
  /// Providers subclass the service.
  virtual ~MotionService() = default;
  /// A short name for diagnostics: "simulated", "iio", "none".
  virtual std::string name() const = 0;
  /// A new motion manager of this provider, all its streams stopped.
  virtual std::shared_ptr<CMMotionManager> makeMotionManager() = 0;
};

/// A motion service with no sensors: every stream is unavailable and nothing is ever delivered.
std::shared_ptr<MotionService> makeNoMotionService();

}  // namespace pemdor
