// SPDX-License-Identifier: MIT
#pragma once

/// @file
/// The location service: class-level queries, location managers that start and stop updates, and
/// the delegate protocol through which fixes and failures come back.
///
/// Threads: every operation is safe to call from any thread. Delegate callbacks always arrive on
/// the platform's main thread, never inside the call that started the updates. Once
/// stopUpdatingLocation() has returned on the main thread, or the manager has been destroyed, no
/// further callback of that manager arrives; a stop from another thread ends deliveries as soon
/// as the main thread sees it.

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "pemdor/platform/NSError.h"

namespace pemdor {

/// An angle in degrees: latitudes north and longitudes east are positive.
using CLLocationDegrees = double;
/// An accuracy in metres.
using CLLocationAccuracy = double;
/// A distance in metres.
using CLLocationDistance = double;

/// A position on the WGS 84 ellipsoid.
struct CLLocationCoordinate2D {
  /// Degrees north of the equator, from -90 to 90.
  CLLocationDegrees latitude = 0.0;
  /// Degrees east of Greenwich, from -180 to 180.
  CLLocationDegrees longitude = 0.0;
  /// Two coordinates are equal when both their degrees are.
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
/// How fixes are held and handed out.
using CLLocationRef = std::shared_ptr<const CLLocation>;

/// A desired accuracy of about a kilometre (the default of a new manager). Accuracies and
/// filters are passed through to the provider unchanged; Providers.h says what each provider
/// makes of them.
inline constexpr CLLocationAccuracy kCLLocationAccuracyKilometer = 1000.0;
/// A desired accuracy of about three kilometres.
inline constexpr CLLocationAccuracy kCLLocationAccuracyThreeKilometers = 3000.0;
/// No distance filter: every fix is delivered (the default of a new manager).
inline constexpr CLLocationDistance kCLHeadingFilterNone = -1.0;

/// Authorisation status values; only 3 and 4 mean authorised.
using CLAuthorizationStatus = int;
/// The user has not been asked yet.
inline constexpr CLAuthorizationStatus kCLAuthorizationStatusNotDetermined = 0;
/// The application may not use location services, and the user cannot change that.
inline constexpr CLAuthorizationStatus kCLAuthorizationStatusRestricted = 1;
/// The user refused.
inline constexpr CLAuthorizationStatus kCLAuthorizationStatusDenied = 2;
/// Authorised at any time.
inline constexpr CLAuthorizationStatus kCLAuthorizationStatusAuthorizedAlways = 3;
/// Authorised while the application is in use.
inline constexpr CLAuthorizationStatus kCLAuthorizationStatusAuthorizedWhenInUse = 4;

class CLLocationManager;

/// Receives a manager's fixes and failures, on the main thread. The three callbacks are named
/// after the selectors locationManager:didUpdateLocations:,
/// locationManager:didUpdateToLocation:fromLocation: and locationManager:didFailWithError:.
class CLLocationManagerDelegate {
 public:
  /// Delegates are held weakly by their managers and may go at any time.
  virtual ~CLLocationManagerDelegate() = default;
  /// New fixes, oldest first. `locations` may be empty; entries are never null.
  virtual void locationManagerDidUpdateLocations(CLLocationManager& manager,
                                                 const std::vector<CLLocationRef>& locations) {
    (void)manager, (void)locations;
  }
  /// A new fix and the one before it. `newLocation` is never null; `oldLocation` may be.
  virtual void locationManagerDidUpdateToLocation(CLLocationManager& manager,
                                                  const CLLocationRef& newLocation,
                                                  const CLLocationRef& oldLocation) {
    (void)manager, (void)newLocation, (void)oldLocation;
  }
  /// The provider could not deliver fixes: refused, unreachable, or gone.
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
  /// Destroying a manager ends its deliveries; providers subclass it.
  virtual ~CLLocationManager() = default;

  /// Sets the receiver of the callbacks. The delegate is held weakly: a delegate that has gone
  /// receives nothing.
  void setDelegate(std::weak_ptr<CLLocationManagerDelegate> delegate);
  /// The delegate, or nullptr when none is set or it has gone.
  std::shared_ptr<CLLocationManagerDelegate> delegate() const;

  /// Sets the accuracy asked of the provider, in metres.
  void setDesiredAccuracy(CLLocationAccuracy accuracy);
  /// The accuracy asked of the provider (kCLLocationAccuracyKilometer by default).
  CLLocationAccuracy desiredAccuracy() const;
  /// Sets the distance in metres a device must move before a new fix is delivered.
  void setDistanceFilter(CLLocationDistance filter);
  /// The distance filter (kCLHeadingFilterNone by default).
  CLLocationDistance distanceFilter() const;

  /// Starts delivering fixes to the delegate. Calling it while updates run does nothing more.
  virtual void startUpdatingLocation() = 0;
  /// Ends deliveries. Harmless when updates were never started, and may be called many times.
  virtual void stopUpdatingLocation() = 0;

  /// Class-level queries, answered by the location provider of the process default platform.
  /// A collector asks its own platform instead (Platform::locationServicesEnabled()).
  static bool locationServicesEnabled();
  /// @copydoc locationServicesEnabled()
  static CLAuthorizationStatus authorizationStatus();

 protected:
  /// @name For providers
  /// @{

  /// Hand a callback to the delegate, if it is still there. Call these on the main thread only.
  void notifyDidUpdateLocations(const std::vector<CLLocationRef>& locations);
  void notifyDidUpdateToLocation(const CLLocationRef& newLocation,
                                 const CLLocationRef& oldLocation);
  void notifyDidFailWithError(const NSError& error);
  void notifyDidChangeAuthorization(CLAuthorizationStatus status);
  /// @}

 private:
  mutable std::mutex mutex_;
  std::weak_ptr<CLLocationManagerDelegate> delegate_;
  CLLocationAccuracy desiredAccuracy_ = kCLLocationAccuracyKilometer;
  CLLocationDistance distanceFilter_ = kCLHeadingFilterNone;
};

/// The location provider of a platform: the class-level queries and the making of managers.
class LocationService {
 public:
  /// Providers subclass the service.
  virtual ~LocationService() = default;
  /// A short name for diagnostics and for the source of its fixes: "simulated", "gpsd",
  /// "geoclue", "combined", "none".
  virtual std::string name() const = 0;
  /// Whether location services are enabled on this machine.
  virtual bool locationServicesEnabled() = 0;
  /// This application's authorisation.
  virtual CLAuthorizationStatus authorizationStatus() = 0;
  /// A new location manager of this provider.
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
