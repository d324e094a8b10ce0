// SPDX-License-Identifier: MIT
#pragma once

// How the gpsd provider reads gpsd's reports: which reports carry a position, and what gpsd's
// greeting looks like. Internal to the provider and its tests.

#include <gps.h>

#include <optional>
#include <string_view>

#include "pemdor/platform/CoreLocation.h"

#if GPSD_API_MAJOR_VERSION != 11
#error "The gpsd provider reads the report layout of libgps API 11 (gpsd 3.21 to 3.24)"
#endif

namespace pemdor::gpsd {

/// The position of the report that the last gps_read() or gps_unpack() brought in, when it is a
/// fix. `data.set` must have been zeroed before that read: libgps keeps earlier values in the
/// structure, and only the set mask says what this report carried. A report is a fix when it set
/// the mode to 2D or 3D and set finite latitude and longitude within their ranges.
std::optional<CLLocationCoordinate2D> positionOfReport(const gps_data_t& data);

/// Whether `line` is the VERSION object that gpsd sends to every client on connecting.
bool isVersionBanner(std::string_view line);

}  // namespace pemdor::gpsd
