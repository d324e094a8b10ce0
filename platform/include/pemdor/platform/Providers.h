#pragma once

// The real providers of Linux devices, each built only where its library is installed.
//
//  - IIO motion (libiio, local context): accelerometer, gyroscope and magnetometer from
//    /sys/bus/iio devices; device motion (gravity) from a gravity channel or derived from the
//    accelerometer.
//  - gpsd positions (libgps): fixes from a gpsd daemon, by default at localhost:2947.
//
// Every function is thread-safe. The presence checks are bounded and short.

#include <memory>
#include <string>

#include "pemdor/platform/CoreLocation.h"
#include "pemdor/platform/CoreMotion.h"
#include "pemdor/platform/Dispatch.h"

namespace pemdor {

/// Whether this build contains the IIO motion provider.
bool iioProviderBuilt();
/// Whether an IIO accelerometer, gyroscope or magnetometer exists now (false without the
/// provider).
bool iioMotionDevicesPresent();
/// The IIO motion service, delivering on `dispatcher`'s queues; nullptr without the provider.
std::shared_ptr<MotionService> makeIioMotionService(std::shared_ptr<Dispatcher> dispatcher);

struct GpsdEndpoint {
  std::string host = "localhost";
  std::string port = "2947";
};

/// Whether this build contains the gpsd location provider.
bool gpsdProviderBuilt();
/// Whether a gpsd answers at `endpoint` within `timeoutSeconds` (false without the provider).
bool gpsdAnswers(const GpsdEndpoint& endpoint, double timeoutSeconds = 0.5);
/// The gpsd location service, with callbacks on `dispatcher`'s main queue; nullptr without the
/// provider.
std::shared_ptr<LocationService> makeGpsdLocationService(std::shared_ptr<Dispatcher> dispatcher,
                                                         GpsdEndpoint endpoint = {});

/// What a look for a real provider found. The process default platform and the sample host
/// choose from these answers.
enum class ProviderPresence {
  /// This build does not contain the provider.
  notBuilt,
  /// The provider is built but finds nothing to use now.
  absent,
  present,
};

/// Whether IIO motion devices can be used now.
ProviderPresence iioMotionPresence();
/// Whether a gpsd answers at `endpoint` now (bounded by gpsdAnswers' default timeout).
ProviderPresence gpsdPresence(const GpsdEndpoint& endpoint = {});

}  // namespace pemdor
