// SPDX-License-Identifier: MIT
#pragma once

// Writes a scenario of the simulated device as JSON text that reads back into the same scenario:
// every number in the shortest form that reads back as the same double, -0 as "-0.0" (a bare
// "-0" would read back as the integer 0), one reading or event per line.

#include <string>

#include "pemdor/platform/SimulatedDevice.h"

namespace pemdor::host {

/// The text of `scenario`, ending in a newline. Keys left unset in the scenario (no clock start,
/// no readings, no events, an event's source that is empty or "simulated") are left out, so
/// that they keep their defaults when read back.
std::string scenarioText(const SimScenario& scenario);

/// `value` as a JSON number that reads back exactly; `value` must be finite.
std::string exactNumber(double value);

}  // namespace pemdor::host
