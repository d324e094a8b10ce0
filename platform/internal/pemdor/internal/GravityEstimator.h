// SPDX-License-Identifier: MIT
#pragma once

// Gravity for the device-motion stream of a provider whose hardware has no gravity channel,
// derived from the accelerometer and, where the device has one, the gyroscope. Every motion
// provider derives gravity through this one class, so that gravity means the same everywhere.
//
// Threads: not thread-safe; one estimator belongs to one stream and is fed from one thread at a
// time.

#include <optional>

#include "pemdor/platform/CoreMotion.h"

namespace pemdor::internal {

class GravityEstimator {
 public:
  /// Feeds one accelerometer reading (g, the platform's units) and, when the device has a
  /// gyroscope, the rotation rate of the same tick (rad/s), `dt` seconds after the previous
  /// update; returns the gravity estimate in g. The first update after construction or reset()
  /// starts the estimate from that reading.
  CMVector update(const CMVector& acceleration, const std::optional<CMVector>& rotationRate,
                  double dt);

  /// Forgets the estimate: the next update starts afresh.
  void reset() { estimate_.reset(); }

  /// Whether an estimate exists (an update has been made since construction or reset()).
  bool started() const { return estimate_.has_value(); }

 private:
  std::optional<CMVector> estimate_;
};

}  // namespace pemdor::internal
