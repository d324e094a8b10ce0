// SPDX-License-Identifier: MIT
#pragma once

// The IIO device report of `pemdor-sensors info`: each device the IIO provider sees, its
// channels, the streams it was chosen for, its matrices and where they came from, and how it is
// read. It lets a user see why a reading looks rotated or missing.

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "pemdor/platform/Providers.h"

namespace pemdor::host {

/// "IIO devices: none\n", or "IIO devices:" and an indented block per device.
std::string iioReportText(const std::vector<IioDeviceReport>& devices);

/// An array with one object per device: id, name, label, location, trigger, channels (kind,
/// complete, read, matrix as three rows, matrixSource, chosenFor) and notes.
nlohmann::ordered_json iioReportJson(const std::vector<IioDeviceReport>& devices);

}  // namespace pemdor::host
