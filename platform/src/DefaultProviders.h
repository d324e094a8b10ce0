// SPDX-License-Identifier: MIT
#pragma once

#include <memory>

#include "pemdor/platform/CoreLocation.h"
#include "pemdor/platform/CoreMotion.h"
#include "pemdor/platform/Dispatch.h"

namespace pemdor::detail {

// The providers of the process default platform: for motion the first real one, in order of
// preference, that this machine has (ProviderPresence::present); for locations every real one
// it has, combined where there are several; otherwise services that report nothing (never
// invented data).
std::shared_ptr<MotionService> makeDefaultMotionService(
    const std::shared_ptr<Dispatcher>& dispatcher);
std::shared_ptr<LocationService> makeDefaultLocationService(
    const std::shared_ptr<Dispatcher>& dispatcher);

}  // namespace pemdor::detail
