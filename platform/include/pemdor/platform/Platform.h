// SPDX-License-Identifier: MIT
#pragma once

/// @file
/// A platform bundles what a collector reaches outside itself: a dispatcher (queues, timers,
/// delayed calls), a wall clock, a motion service and a location service.
///
/// Threads: every operation is thread-safe. A platform is shared by reference; its services live
/// as long as the last holder.

#include <memory>
#include <string>

#include "pemdor/platform/CoreLocation.h"
#include "pemdor/platform/CoreMotion.h"
#include "pemdor/platform/Dispatch.h"

namespace pemdor {

/// One provider of each platform service, shared by the collectors made on it.
class Platform {
 public:
  /// The providers a platform is made of; any may be left empty for create() to fill in.
  struct Services {
    /// Queues, timers and delayed calls.
    std::shared_ptr<Dispatcher> dispatcher;
    /// The wall clock that timestamps readings and positions.
    std::shared_ptr<WallClock> clock;
    /// Makes motion managers.
    std::shared_ptr<MotionService> motion;
    /// Makes location managers and answers for the location services.
    std::shared_ptr<LocationService> location;
  };

  /// Missing services are filled in: a new real dispatcher, the system clock, no motion, no
  /// location.
  static std::shared_ptr<Platform> create(Services services);

  /// The process default platform. Made on first use unless a host set one; the made one uses
  /// the real dispatcher, the system clock and the best providers found on this machine.
  static std::shared_ptr<Platform> defaultPlatform();
  /// Replaces the process default platform (nullptr: make a new one on next use). Collectors
  /// already made keep the platform they were made on.
  static void setDefaultPlatform(std::shared_ptr<Platform> platform);

  /// A new motion manager of the motion service.
  std::shared_ptr<CMMotionManager> makeMotionManager() const;
  /// A new location manager of the location service.
  std::shared_ptr<CLLocationManager> makeLocationManager() const;
  /// Whether the location service says its services are enabled.
  bool locationServicesEnabled() const;
  /// The location service's authorisation of this application.
  CLAuthorizationStatus authorizationStatus() const;

  /// The dispatcher.
  Dispatcher& dispatcher() const { return *services_.dispatcher; }
  /// The dispatcher, as a shared reference.
  const std::shared_ptr<Dispatcher>& sharedDispatcher() const { return services_.dispatcher; }
  /// The wall clock's time: seconds since 1970.
  double timeIntervalSince1970() const { return services_.clock->timeIntervalSince1970(); }

  /// The providers, as filled in.
  const Services& services() const { return services_; }
  /// "motion: NAME, location: NAME".
  std::string describe() const;

  /// A platform of exactly `services`; create() is the way to make one.
  explicit Platform(Services services);

 private:
  Services services_;
};

}  // namespace pemdor
