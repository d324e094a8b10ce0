// SPDX-License-Identifier: MIT
#pragma once

// Small helpers that the collector and the providers share. Internal to the library; not
// installed.

#include <cstddef>
#include <type_traits>

#include "pemdor/platform/CoreLocation.h"
#include "pemdor/platform/CoreMotion.h"

namespace pemdor {

/// The position of `stream` in tables indexed by MotionStream (0 to kMotionStreamCount - 1).
constexpr std::size_t index(MotionStream stream) {
  return static_cast<std::size_t>(stream);
}

/// Whether an authorisation status means authorised: kCLAuthorizationStatusAuthorizedAlways or
/// kCLAuthorizationStatusAuthorizedWhenInUse. `status` is either a status or a function that
/// reads one; a function is called afresh for each of the two comparisons, so a caller that must
/// ask its provider for every comparison passes the question, not its answer.
template <typename Status>
bool isAuthorized(Status&& status) {
  if constexpr (std::is_invocable_r_v<CLAuthorizationStatus, Status&>) {
    return status() == kCLAuthorizationStatusAuthorizedAlways ||
           status() == kCLAuthorizationStatusAuthorizedWhenInUse;
  } else {
    const CLAuthorizationStatus value = status;
    return value == kCLAuthorizationStatusAuthorizedAlways ||
           value == kCLAuthorizationStatusAuthorizedWhenInUse;
  }
}

}  // namespace pemdor
