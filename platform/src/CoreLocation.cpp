// SPDX-License-Identifier: MIT
#include "pemdor/platform/CoreLocation.h"

#include "pemdor/platform/Platform.h"

namespace pemdor {

void CLLocationManager::setDelegate(std::weak_ptr<CLLocationManagerDelegate> delegate) {
  std::lock_guard guard(mutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<CLLocationManagerDelegate> CLLocationManager::delegate() const {
  std::lock_guard guard(mutex_);
  return delegate_.lock();
}

void CLLocationManager::setDesiredAccuracy(CLLocationAccuracy accuracy) {
  std::lock_guard guard(mutex_);
  desiredAccuracy_ = accuracy;
}

CLLocationAccuracy CLLocationManager::desiredAccuracy() const {
  std::lock_guard guard(mutex_);
  return desiredAccuracy_;
}

void CLLocationManager::setDistanceFilter(CLLocationDistance filter) {
  std::lock_guard guard(mutex_);
  distanceFilter_ = filter;
}

CLLocationDistance CLLocationManager::distanceFilter() const {
  std::lock_guard guard(mutex_);
  return distanceFilter_;
}

bool CLLocationManager::locationServicesEnabled() {
  return Platform::defaultPlatform()->locationServicesEnabled();
}

CLAuthorizationStatus CLLocationManager::authorizationStatus() {
  return Platform::defaultPlatform()->authorizationStatus();
}

// The delegate is taken out of the lock before it is called, so a delegate may call back into
// the manager.
void CLLocationManager::notifyDidUpdateLocations(const std::vector<CLLocationRef>& locations) {
  if (auto d = delegate()) d->locationManagerDidUpdateLocations(*this, locations);
}

void CLLocationManager::notifyDidUpdateToLocation(const CLLocationRef& newLocation,
                                                  const CLLocationRef& oldLocation) {
  if (auto d = delegate()) d->locationManagerDidUpdateToLocation(*this, newLocation, oldLocation);
}

void CLLocationManager::notifyDidFailWithError(const NSError& error) {
  if (auto d = delegate()) d->locationManagerDidFailWithError(*this, error);
}

void CLLocationManager::notifyDidChangeAuthorization(CLAuthorizationStatus status) {
  if (auto d = delegate()) d->locationManagerDidChangeAuthorization(*this, status);
}

}  // namespace pemdor
