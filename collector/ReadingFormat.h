// SPDX-License-Identifier: MIT
#pragma once

// The collector's text formats, written with std::to_chars: the same digits as printf in the C
// locale, whatever locale the host has set, and without printf's parsing cost.

#include <string>

#include "pemdor/platform/CoreMotion.h"

namespace pemdor::detail {

/// printf("%.<precision>f", value) in the C locale, appended to `out`.
void appendFixed(std::string& out, double value, int precision);

/// printf("%.<precision>f", value) in the C locale.
std::string formatFixed(double value, int precision);

/// "[%.Nf, %.Nf, %.Nf]" of x, y, z.
std::string formatCallbackReading(const CMVector& v, int precision);

/// "%f,%f,%f,%@" of x, y, z and `timestamp`.
std::string formatSyncReading(const CMVector& v, const std::string& timestamp);

/// formatSyncReading(v, formatMilliseconds(secondsSince1970)), written in one string.
std::string formatSyncReading(const CMVector& v, double secondsSince1970);

/// "%f" of a coordinate.
inline std::string formatCoordinate(double degrees) {
  return formatFixed(degrees, 6);
}

/// "%.0f" of seconds × 1000: milliseconds since 1970 as decimal digits.
inline std::string formatMilliseconds(double secondsSince1970) {
  return formatFixed(secondsSince1970 * 1000.0, 0);
}

}  // namespace pemdor::detail
