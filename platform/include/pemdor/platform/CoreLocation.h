// SPDX-License-Identifier: MIT
#pragma once

// The location service: class-level queries, location managers that start and stop updates, and
// the delegate protocol through which fixes and failures come back.
//
// Threads: every operation is safe to call from any thread. Delegate callbacks always arrive on
// the platform's main thread, never inside the call that started the updates. Once
// stopUpdatingLocation() has returned on the main thread, or the manager has been destroyed, no
// further callback of that manager arrives; a stop from another thread ends deliveries as soon
// as the main thread sees it.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pemdor/platform/NSError.h"

namespace pemdor {

using CLLocationDegrees = double;
using CLLocationAccuracy = double;
using CLLocationDistance = double;

struct CLLocationCoordinate2D {
  CLLocationDegrees latitude = 0.0;
  CLLocationDegrees longitude = 0.0;
  friend bool operator==(const CLLocationCoordinate2D&, const CLLocationCoordinate2D&) = default;
};

/// One position fix. Immutable, shared by reference.
class CLLocation {
 public:
  CLLocation(CLLocationDegrees latitude, CLLocationDegrees longitude)
      : coordinate_{latitude, longitude} {}
  explicit CLLocation(CLLocationCoordinate2D coordinate) : coordinate_(coordinate) {}
  const CLLocationCoordinate2D& coordinate() const { return coordinate_; }

 private:
  CLLocationCoordinate2D coordinate_;
};
using CLLocationRef = std::shared_ptr<const CLLocation>;

/// Accuracies and filters are passed through to the provider unchanged.
inline constexpr CLLocationAccuracy kCLLocationAccuracyKilometer = 1000.0;
inline constexpr CLLocationAccuracy kCLLocationAccuracyThreeKilometers = 3000.0;
inline constexpr CLLocationDistance kCLHeadingFilterNone = -1.0;

/// Authorisation status values; only 3 and 4 mean authorised.
using CLAuthorizationStatus = int;
inline constexpr CLAuthorizationStatus kCLAuthorizationStatusNotDetermined = 0;
inline constexpr CLAuthorizationStatus kCLAuthorizationStatusRestricted = 1;
inline constexpr CLAuthorizationStatus kCLAuthorizationStatusDenied = 2;
inline constexpr CLAuthorizationStatus kCLAuthorizationStatusAuthorizedAlways = 3;
inline constexpr CLAuthorizationStatus kCLAuthorizationStatusAuthorizedWhenInUse = 4;

class CLLocationManager;

/// Receives a manager's fixes and failures, on the main thread. The three callbacks are named
/// after the selectors locationManager:didUpdateLocations:,
/// locationManager:didUpdateToLocation:fromLocation: and locationManager:didFailWithError:.
class CLLocationManagerDelegate {
 public:
  virtual ~CLLocationManagerDelegate() = default;
  /// `locations` may be empty; entries are never null.
  virtual void locationManagerDidUpdateLocations(CLLocationManager& manager,
                                                 const std::vector<CLLocationRef>& locations) {
    (void)manager, (void)locations;
  }
  /// `newLocation` is never null; `oldLocation` may be.
  virtual void locationManagerDidUpdateToLocation(CLLocationManager& manager,
                                                  const CLLocationRef& newLocation,
                                                  const CLLocationRef& oldLocation) {
    (void)manager, (void)newLocation, (void)oldLocation;
  }
  virtual void locationManagerDidFailWithError(CLLocationManager& manager, const NSError& error) {
    (void)manager, (void)error;
  }
};

/// A location manager. Made by a platform; providers subclass it and implement the two updates
/// operations.
class CLLocationManager {
 public:
  virtual ~CLLocationManager() = default;

  /// The delegate is held weakly: a delegate that has gone receives nothing.
  void setDelegate(std::weak_ptr<CLLocationManagerDelegate> delegate);
  std::shared_ptr<CLLocationManagerDelegate> delegate() const;

  void setDesiredAccuracy(CLLocationAccuracy accuracy);
  CLLocationAccuracy desiredAccuracy() const;
  void setDistanceFilter(CLLocationDistance filter);
  CLLocationDistance distanceFilter() const;

  /// Starts delivering fixes to the delegate. Calling it while updates run does nothing more.
  virtual void startUpdatingLocation() = 0;
  /// Ends deliveries. Harmless when updates were never started, and may be called many times.
  virtual void stopUpdatingLocation() = 0;

  /// Class-level queries, answered by the location provider of the process default platform.
  /// A collector asks its own platform instead (Platform::locationServicesEnabled()).
  static bool locationServicesEnabled();
  static CLAuthorizationStatus authorizationStatus();

 protected:
  // For providers: hand a callback to the delegate. Call these on the main thread only.
  void notifyDidUpdateLocations(const std::vector<CLLocationRef>& locations);
  void notifyDidUpdateToLocation(const CLLocationRef& newLocation, const CLLocationRef& oldLocation);
  void notifyDidFailWithError(const NSError& error);

 private:
  mutable std::mutex mutex_;
  std::weak_ptr<CLLocationManagerDelegate> delegate_;
  CLLocationAccuracy desiredAccuracy_ = kCLLocationAccuracyKilometer;
  CLLocationDistance distanceFilter_ = kCLHeadingFilterNone;
};

/// The location provider of a platform: the class-level queries and the making of managers.
class LocationService {
 public:
  virtual ~LocationService() = default;
  /// A short name for diagnostics: "simulated", "gpsd", "none".
  virtual std::string name() const = 0;
  virtual bool locationServicesEnabled() = 0;
  virtual CLAuthorizationStatus authorizationStatus() = 0;
  virtual std::shared_ptr<CLLocationManager> makeLocationManager() = 0;
};

/// A location service that is switched off: services disabled, status 0, and managers that
/// never deliver anything.
std::shared_ptr<LocationService> makeNoLocationService();

}  // namespace pemdor
