// SPDX-License-Identifier: MIT
#pragma once

// The one-line progress display of a callback run on a terminal: readings so far per sensor out
// of the run's count and the position wait out of its limit, redrawn on stderr by a timer on the
// platform's global queue and cleared at the end.

#include <array>
#include <cstddef>
#include <memory>
#include <string>

#include "pemdor/PemdorDeviceSensorInfo.h"
#include "pemdor/PemdorSensorTable.h"

namespace pemdor::host {

/// Readings so far of each stream of a callback run (kCallbackStreams, in that order), capped at
/// the run's count per sensor.
std::array<std::size_t, kCallbackStreams.size()> readingCounts(
    const PemdorDeviceSensorInfo& collector);

/// "accelerometer 7/10  gyroscope 7/10  magnetometer 0/10  position 0.7/10 s". A sensor that is
/// not available shows "n/a".
std::string progressLine(const PemdorDeviceSensorInfo& collector, double positionWait);

class ProgressDisplay {
 public:
  /// Starts redrawing a few times a second; `start` is the dispatcher time of the run's start.
  /// Called on the host's thread; the redraws run on the global queue.
  static std::shared_ptr<ProgressDisplay> start(std::shared_ptr<PemdorDeviceSensorInfo> collector,
                                                double start);
  /// Ends the redraws and clears the line; no redraw follows once this has returned.
  virtual void stop() = 0;
  virtual ~ProgressDisplay() = default;
};

}  // namespace pemdor::host
