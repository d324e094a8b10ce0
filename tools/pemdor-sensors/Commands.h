#pragma once

// The three commands of pemdor-sensors. Each runs on the host's main thread, prints its result
// on stdout and returns the exit status.

#include "CommandLine.h"
#include "HostSession.h"

namespace pemdor::host {

/// Exit status of a snapshot whose completion did not come within --timeout.
inline constexpr int kExitNoCompletion = 3;

int runInfo(const Options& options, HostSession& session);
int runSnapshot(const Options& options, HostSession& session);
int runSync(const Options& options, HostSession& session);

}  // namespace pemdor::host
