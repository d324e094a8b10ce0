// SPDX-License-Identifier: MIT
#pragma once

// Gravity for the device-motion stream of a provider whose hardware has no gravity channel,
// derived from the accelerometer and, where the device has one, the gyroscope. Every motion
// provider derives gravity through this one class, so that gravity means the same everywhere:
// a unit vector (1 g) in the device frame, pointing the way gravity pulls, in the platform's
// units (a device lying flat, screen up, gives (0, 0, -1)).
//
// With a gyroscope the estimate follows rotation at once: each update turns it by the rotation
// the gyroscope measured since the previous update, then moves it a small step toward the
// accelerometer's direction, which corrects the gyroscope's drift. The step shrinks as the
// accelerometer's magnitude departs from 1 g (the device is being accelerated, not only held),
// and grows while the device is still, so that a device at rest settles on the accelerometer's
// direction within a fraction of a second.
//
// Without a gyroscope the estimate is the accelerometer through a low-pass filter with a time
// constant of 0.3 s, normalised to 1 g. Updates with and without a rotation rate may alternate
// (a gyroscope that fails for a while); each is treated as described.
//
// A device at rest gives the accelerometer's direction at 1 g.
//
// Threads: not thread-safe; one estimator belongs to one stream and is fed from one thread at a
// time.

#include <optional>

#include "pemdor/platform/CoreMotion.h"

namespace pemdor::internal {

class GravityEstimator {
 public:
  /// Feeds one accelerometer reading (g, the platform's units) and, when the device has a
  /// gyroscope, the rotation rate of the same tick (rad/s, right-handed about each device axis),
  /// `dt` seconds after the previous update; returns the gravity estimate, a unit vector in g.
  /// The first update after construction or reset() starts the estimate from that reading's
  /// direction. A reading with no direction (zero, or not finite) corrects nothing: the estimate
  /// is only turned by the rotation rate, if one is given, and returned; before the estimate has
  /// started such a reading is returned unchanged and starts nothing. A rotation rate that is not
  /// finite counts as absent, and so does a `dt` that is not a positive finite number of seconds
  /// (the update then neither turns nor filters).
  CMVector update(const CMVector& acceleration, const std::optional<CMVector>& rotationRate,
                  double dt);

  /// Forgets the estimate: the next update starts afresh.
  void reset() {
    estimate_.reset();
    previousRate_.reset();
    previousAcceleration_.reset();
  }

  /// Whether an estimate exists (an update has been made since construction or reset()).
  bool started() const { return estimate_.has_value(); }

 private:
  // The filter's state: the low-pass filter's output after an update without a rotation rate,
  // the unit estimate after one with a rate.
  std::optional<CMVector> estimate_;
  // The previous update's rotation rate, when it had one, for the trapezoidal integration of the
  // rotation between the two updates.
  std::optional<CMVector> previousRate_;
  // The previous update's acceleration, by which a still device is told from a moving one.
  std::optional<CMVector> previousAcceleration_;
};

}  // namespace pemdor::internal
