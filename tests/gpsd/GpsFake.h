// SPDX-License-Identifier: MIT
#pragma once

// A real gpsd for a test, fed by the test itself. The test process serves an NMEA log that the
// tests ship on a loopback TCP port of its own, one sentence every cycle, and starts gpsd on a
// free loopback port with that tcp:// source as its only device. Nothing else stands between
// the log and gpsd, so there is no hand-over to lose: gpsd connects to the receiver as it
// starts, and listens for clients before it does.
//
// gpsd runs as a child of the test process, stopped and reaped by its own process id when the
// GpsFake goes, and killed by the kernel when the thread that started it ends (start it from
// the test's own thread: SetUp or the test body). The shared-memory segment gpsd exports is
// private to the run and removed with it.

#include <sys/types.h>

#include <memory>
#include <string>

#include "pemdor/platform/Providers.h"

namespace pemdor::gpsd_testing {

class NmeaFeeder;

class GpsFake {
 public:
  struct Options {
    /// A file name in tests/gpsd/logs.
    std::string log;
    /// Seconds between sentences; 0.05 gives about ten position reports a second.
    double cycleSeconds = 0.05;
    /// Play the log once instead of again and again; the receiver then stays connected and
    /// silent.
    bool once = false;
  };

  /// Whether gpsd and setpriv are installed; otherwise says what is missing.
  static bool toolsPresent(std::string& why);

  /// Starts the receiver and gpsd and waits until gpsd has connected to the receiver and greets
  /// clients (at most a few seconds). Returns nullptr with a reason when it does not come up.
  static std::unique_ptr<GpsFake> start(const Options& options, std::string& why);

  /// Kills gpsd, reaps it, stops the receiver and removes the run's folder.
  ~GpsFake();
  GpsFake(const GpsFake&) = delete;
  GpsFake& operator=(const GpsFake&) = delete;

  /// Where the daemon listens: "localhost" and the chosen port.
  GpsdEndpoint endpoint() const { return {"localhost", std::to_string(port_)}; }

  /// Kills gpsd at once (SIGKILL) and reaps it: clients see the connection close. Safe to call
  /// more than once.
  void kill();

  /// What gpsd wrote, and what the receiver saw, for a failure message.
  std::string output() const;

  /// A port on the loopback interface on which nothing listens now.
  static int freePort();

 private:
  GpsFake(std::string folder, int port);

  std::string folder_;
  int port_;
  pid_t gpsd_ = -1;
  int shmKey_ = 0;
  std::unique_ptr<NmeaFeeder> feeder_;
};

}  // namespace pemdor::gpsd_testing
