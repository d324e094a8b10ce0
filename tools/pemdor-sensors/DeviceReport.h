// SPDX-License-Identifier: MIT
#pragma once

// The device reports of `pemdor-sensors info`: each device the IIO and the input-device providers
// see, its channels or axes, the streams it was chosen for, its matrices and where they came
// from, and how it is read or why it cannot be. They let a user see why a reading looks rotated
// or missing.

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

/// "Input motion devices: none\n", or "Input motion devices:" and an indented block per device:
/// its node and name and mount matrix, a line per sensor with its axes, their resolutions and
/// where those came from, and the streams it was chosen for. A node that cannot be opened is the
/// one line "  /dev/input/eventN: <problem>".
std::string inputReportText(const std::vector<EvdevDeviceReport>& devices);

/// An array with one object per device: node, name, problem (null when the node was opened),
/// sensors (kind, axes, resolution, resolutionSource, usable, chosenFor), matrix as three rows,
/// matrixSource and notes.
nlohmann::ordered_json inputReportJson(const std::vector<EvdevDeviceReport>& devices);

}  // namespace pemdor::host
