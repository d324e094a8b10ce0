// SPDX-License-Identifier: MIT
#pragma once

// Runs a program as a child process under a wall-clock limit and reports how it ended: by
// itself with an exit status, by a signal, or killed for running past the limit.

#include <map>
#include <string>
#include <vector>

namespace pemdor::test {

struct ChildRun {
  enum class End { exited, signalled, overran };
  End end = End::overran;
  /// The exit status when End::exited, the signal number when End::signalled.
  int code = 0;
  /// At most kMaxCapturedBytes of each; the rest is read and dropped so the child never blocks.
  std::string out;
  std::string err;
  /// The child's peak resident set size in KiB.
  long maxRssKiB = 0;

  static constexpr std::size_t kMaxCapturedBytes = std::size_t{4} << 20;

  /// The exit status, or -1 when the child did not exit by itself.
  int status() const { return end == End::exited ? code : -1; }
};

struct ChildRunOptions {
  /// Variables set (or replaced) in the child's environment.
  std::map<std::string, std::string> environment;
  /// The child's stderr goes to a new pseudo-terminal, so that it sees a terminal there.
  bool stderrIsTerminal = false;
};

/// Runs `program` with `args` (not including the program name), stdin on /dev/null and the
/// caller's environment with `options.environment` over it, and waits at most `limitSeconds` for it
/// to end; a child still running then is killed with SIGKILL and reported as End::overran. Throws
/// std::runtime_error when the child cannot be started.
ChildRun runChild(const std::string& program, const std::vector<std::string>& args,
                  double limitSeconds, const ChildRunOptions& options = {});

/// "exited with 2", "killed by signal 11", "still running after the limit".
std::string describe(const ChildRun& run);

}  // namespace pemdor::test
