// SPDX-License-Identifier: MIT
#pragma once

// The record command of pemdor-sensors, and the pictures of the sync and record commands.

#include <optional>
#include <string>

#include "CommandLine.h"
#include "HostSession.h"

namespace pemdor::host {

/// A recording is at most an hour long: its scenario then stays well within the size the
/// simulated device reads.
inline constexpr double kMaxRecordingSeconds = 3600.0;

struct RecordRequest {
  double durationSeconds = 0.0;
  /// A file name, or "-" for standard output.
  std::string out;
  /// Replace existing output files.
  bool force = false;
  /// Where to draw the picture of the run (an SVG file).
  std::optional<std::string> plot;
};

/// --plot and --force, for sync and record.
void declarePlotOptions(CLI::App& command, Options& options);
/// The provider options, --duration and --out (both required), --plot and --force.
void declareRecordOptions(CLI::App& command, Options& options);
/// The record command of the host's command table.
int runRecordCommand(const Options& options, HostSession& session);

/// Throws UsageError unless `seconds` is a finite duration above 0 and at most
/// kMaxRecordingSeconds; `text` is the argument as given, for the message.
void checkRecordingDuration(double seconds, const std::string& text);

/// Records for the duration and writes the scenario (and the picture). Output files that cannot
/// be made or written give UsageError (exit 2) and leave nothing behind; they are reserved
/// before the recording starts, so that a bad path is found at once.
int runRecord(const RecordRequest& request, HostSession& session);

/// A reserved picture file of a sync run; draws and commits it after the run.
class SyncPlot {
 public:
  /// Reserves `path` (see OutputFile). Throws UsageError.
  SyncPlot(const std::string& path, bool force, const HostSession& session);
  ~SyncPlot();
  /// Draws the data of a sync run that started at wall-clock time `startTime`. Throws
  /// UsageError.
  void draw(const PemdorSensorData& data, double startTime);

 private:
  struct Reserved;
  std::unique_ptr<Reserved> reserved_;
  std::string motion_;
  std::string location_;
};

}  // namespace pemdor::host
