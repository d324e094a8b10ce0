// SPDX-License-Identifier: MIT
// The callback run: ten readings of each callback stream, a bounded wait for a fix, one
// completion with the JSON snapshot.

#include "CollectorRuns.h"

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "ReadingFormat.h"
#include "pemdor/PemdorJsonWrapper.h"

namespace pemdor {

// ---------------------------------------------------------------------------------------------
// The callback run

void PemdorDeviceSensorInfo::processSensorsWithCallBack(Completion completion) {
  // The completion replaced here may hold host objects; it is released outside our locks.
  setCompletion(std::move(completion));
  Run::launch(std::make_shared<CallbackRun>(*this));
}

std::shared_ptr<PemdorDeviceSensorInfo::Run> PemdorDeviceSensorInfo::CallbackRun::begin() {
  PemdorDeviceSensorInfo& c = collector_;
  c.setAccelerometerFinished(false);
  c.setGyroFinished(false);
  c.setMagneticFinished(false);
  c.setLocationServiceFinished(false);
  c.setExecuteCompletionOnce(false);
  c.setCollectEnds(false);
  c.setInSyncMode(false);
  for (MotionStream stream : kCallbackStreams) takeStream(stream);
  return takeLocation();
}

void PemdorDeviceSensorInfo::CallbackRun::startMotion() {
  PemdorDeviceSensorInfo& c = collector_;
  auto self = c.shared_from_this();
  auto run = std::static_pointer_cast<CallbackRun>(shared_from_this());
  auto motion = c.motionManager();
  auto workQueue = c.queue();
  for (MotionStream stream : kCallbackStreams) {
    if (motion && workQueue && motion->isAvailable(stream)) {
      motion->setUpdateInterval(stream, kSensorUpdateInterval);
      motion->startUpdates(stream, workQueue,
                           [self, run, stream](const CMVector* value, const NSError*) {
                             // A stop inside may release this handler; keep what it holds.
                             const auto collector = self;
                             const auto owner = run;
                             owner->handleReading(stream, value);
                           });
    } else {
      c.impl_->sensorFinished[index(stream)] = true;
      c.checkAllRecords();
    }
  }
}

void PemdorDeviceSensorInfo::CallbackRun::handleReading(MotionStream stream,
                                                        const CMVector* value) {
  PemdorDeviceSensorInfo& c = collector_;
  const CMVector vector = value ? *value : CMVector{};
  std::string text = detail::formatCallbackReading(vector, sensorOf(stream).callbackPrecision);
  {
    std::lock_guard lock(c.impl_->runMutex);
    if (!streamTickets_[index(stream)].current()) return;
    if (c.impl_->list(stream)->appendIfBelow(std::move(text), kCallbackReadingsPerSensor)) return;
    if (auto motion = c.motionManager()) motion->stopUpdates(stream);
    c.impl_->sensorFinished[index(stream)] = true;
  }
  c.checkAllRecords();
}

void PemdorDeviceSensorInfo::CallbackRun::startLocation() {
  PemdorDeviceSensorInfo& c = collector_;
  auto& dispatcher = c.platform_->dispatcher();
  std::shared_ptr<CLLocationManager> manager;
  {
    std::lock_guard lock(c.impl_->runMutex);
    // A newer run came first.
    if (!locationTicket_.current()) return;
    // A timeout left by an earlier callback run must not end this run's wait.
    dispatcher.cancelPreviousPerformRequestsWithTarget(&c, detail::kCancelLocationServiceSelector);
    manager = c.platform_->makeLocationManager();
    c.setLocationManager(manager);
  }
  if (!manager) {
    c.proceedWithLocationService();
    return;
  }
  manager->setDelegate(c.weak_from_this());
  manager->setDesiredAccuracy(kCLLocationAccuracyKilometer);
  manager->setDistanceFilter(kCLHeadingFilterNone);
  if (detail::mayStartUpdates(*c.platform_)) {
    manager->startUpdatingLocation();
  } else {
    c.proceedWithLocationService();
  }
  dispatcher.performSelector(
      &c, detail::kCancelLocationServiceSelector, kLocationWaitSeconds,
      [self = c.shared_from_this(),
       run = std::static_pointer_cast<CallbackRun>(shared_from_this())] { run->timeout(); });
}

void PemdorDeviceSensorInfo::CallbackRun::timeout() {
  // The timeout of a run whose location part has passed to a newer run ends nothing.
  if (locationTicket_.current()) collector_.cancelLocationService();
}

void PemdorDeviceSensorInfo::CallbackRun::didUpdateLocation(CLLocationRef location) {
  PemdorDeviceSensorInfo& c = collector_;
  c.setCurrentLocation(std::move(location));
  c.platform_->dispatcher().cancelPreviousPerformRequestsWithTarget(
      &c, detail::kCancelLocationServiceSelector);
  c.proceedWithLocationService();
}

void PemdorDeviceSensorInfo::CallbackRun::didFailLocation() {
  PemdorDeviceSensorInfo& c = collector_;
  c.platform_->dispatcher().cancelPreviousPerformRequestsWithTarget(
      &c, detail::kCancelLocationServiceSelector);
  c.proceedWithLocationService();
}

void PemdorDeviceSensorInfo::cancelLocationService() {
  proceedWithLocationService();
}

void PemdorDeviceSensorInfo::proceedWithLocationService() {
  if (auto manager = locationManager()) manager->stopUpdatingLocation();
  setLocationServiceFinished(true);
  checkAllRecords();
}

void PemdorDeviceSensorInfo::checkAllRecords() {
  std::optional<std::string> json;
  std::string latitude;
  std::string longitude;
  {
    std::lock_guard check(impl_->completionCheckMutex);
    if (!accelerometerFinished() || !gyroFinished() || !magneticFinished() ||
        !locationServiceFinished() || executeCompletionOnce()) {
      return;
    }
    setExecuteCompletionOnce(true);

    nlohmann::json dictionary = nlohmann::json::object();
    for (MotionStream stream : kCallbackStreams) {
      dictionary[sensorOf(stream).snapshotKey] = checkNilOfArray(impl_->list(stream))->snapshot();
    }
    json = PemdorJsonWrapper::convertToJsonStringWithDictionary(dictionary);

    // One read of the position gives both coordinates, so that they always belong to one fix.
    if (auto location = currentLocation()) {
      latitude = detail::formatCoordinate(location->coordinate().latitude);
      longitude = detail::formatCoordinate(location->coordinate().longitude);
    }
  }

  // The delivery reads the completion when it runs, so a completion replaced in between by a
  // newer run is the one called. A run without a completion delivers nothing.
  auto self = weak_from_this().lock();
  if (!self) return;
  platform_->dispatcher().globalQueue(0)->async([self, latitude = std::move(latitude),
                                                 longitude = std::move(longitude),
                                                 json = std::move(json)] {
    if (auto completion = self->completion()) completion(latitude, longitude, json);
  });
}

PemdorRecordListRef PemdorDeviceSensorInfo::checkNilOfArray(const PemdorRecordListRef& list) {
  if (list) list->appendIfEmpty("");
  return list;
}

}  // namespace pemdor
