// SPDX-License-Identifier: MIT
#pragma once

// Runs Debian's gpsfake for the one test that checks the rig users copy: gpsfake starting a
// real gpsd on a free loopback port and feeding it an NMEA log that the tests ship. Every other
// gpsd test uses GpsFake (GpsFake.h), which drives gpsd itself. gpsfake is started once and
// never again; when it drops its hand-over of the device to gpsd, the start completes it (see
// GpsfakeRun.cpp) and says so. gpsd, gpsfake and a small watchdog form one process group of
// their own, which is killed and reaped when the GpsfakeRun goes, and killed by the watchdog
// when the test process dies without cleaning up. Control sockets and output go to a folder of
// the run's own.

#include <sys/types.h>

#include <memory>
#include <string>

#include "GpsFake.h"
#include "pemdor/platform/Providers.h"

namespace pemdor::gpsd_testing {

class GpsfakeRun {
 public:
  /// The log and its pace, as for GpsFake.
  using Options = GpsFake::Options;

  /// Whether gpsfake, gpsd and Debian's python3 are installed; otherwise says what is missing.
  static bool toolsPresent(std::string& why);

  /// Starts gpsfake once and waits until its gpsd has the fake device and greets clients (at
  /// most a few seconds). Returns nullptr with a reason when it does not come up.
  static std::unique_ptr<GpsfakeRun> start(const Options& options, std::string& why);

  /// Kills the process group, reaps it and removes the run's folder.
  ~GpsfakeRun();
  GpsfakeRun(const GpsfakeRun&) = delete;
  GpsfakeRun& operator=(const GpsfakeRun&) = delete;

  /// Where the daemon listens: "localhost" and the chosen port.
  GpsdEndpoint endpoint() const { return {"localhost", std::to_string(port_)}; }

  /// Kills gpsd and gpsfake at once (SIGKILL to the group) and reaps them: clients see the
  /// connection close. Safe to call more than once.
  void kill();

  /// Whether the start completed gpsfake's lost hand-over of its device itself.
  bool handOverCompleted() const { return repaired_; }

  /// What gpsfake and gpsd wrote, and what the start did beyond gpsfake's own steps.
  std::string output() const;

 private:
  GpsfakeRun(std::string folder, int port) : folder_(std::move(folder)), port_(port) {}

  std::string folder_;
  int port_;
  pid_t group_ = -1;
  /// The write end of the watchdog's standard input; closing it kills the group.
  int lifeline_ = -1;
  /// Whether the test completed gpsfake's lost hand-over of its device itself.
  bool repaired_ = false;
  /// What the start did beyond gpsfake's own steps, for output().
  std::string notes_;
};

}  // namespace pemdor::gpsd_testing
