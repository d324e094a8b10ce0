#pragma once

// Runs the pemdor-sensors binary as a child process and collects what it printed.

#include <map>
#include <string>
#include <vector>

namespace pemdor::test {

struct HostRun {
  /// The exit status, or -1 when the child was killed (by a signal or for running too long).
  int status = -1;
  std::string out;
  std::string err;
};

struct HostRunOptions {
  /// Variables set (or replaced) in the child's environment.
  std::map<std::string, std::string> environment;
  /// The child's stderr goes to a new pseudo-terminal, so that it sees a terminal there.
  bool stderrIsTerminal = false;
  /// A child still running after this many seconds is killed.
  double limitSeconds = 120.0;
};

/// Runs `binary` with `args`. stdin is /dev/null.
HostRun runHost(const std::string& binary, const std::vector<std::string>& args,
                const HostRunOptions& options = {});

}  // namespace pemdor::test
