// SPDX-License-Identifier: MIT
#pragma once

// Pictures of a run: one panel per motion stream with its x, y and z against time, the moment of
// the position fix marked with its coordinates, and a title naming the providers and the date.
// Drawn with PLplot's SVG device; a build without PLplot has no pictures.

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "Record.h"
#include "pemdor/PemdorDeviceSensorInfo.h"

namespace pemdor::host {

struct PlotStream {
  /// Shown across a panel without values: "not available", "no readings".
  std::string note;
  /// Seconds after the start of the run, one per value; absent readings are left out.
  std::vector<double> times;
  std::vector<CMVector> values;
};

struct PlotFix {
  /// Seconds after the start of the run.
  double at = 0.0;
  double latitude = 0.0;
  double longitude = 0.0;
};

struct PlotData {
  /// What the picture shows: "record", "sync".
  std::string run;
  std::string motionProvider;
  std::string locationProvider;
  /// Seconds since 1970 at the start of the run, for the date in the title.
  double startTime = 0.0;
  /// The time axis runs from 0 to at least this.
  double duration = 0.0;
  /// Indexed by MotionStream.
  std::array<PlotStream, kMotionStreamCount> streams;
  std::optional<PlotFix> fix;
};

/// Whether this build can draw pictures.
bool plotsBuilt();

/// The picture of a recording: every reading at the time it arrived, and the first fix.
PlotData plotOfRecording(const Recording& recording);

/// The picture of a sync run from what getSensorData returned: each record at its timestamp
/// relative to `startTime`, and the stored position at its time.
PlotData plotOfSyncData(const PemdorSensorData& data, double startTime,
                        const std::string& motionProvider, const std::string& locationProvider);

/// "2015-12-01 19:20:00 UTC".
std::string utcDate(double secondsSince1970);

/// Draws `data` as SVG into the file at `path`, which must exist (it is overwritten). Returns an
/// empty string, or what went wrong.
std::string drawPlot(const PlotData& data, const std::string& path);

}  // namespace pemdor::host
