// SPDX-License-Identifier: MIT
#include "pemdor/internal/GravityEstimator.h"

#include <algorithm>
#include <cmath>

#include "pemdor/internal/VectorMath.h"

namespace pemdor::internal {

namespace {

// Without a gyroscope: an exponential low-pass filter with this time constant, in seconds, long
// enough to smooth a hand's shaking, short enough to follow a device being turned over.
constexpr double kLowPassTimeConstant = 0.3;

// With a gyroscope: the time constant, in seconds, with which the estimate moves toward the
// accelerometer's direction while the device moves. The gyroscope carries the estimate through
// rotation, so this only has to outpace the gyroscope's drift; a long one keeps shaking out.
constexpr double kMovingTimeConstant = 2.0;
// The time constant while the device is still: short, so that a device at rest gives the
// accelerometer's direction, even after a turn too quick for the gyroscope's samples to see.
constexpr double kStillTimeConstant = 0.2;
// How far the accelerometer's magnitude may depart from 1 g before it is not trusted at all, in
// g; between 1 g and this departure the correction fades linearly. A device that is held, turned
// or lying reads about 1 g; one that is shaken reads more or less.
constexpr double kMagnitudeTolerance = 0.2;
// A device counts as still when the gyroscope reads less than this, in rad/s (about 3°/s, above
// the noise and bias of a resting gyroscope)...
constexpr double kStillRate = 0.05;
// ...the accelerometer's magnitude is within this of 1 g...
constexpr double kStillMagnitude = 0.05;
// ...and its direction turned by less than this since the previous update, in radians (2°).
constexpr double kStillTurn = 0.035;

bool finite(const CMVector& v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

// Whether `v` points somewhere: finite and not zero.
bool hasDirection(const CMVector& v) {
  return finite(v) && length(v) > 0.0;
}

// The unit vector `g` turned toward the unit vector `target` by `fraction` of the angle between
// them, along the great circle through both.
CMVector turnedToward(const CMVector& g, const CMVector& target, double fraction) {
  const CMVector normal = cross(g, target);
  const double sine = length(normal);
  const double angle = std::atan2(sine, dot(g, target));
  if (angle == 0.0) return g;
  CMVector axis;
  if (sine > 1e-12) {
    axis = scaled(normal, 1.0 / sine);
  } else {
    // Opposite directions: every great circle joins them; take one through an axis of the frame
    // that is far from g.
    const CMVector helper = std::abs(g.x) < 0.5 ? CMVector{1, 0, 0} : CMVector{0, 1, 0};
    axis = unit(cross(g, helper));
  }
  return unit(turned(g, axis, fraction * angle));
}

}  // namespace

CMVector GravityEstimator::update(const CMVector& a, const std::optional<CMVector>& rotationRate,
                                  double dt) {
  const std::optional<CMVector> rate =
      rotationRate && finite(*rotationRate) ? rotationRate : std::nullopt;
  const bool directed = hasDirection(a);
  const bool timed = std::isfinite(dt) && dt > 0.0;

  if (!estimate_) {
    if (!directed) return a;
    estimate_ = rate ? unit(a) : a;
    previousRate_ = rate;
    previousAcceleration_ = a;
    return unit(a);
  }

  if (rate && !hasDirection(*estimate_) && directed) estimate_ = unit(a);
  if (rate && hasDirection(*estimate_)) {
    // The estimate is a fixed direction of the world seen from the turning device, so it turns
    // the opposite way to the device: dg/dt = g × ω. The rotation between the updates is taken
    // as the mean of the rates at both ends (trapezoidal rule), which follows a turn that starts
    // or stops between two samples half a tick closer than either rate alone would.
    CMVector g = unit(*estimate_);
    const CMVector mean = previousRate_ ? scaled(sum(*previousRate_, *rate), 0.5) : *rate;
    const double speed = length(mean);
    if (timed && speed > 0.0) g = unit(turned(g, scaled(mean, 1.0 / speed), -speed * dt));
    if (directed && timed) {
      const double magnitude = length(a);
      const double departure = std::abs(magnitude - 1.0);
      const double trust = std::clamp(1.0 - departure / kMagnitudeTolerance, 0.0, 1.0);
      const bool still = length(*rate) < kStillRate && departure < kStillMagnitude &&
                         previousAcceleration_ && hasDirection(*previousAcceleration_) &&
                         angleBetween(a, *previousAcceleration_) < kStillTurn;
      const double tau = still ? kStillTimeConstant : kMovingTimeConstant;
      g = turnedToward(g, unit(a), trust * dt / (tau + dt));
    }
    estimate_ = g;
  } else if (directed && timed) {
    const double alpha = dt / (kLowPassTimeConstant + dt);
    CMVector& f = *estimate_;
    f = {f.x + alpha * (a.x - f.x), f.y + alpha * (a.y - f.y), f.z + alpha * (a.z - f.z)};
  }
  previousRate_ = rate;
  if (directed) previousAcceleration_ = a;
  // The low-pass output can pass through zero when the device is turned over faster than the
  // filter follows; the accelerometer's direction is then the best there is.
  if (!hasDirection(*estimate_)) return directed ? unit(a) : *estimate_;
  return unit(*estimate_);
}

}  // namespace pemdor::internal
