// SPDX-License-Identifier: MIT
#pragma once

// The commands of pemdor-sensors. Each runs on the host's main thread, prints its result on
// stdout and returns the exit status.

#include <span>

#include "CommandLine.h"
#include "HostSession.h"

namespace pemdor::host {

/// Exit status of a snapshot whose completion did not come within --timeout.
inline constexpr int kExitNoCompletion = 3;

/// Every command but "help", in the order the usage text gives them.
std::span<const CommandEntry> hostCommands();

}  // namespace pemdor::host
