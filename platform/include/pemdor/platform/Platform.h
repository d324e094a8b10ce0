// SPDX-License-Identifier: MIT
#pragma once

// A platform bundles what a collector reaches outside itself: a dispatcher (queues, timers,
// delayed calls), a wall clock, a motion service and a location service.
//
// Threads: every operation is thread-safe. A platform is shared by reference; its services live
// as long as the last holder.

#include <memory>
#include <string>

#include "pemdor/platform/CoreLocation.h"
#include "pemdor/platform/CoreMotion.h"
#include "pemdor/platform/Dispatch.h"

namespace pemdor {

class Platform {
 public:
  struct Services {
    std::shared_ptr<Dispatcher> dispatcher;
    std::shared_ptr<WallClock> clock;
    std::shared_ptr<MotionService> motion;
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

  std::shared_ptr<CMMotionManager> makeMotionManager() const;
  std::shared_ptr<CLLocationManager> makeLocationManager() const;
  bool locationServicesEnabled() const;
  CLAuthorizationStatus authorizationStatus() const;

  Dispatcher& dispatcher() const { return *services_.dispatcher; }
  const std::shared_ptr<Dispatcher>& sharedDispatcher() const { return services_.dispatcher; }
  double timeIntervalSince1970() const { return services_.clock->timeIntervalSince1970(); }

  const Services& services() const { return services_; }
  /// "motion: NAME, location: NAME".
  std::string describe() const;

  explicit Platform(Services services);

 private:
  Services services_;
};

}  // namespace pemdor
