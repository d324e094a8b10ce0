// SPDX-License-Identifier: MIT
#pragma once

#include <string>

namespace pemdor {

/// An error handed to a motion handler or a location delegate. The collector never looks inside;
/// providers fill it in for diagnostics.
struct NSError {
  std::string domain;
  long code = 0;
  std::string localizedDescription;
};

}  // namespace pemdor
