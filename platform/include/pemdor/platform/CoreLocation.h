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
#include <utility>
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
  /// A fix at `latitude` and `longitude`, delivered by the provider named `source`.
  CLLocation(CLLocationDegrees latitude, CLLocationDegrees longitude, std::string source = {})
      : coordinate_{latitude, longitude}, source_(std::move(source)) {}
  /// A fix at `coordinate`, delivered by the provider named `source`.
  explicit CLLocation(CLLocationCoordinate2D coordinate, std::string source = {})
      : coordinate_(coordinate), source_(std::move(source)) {}
  /// The position, in degrees.
  const CLLocationCoordinate2D& coordinate() const { return coordinate_; }
  /// The name of the provider that delivered the fix: "geoclue", "gpsd" or "simulated" (a
  /// replayed recording gives the name of the provider it recorded). Empty for a fix that no
  /// provider made. The collector does not look at it.
  const std::string& source() const { return source_; }

 private:
  CLLocationCoordinate2D coordinate_;
  std::string source_;
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
  /// Named after locationManager:didChangeAuthorizationStatus:. A provider that learns the
  /// user's consent only when updates start (GeoClue2) calls it once per start with the answer:
  /// kCLAuthorizationStatusAuthorizedWhenInUse when the start was allowed, or
  /// kCLAuthorizationStatusDenied right before the failure that a refusal brings. The collector
  /// does not answer it; a combined location service uses it to let consent decide.
  virtual void locationManagerDidChangeAuthorization(CLLocationManager& manager,
                                                     CLAuthorizationStatus status) {
    (void)manager, (void)status;
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
  void notifyDidUpdateToLocation(const CLLocationRef& newLocation,
                                 const CLLocationRef& oldLocation);
  void notifyDidFailWithError(const NSError& error);
  void notifyDidChangeAuthorization(CLAuthorizationStatus status);

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
  /// A short name for diagnostics and for the source of its fixes: "simulated", "gpsd",
  /// "geoclue", "combined", "none".
  virtual std::string name() const = 0;
  virtual bool locationServicesEnabled() = 0;
  virtual CLAuthorizationStatus authorizationStatus() = 0;
  virtual std::shared_ptr<CLLocationManager> makeLocationManager() = 0;
  /// Whether this service knows the user's consent and tells it to its managers' delegates
  /// through locationManagerDidChangeAuthorization (GeoClue2 does). A combined location service
  /// lets such a member decide for all of its members.
  virtual bool decidesConsent() const { return false; }
};

/// A location service that is switched off: services disabled, status 0, and managers that
/// never deliver anything.
std::shared_ptr<LocationService> makeNoLocationService();

}  // namespace pemdor
