// SPDX-License-Identifier: MIT
#pragma once

// How the location interface's settings become a GeoClue2 client's properties. Internal to the
// GeoClue2 provider; its tests include it directly.

#include <cstdint>

#include "pemdor/platform/CoreLocation.h"

namespace pemdor::geoclue {

/// The values of GeoClue2's RequestedAccuracyLevel that the provider asks for.
enum AccuracyLevel : std::uint32_t {
  kAccuracyCountry = 1,
  kAccuracyCity = 4,
  kAccuracyNeighborhood = 5,
  kAccuracyStreet = 6,
  kAccuracyExact = 8,
};

/// The coarsest level whose positions still meet `accuracy` metres. GeoClue2 blurs positions at
/// NEIGHBORHOOD and coarser levels by several kilometres and adds that to the accuracy it reports,
/// so both kCLLocationAccuracyKilometer and kCLLocationAccuracyThreeKilometers ask for STREET:
///
///   accuracy (m)          level
///   below 1000, or none   EXACT (8)      finer than a kilometre, or not a positive number
///   1000 to 3000          STREET (6)     kCLLocationAccuracyKilometer, ...ThreeKilometers
///   up to 20000           NEIGHBORHOOD (5)
///   up to 100000          CITY (4)
///   above                 COUNTRY (1)
std::uint32_t accuracyLevelFor(CLLocationAccuracy accuracy);

/// GeoClue2's DistanceThreshold in whole metres: 0 (every position) for kCLHeadingFilterNone and
/// for any filter that is not a positive number, otherwise the filter rounded up, at most
/// UINT32_MAX.
std::uint32_t distanceThresholdFor(CLLocationDistance filter);

}  // namespace pemdor::geoclue
