// SPDX-License-Identifier: MIT
#pragma once

// What pemdor-sensors prints: numbers in a locale-independent form, the snapshot a completion
// received, and the sensor data of a sync run, as text or JSON.

#include <optional>
#include <string>

#include "ReadingFormat.h"
#include "pemdor/PemdorDeviceSensorInfo.h"

namespace pemdor::host {

/// The shortest text that reads back as `value`, with "." as the decimal point ("30", "0.5").
std::string formatNumber(double value);
/// `value` with `decimals` digits after ".", whatever the C locale says: the collector's own
/// formatting, so that the host and the collector print numbers alike.
using detail::formatFixed;

/// What the completion of a callback run received, and when.
struct SnapshotResult {
  std::string latitude;
  std::string longitude;
  std::optional<std::string> json;
  /// The provider that delivered the reported fix (CLLocation::source()); nullopt without one.
  std::optional<std::string> source;
  /// Seconds from processSensorsWithCallBack to the completion, on the dispatcher's clock.
  double elapsed = 0.0;
};

/// The source of a fix as the host reports it: the provider's name, nullopt without a fix or
/// when the fix names no provider.
std::optional<std::string> sourceOf(const CLLocationRef& location);

/// Four lines: "latitude: ", "longitude: ", "source: " (the provider, or "(none)"), "json: "
/// (the text as received, or "(absent)").
std::string snapshotText(const SnapshotResult& result);
/// One line: {"latitude":...,"longitude":...,"source":... or null,"json":... or null,
/// "elapsed":seconds}.
std::string snapshotJson(const SnapshotResult& result);

/// The source of a sync run's fix, for the sync output: a line "source: NAME" ("(none)"), or a
/// key "source" (null), right after the position entries.
struct SyncSource {
  std::optional<std::string> name;
};

/// One line per entry ("la: ...", "Time: ..."), each list as "Accelerometer:" followed by one
/// record per line indented by two spaces. Position entries come first (then the source, when
/// given), then the lists in the order of getSensorData.
std::string sensorDataText(const PemdorSensorData& data,
                           const std::optional<SyncSource>& source = std::nullopt);
/// The data as one JSON object on one line (lists as arrays of strings), in the same order.
std::string sensorDataJson(const PemdorSensorData& data,
                           const std::optional<SyncSource>& source = std::nullopt);

}  // namespace pemdor::host
