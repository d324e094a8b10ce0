// SPDX-License-Identifier: MIT
#pragma once

// Runs the fake GeoClue2 service of fake_geoclue.py for a test: a private dbus-daemon and the
// fake on it, in one child process that the GeoclueFake starts and stops by its process id. The
// child reports what clients do as lines on its standard output, which the test waits for, and
// takes commands (emit a position, leave the bus) on its standard input. The child ends when its
// standard input closes, so nothing outlives a test process that died.

#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SkipOrFail.h"

namespace pemdor::geoclue_testing {

class GeoclueFake {
 public:
  /// Whether Debian's python3 with its D-Bus and GLib modules, and dbus-daemon, are installed;
  /// otherwise says what is missing.
  static bool toolsPresent(std::string& why);

  /// Starts the fake with fake_geoclue.py's `options` and waits until it is ready (at most a few
  /// seconds). Returns nullptr with a reason when it does not come up.
  static std::unique_ptr<GeoclueFake> start(const std::vector<std::string>& options,
                                            std::string& why);

  /// Closes the child's standard input and waits for it to end (it stops its bus), killing it
  /// after a few seconds.
  ~GeoclueFake();
  GeoclueFake(const GeoclueFake&) = delete;
  GeoclueFake& operator=(const GeoclueFake&) = delete;

  /// The private bus's address, for DBUS_SYSTEM_BUS_ADDRESS.
  const std::string& address() const { return address_; }

  /// Sends one command line ("emit 1.5 2.5", "quit").
  void send(const std::string& command);
  /// Waits for the next line that starts with `prefix`, after the last one found, and returns
  /// the rest of it; nullopt when none came within `limit`.
  std::optional<std::string> waitFor(const std::string& prefix,
                                     std::chrono::milliseconds limit = std::chrono::seconds(10));
  /// Every line the child has written so far (without waiting for more).
  std::vector<std::string> lines();
  /// Everything the child wrote, for a failure message.
  std::string output();

 private:
  GeoclueFake() = default;
  /// Reads what the child has written, waiting at most `limit` for something to come.
  bool readMore(std::chrono::milliseconds limit);

  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string errorPath_;
  std::string address_;
  std::string partial_;
  std::vector<std::string> lines_;
  std::size_t next_ = 0;
  /// The child closed its standard output.
  bool ended_ = false;
};

/// Skips the test where the tools are missing, or fails it when CI=true.
#define PEMDOR_REQUIRE_GEOCLUE_FAKE()                                  \
  do {                                                                 \
    std::string why_;                                                  \
    if (!::pemdor::geoclue_testing::GeoclueFake::toolsPresent(why_)) { \
      PEMDOR_SKIP_OR_FAIL_IN_CI(why_);                                 \
    }                                                                  \
  } while (false)

}  // namespace pemdor::geoclue_testing
