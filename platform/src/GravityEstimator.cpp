// SPDX-License-Identifier: MIT
#include "pemdor/internal/GravityEstimator.h"

namespace pemdor::internal {

namespace {
// An exponential low-pass filter with this time constant, in seconds: long enough to smooth a
// hand's shaking, short enough to follow a device being turned over.
constexpr double kTimeConstant = 0.3;
}  // namespace

CMVector GravityEstimator::update(const CMVector& a, const std::optional<CMVector>& /*rate*/,
                                  double dt) {
  if (!estimate_) {
    estimate_ = a;
    return *estimate_;
  }
  const double alpha = dt / (kTimeConstant + dt);
  CMVector& g = *estimate_;
  g = {g.x + alpha * (a.x - g.x), g.y + alpha * (a.y - g.y), g.z + alpha * (a.z - g.z)};
  return g;
}

}  // namespace pemdor::internal
