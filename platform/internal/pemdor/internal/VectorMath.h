// SPDX-License-Identifier: MIT
#pragma once

// Three-vector arithmetic on CMVector, for the code that derives gravity and the programs that
// check it. Plain functions on values, with no checks: a caller that may hold a zero or
// non-finite vector tests for it before unit() or angleBetween().

#include <cmath>

#include "pemdor/platform/CoreMotion.h"

namespace pemdor::internal {

inline double dot(const CMVector& a, const CMVector& b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}

inline CMVector cross(const CMVector& a, const CMVector& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

inline CMVector scaled(const CMVector& v, double s) {
  return {v.x * s, v.y * s, v.z * s};
}

inline CMVector sum(const CMVector& a, const CMVector& b) {
  return {a.x + b.x, a.y + b.y, a.z + b.z};
}

inline double length(const CMVector& v) {
  return std::sqrt(dot(v, v));
}

inline CMVector unit(const CMVector& v) {
  return scaled(v, 1.0 / length(v));
}

// The angle between two vectors that have a direction, in radians.
inline double angleBetween(const CMVector& a, const CMVector& b) {
  return std::atan2(length(cross(a, b)), dot(a, b));
}

// `v` turned by `angle` radians about the unit vector `axis`, right-handed (Rodrigues' formula).
inline CMVector turned(const CMVector& v, const CMVector& axis, double angle) {
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  return sum(sum(scaled(v, c), scaled(cross(axis, v), s)), scaled(axis, dot(axis, v) * (1.0 - c)));
}

}  // namespace pemdor::internal
