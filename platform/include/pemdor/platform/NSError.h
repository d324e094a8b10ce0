// SPDX-License-Identifier: MIT
#pragma once

/// @file
/// The error type of the platform's callbacks.

#include <string>

namespace pemdor {

/// An error handed to a motion handler or a location delegate. The collector never looks inside;
/// providers fill it in for diagnostics.
struct NSError {
  /// What failed, e.g. "pemdor.geoclue.refused"; each provider names its own domains.
  std::string domain;
  /// A number within the domain.
  long code = 0;
  /// One line for people.
  std::string localizedDescription;
};

}  // namespace pemdor
