// SPDX-License-Identifier: MIT
// The sync run: timestamped readings of the four streams up to a limit and one fix with its
// time, read at any moment, until finishSensors.

#include "CollectorRuns.h"

#include "ReadingFormat.h"
#include "RecordListAccess.h"
#include "pemdor/internal/TickPath.h"

namespace pemdor {

// ---------------------------------------------------------------------------------------------
// The sync run

void PemdorDeviceSensorInfo::startSensors() {
  startSensors(kDefaultSyncLimit);
}

void PemdorDeviceSensorInfo::startSensors(std::int32_t limit) {
  // A negative limit would never stop a stream; it keeps nothing instead.
  Run::launch(std::make_shared<SyncRun>(*this, limit < 0 ? 0 : static_cast<std::size_t>(limit)));
}

std::shared_ptr<PemdorDeviceSensorInfo::Run> PemdorDeviceSensorInfo::SyncRun::begin() {
  PemdorDeviceSensorInfo& c = collector_;
  c.setInSyncMode(true);
  c.setCollectEnds(false);
  for (MotionStream stream : kAllMotionStreams) takeStream(stream);
  c.setCurrentLocation(nullptr);
  c.setCurrentLocationTime("");
  return takeLocation();
}

void PemdorDeviceSensorInfo::SyncRun::startMotion() {
  PemdorDeviceSensorInfo& c = collector_;
  auto self = c.shared_from_this();
  auto run = std::static_pointer_cast<SyncRun>(shared_from_this());
  auto motion = c.motionManager();
  auto workQueue = c.queue();
  if (!motion || !workQueue) return;
  for (MotionStream stream : kAllMotionStreams) {
    if (!motion->isAvailable(stream)) continue;
    motion->setUpdateInterval(stream, kSensorUpdateInterval);
    auto handler = [self, run, stream](const CMVector* value, const NSError*) {
      deliverReading(self, run, stream, value);
    };
    if (stream == MotionStream::deviceMotion) {
      motion->startDeviceMotionUpdatesUsingReferenceFrame(
          CMAttitudeReferenceFrame::XArbitraryZVertical, workQueue,
          [handler](const CMDeviceMotion* data, const NSError* error) {
            handler(data ? &data->gravity : nullptr, error);
          });
    } else {
      motion->startUpdates(stream, workQueue, handler);
    }
  }
}

// Out of line, so that the handlers of the four streams, and the wrapper of the gravity one, run
// this one copy of the code in every tick.
[[gnu::noinline]] PEMDOR_TICK_PATH void PemdorDeviceSensorInfo::SyncRun::deliverReading(
    const std::shared_ptr<PemdorDeviceSensorInfo>& collector, const std::shared_ptr<SyncRun>& run,
    MotionStream stream, const CMVector* value) {
  const auto keepCollector = collector;
  const auto keepRun = run;
  keepRun->handleReading(stream, value);
}

PEMDOR_TICK_PATH void PemdorDeviceSensorInfo::SyncRun::handleReading(MotionStream stream,
                                                                     const CMVector* value) {
  PemdorDeviceSensorInfo& c = collector_;
  const CMVector vector = value ? *value : CMVector{};
  // The reading's time as getCurrentTime() would write it; the list writes the text when it is
  // first read, so that the handler does no formatting.
  const double now = c.platform_->timeIntervalSince1970();
  auto motion = c.motionManager();
  std::lock_guard lock(c.impl_->runMutex);
  if (!streamTickets_[index(stream)].current()) return;
  if (motion && motion->isActive(stream) &&
      detail::RecordListAccess::appendSyncReadingIfBelow(*c.impl_->list(stream), vector, now,
                                                         limit_)) {
    return;
  }
  if (motion) motion->stopUpdates(stream);
}

void PemdorDeviceSensorInfo::SyncRun::startLocation() {
  PemdorDeviceSensorInfo& c = collector_;
  std::shared_ptr<CLLocationManager> manager;
  {
    std::lock_guard lock(c.impl_->runMutex);
    // A newer run, or finishSensors for this run, came first.
    if (!locationTicket_.current()) return;
    // A timeout left by an earlier callback run has nothing left to end.
    c.platform_->dispatcher().cancelPreviousPerformRequestsWithTarget(
        &c, detail::kCancelLocationServiceSelector);
    manager = c.platform_->makeLocationManager();
    c.setLocationManager(manager);
  }
  if (!manager) return;
  manager->setDelegate(c.weak_from_this());
  manager->setDesiredAccuracy(kCLLocationAccuracyThreeKilometers);
  manager->setDistanceFilter(kCLHeadingFilterNone);
  c.platform_->dispatcher().globalQueue(0)->async(
      [self = c.shared_from_this(), run = std::static_pointer_cast<SyncRun>(shared_from_this())] {
        run->startUpdates();
      });
}

void PemdorDeviceSensorInfo::SyncRun::startUpdates() {
  PemdorDeviceSensorInfo& c = collector_;
  // The provider's queries may take a moment; they are made before taking the lock.
  if (!detail::mayStartUpdates(*c.platform_)) return;
  std::lock_guard lock(c.impl_->runMutex);
  if (!locationTicket_.current()) return;
  if (auto current = c.locationManager()) current->startUpdatingLocation();
}

void PemdorDeviceSensorInfo::SyncRun::didUpdateLocation(CLLocationRef location) {
  PemdorDeviceSensorInfo& c = collector_;
  if (!c.collectEnds()) {
    c.setCurrentLocation(std::move(location));
    c.setCurrentLocationTime(c.getCurrentTime());
  }
  if (auto manager = c.locationManager()) manager->stopUpdatingLocation();
}

void PemdorDeviceSensorInfo::SyncRun::didFailLocation() {
  if (auto manager = collector_.locationManager()) manager->stopUpdatingLocation();
}

void PemdorDeviceSensorInfo::SyncRun::finish() {
  // A location start or start of updates still pending from this run now does nothing.
  locationTicket_.end();
}

PemdorSensorData PemdorDeviceSensorInfo::getSensorData() {
  PemdorSensorData data;
  // One read of the position gives both coordinates, so that they always belong to one fix.
  if (auto location = currentLocation()) {
    data["la"] = detail::formatCoordinate(location->coordinate().latitude);
    data["lo"] = detail::formatCoordinate(location->coordinate().longitude);
    data["Time"] = currentLocationTime();
  }
  for (const PemdorSensor& sensor : kPemdorSensors) {
    auto list = impl_->list(sensor.stream);
    if (!list->empty()) data[sensor.dataKey] = std::move(list);
  }
  return data;
}

void PemdorDeviceSensorInfo::finishSensors() {
  if (auto motion = motionManager()) {
    motion->stopAccelerometerUpdates();
    motion->stopGyroUpdates();
    motion->stopMagnetometerUpdates();
    motion->stopDeviceMotionUpdates();
  }
  std::shared_ptr<CLLocationManager> manager;
  {
    std::lock_guard lock(impl_->runMutex);
    impl_->locationRun->finish();
    manager = locationManager();
  }
  if (manager) manager->stopUpdatingLocation();
}

}  // namespace pemdor
