// SPDX-License-Identifier: MIT
#pragma once

// The platform pemdor-sensors runs a command on: the providers chosen from the command line,
// the dispatcher (real or virtual) and, where a provider is simulated, the simulated device.
// The session also lets time pass for the host, in real time or by driving the virtual
// dispatcher on the host's own thread.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "CommandLine.h"
#include "Output.h"
#include "ProviderChoice.h"
#include "pemdor/PemdorDeviceSensorInfo.h"
#include "pemdor/platform/RealDispatcher.h"
#include "pemdor/platform/SimulatedDevice.h"
#include "pemdor/platform/VirtualDispatcher.h"

namespace pemdor::host {

/// Something the host needs could not be made (exit status 1).
class HostFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Where the result of a callback run is handed from the completion's thread to the host's.
/// deliver() may be called on any thread; the first result is kept.
class CompletionBox {
 public:
  void deliver(SnapshotResult result);
  bool ready() const;
  std::optional<SnapshotResult> result() const;
  /// Blocks the caller until a result is there or `seconds` have passed; returns ready().
  bool waitFor(double seconds);

 private:
  mutable std::mutex mutex_;
  std::condition_variable delivered_;
  std::optional<SnapshotResult> result_;
};

/// How a wait for a completion ended.
enum class WaitOutcome {
  delivered,
  /// The time ran out.
  timedOut,
  /// Virtual time only: nothing is left to run that could still deliver.
  idle,
};

class HostSession {
 public:
  /// Reads the scenario, looks for and chooses the providers (ProviderChoice.h), prints the
  /// note about providers chosen by "auto" on stderr, and builds the session. Throws UsageError
  /// for a bad scenario or a provider that was asked for and is not there, and HostFailure when
  /// a part of the platform cannot be made.
  static std::unique_ptr<HostSession> open(const Options& options);

  /// Builds the dispatcher, the simulated device where a chosen provider is simulated (driven
  /// by `scenario`), and the platform of `choice`. Throws as open() does.
  static std::unique_ptr<HostSession> build(const ProviderChoice& choice, bool virtualTime,
                                            const SimScenario& scenario);

  /// Stops the real dispatcher's threads, or runs the virtual one dry, so that no task outlives
  /// the session.
  ~HostSession();
  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;

  const std::shared_ptr<Platform>& platform() const { return platform_; }
  bool virtualTime() const { return virtual_ != nullptr; }

  /// A new collector on the session's platform. Throws HostFailure when none can be made.
  std::shared_ptr<PemdorDeviceSensorInfo> makeCollector() const;

  /// The dispatcher's monotonic clock, in seconds.
  double now() const;
  /// Lets time pass until now() reaches `when`: sleeps in real time, runs the virtual
  /// dispatcher in virtual time.
  void waitUntil(double when);
  /// Waits until `box` holds a result or now() reaches `when`.
  WaitOutcome waitFor(CompletionBox& box, double when);

  /// The "motion: " and "location: " lines of the info command, without the key.
  const std::string& motionReport() const { return motionReport_; }
  const std::string& locationReport() const { return locationReport_; }
  /// The "scenario: " line of the info command; empty when nothing is simulated.
  const std::string& scenarioReport() const { return scenarioReport_; }

  HostSession() = default;

 private:
  std::shared_ptr<RealDispatcher> real_;
  std::shared_ptr<VirtualDispatcher> virtual_;
  std::shared_ptr<SimulatedDevice> device_;
  std::shared_ptr<Platform> platform_;
  std::string motionReport_;
  std::string locationReport_;
  std::string scenarioReport_;
};

}  // namespace pemdor::host
