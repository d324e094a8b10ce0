// SPDX-License-Identifier: MIT
#pragma once

// The IIO motion service with what tests may put in place of a device (internal to the IIO
// provider; the public way in is makeIioMotionService in Providers.h).

#include <functional>
#include <memory>

#include "pemdor/platform/CoreMotion.h"

namespace pemdor::iio {

/// Called on a stream's own worker thread right before each read of its device. A test makes a
/// device slow to answer with it: a sysfs read that takes a second or more cannot be faked with
/// umockdev, whose attribute files libiio reads at once (and a pipe is not listed as one).
using BeforeRead = std::function<void(MotionStream stream)>;

/// The IIO motion service; `beforeRead` may be empty.
std::shared_ptr<MotionService> makeIioMotionService(BeforeRead beforeRead);

}  // namespace pemdor::iio
