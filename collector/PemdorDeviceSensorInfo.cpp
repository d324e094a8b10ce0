// SPDX-License-Identifier: MIT
// The collector object: construction, its properties, the queries that need no run, and the
// location callbacks, which it routes to the run that holds the location part.

#include "CollectorRuns.h"

#include "ReadingFormat.h"
#include "pemdor/internal/TickPath.h"

namespace pemdor {

std::shared_ptr<PemdorDeviceSensorInfo> PemdorDeviceSensorInfo::init() {
  return init(Platform::defaultPlatform());
}

std::shared_ptr<PemdorDeviceSensorInfo> PemdorDeviceSensorInfo::init(
    std::shared_ptr<Platform> platform) {
  if (!platform) return nullptr;
  try {
    auto collector =
        std::make_shared<PemdorDeviceSensorInfo>(ConstructionKey{}, std::move(platform));
    if (!collector->motionManager() || !collector->queue()) return nullptr;
    return collector;
  } catch (...) {
    return nullptr;
  }
}

PemdorDeviceSensorInfo::PemdorDeviceSensorInfo(ConstructionKey, std::shared_ptr<Platform> platform)
    : platform_(std::move(platform)), impl_(std::make_unique<Impl>()) {
  impl_->motionManager = platform_->makeMotionManager();
  for (auto& list : impl_->records) list = PemdorRecordList::create();
  impl_->currentLocation = nullptr;
  impl_->currentLocationTime = "";
  impl_->queue = platform_->dispatcher().makeOperationQueue("pemdor.collector");
  if (impl_->queue) impl_->queue->setMaxConcurrentOperationCount(1);
  impl_->locationRun = std::make_shared<CallbackRun>(*this);
}

PemdorDeviceSensorInfo::~PemdorDeviceSensorInfo() = default;

// ---------------------------------------------------------------------------------------------
// Properties

std::shared_ptr<CLLocationManager> PemdorDeviceSensorInfo::locationManager() const {
  std::lock_guard guard(impl_->propertiesMutex);
  return impl_->locationManager;
}
void PemdorDeviceSensorInfo::setLocationManager(std::shared_ptr<CLLocationManager> manager) {
  std::shared_ptr<CLLocationManager> previous;
  std::lock_guard guard(impl_->propertiesMutex);
  previous = std::exchange(impl_->locationManager, std::move(manager));
}
PEMDOR_TICK_PATH std::shared_ptr<CMMotionManager> PemdorDeviceSensorInfo::motionManager() const {
  std::lock_guard guard(impl_->propertiesMutex);
  return impl_->motionManager;
}
void PemdorDeviceSensorInfo::setMotionManager(std::shared_ptr<CMMotionManager> manager) {
  std::lock_guard guard(impl_->propertiesMutex);
  impl_->motionManager = std::move(manager);
}
std::shared_ptr<OperationQueue> PemdorDeviceSensorInfo::queue() const {
  std::lock_guard guard(impl_->propertiesMutex);
  return impl_->queue;
}
void PemdorDeviceSensorInfo::setQueue(std::shared_ptr<OperationQueue> queue) {
  std::lock_guard guard(impl_->propertiesMutex);
  impl_->queue = std::move(queue);
}
PemdorRecordListRef PemdorDeviceSensorInfo::accelerometerRecords() const {
  return impl_->list(MotionStream::accelerometer);
}
void PemdorDeviceSensorInfo::setAccelerometerRecords(PemdorRecordListRef list) {
  impl_->setList(MotionStream::accelerometer, std::move(list));
}
bool PemdorDeviceSensorInfo::accelerometerFinished() const {
  return impl_->sensorFinished[index(MotionStream::accelerometer)];
}
void PemdorDeviceSensorInfo::setAccelerometerFinished(bool value) {
  impl_->sensorFinished[index(MotionStream::accelerometer)] = value;
}
PemdorRecordListRef PemdorDeviceSensorInfo::gyroRecords() const {
  return impl_->list(MotionStream::gyro);
}
void PemdorDeviceSensorInfo::setGyroRecords(PemdorRecordListRef list) {
  impl_->setList(MotionStream::gyro, std::move(list));
}
bool PemdorDeviceSensorInfo::gyroFinished() const {
  return impl_->sensorFinished[index(MotionStream::gyro)];
}
void PemdorDeviceSensorInfo::setGyroFinished(bool value) {
  impl_->sensorFinished[index(MotionStream::gyro)] = value;
}
PemdorRecordListRef PemdorDeviceSensorInfo::magneticRecords() const {
  return impl_->list(MotionStream::magnetometer);
}
void PemdorDeviceSensorInfo::setMagneticRecords(PemdorRecordListRef list) {
  impl_->setList(MotionStream::magnetometer, std::move(list));
}
bool PemdorDeviceSensorInfo::magneticFinished() const {
  return impl_->sensorFinished[index(MotionStream::magnetometer)];
}
void PemdorDeviceSensorInfo::setMagneticFinished(bool value) {
  impl_->sensorFinished[index(MotionStream::magnetometer)] = value;
}
CLLocationRef PemdorDeviceSensorInfo::currentLocation() const {
  std::lock_guard guard(impl_->propertiesMutex);
  return impl_->currentLocation;
}
void PemdorDeviceSensorInfo::setCurrentLocation(CLLocationRef location) {
  std::lock_guard guard(impl_->propertiesMutex);
  impl_->currentLocation = std::move(location);
}
std::string PemdorDeviceSensorInfo::currentLocationTime() const {
  std::lock_guard guard(impl_->propertiesMutex);
  return impl_->currentLocationTime;
}
void PemdorDeviceSensorInfo::setCurrentLocationTime(std::string time) {
  std::lock_guard guard(impl_->propertiesMutex);
  impl_->currentLocationTime = std::move(time);
}
bool PemdorDeviceSensorInfo::locationServiceFinished() const {
  return impl_->locationServiceFinished;
}
void PemdorDeviceSensorInfo::setLocationServiceFinished(bool value) {
  impl_->locationServiceFinished = value;
}
PemdorDeviceSensorInfo::Completion PemdorDeviceSensorInfo::completion() const {
  std::lock_guard guard(impl_->propertiesMutex);
  return impl_->completion;
}
void PemdorDeviceSensorInfo::setCompletion(Completion completion) {
  // The previous callable is destroyed outside the lock: its captures are host objects.
  std::lock_guard guard(impl_->propertiesMutex);
  std::swap(impl_->completion, completion);
}
bool PemdorDeviceSensorInfo::executeCompletionOnce() const {
  return impl_->executeCompletionOnce;
}
void PemdorDeviceSensorInfo::setExecuteCompletionOnce(bool value) {
  impl_->executeCompletionOnce = value;
}
PemdorRecordListRef PemdorDeviceSensorInfo::gravityRecords() const {
  return impl_->list(MotionStream::deviceMotion);
}
void PemdorDeviceSensorInfo::setGravityRecords(PemdorRecordListRef list) {
  impl_->setList(MotionStream::deviceMotion, std::move(list));
}
bool PemdorDeviceSensorInfo::inSyncMode() const {
  return impl_->inSyncMode;
}
void PemdorDeviceSensorInfo::setInSyncMode(bool value) {
  impl_->inSyncMode = value;
}
bool PemdorDeviceSensorInfo::collectEnds() const {
  return impl_->collectEnds;
}
void PemdorDeviceSensorInfo::setCollectEnds(bool value) {
  impl_->collectEnds = value;
}

// ---------------------------------------------------------------------------------------------
// Queries

std::string PemdorDeviceSensorInfo::availableSensors() const {
  std::string text = "Sensors";
  auto motion = motionManager();
  if (!motion) return text;
  if (motion->isAccelerometerAvailable()) text += "Accelerometer";
  if (motion->isGyroAvailable()) text += "Gyro";
  if (motion->isMagnetometerAvailable()) text += "Magnetometer";
  return text;
}

bool PemdorDeviceSensorInfo::isLocationServiceAvailable() const {
  return platform_->locationServicesEnabled();
}

std::string PemdorDeviceSensorInfo::getCurrentTime() const {
  return detail::formatMilliseconds(platform_->timeIntervalSince1970());
}

// ---------------------------------------------------------------------------------------------
// Location callbacks, on the main thread. Each goes to the run that holds the location part; the
// manager argument is not looked at, and every stop acts on the collector's own locationManager.

void PemdorDeviceSensorInfo::locationManagerDidUpdateLocations(
    CLLocationManager&, const std::vector<CLLocationRef>& locations) {
  locationRun()->didUpdateLocation(locations.empty() ? nullptr : locations.back());
}

void PemdorDeviceSensorInfo::locationManagerDidUpdateToLocation(CLLocationManager&,
                                                                const CLLocationRef& newLocation,
                                                                const CLLocationRef&) {
  locationRun()->didUpdateLocation(newLocation);
}

void PemdorDeviceSensorInfo::locationManagerDidFailWithError(CLLocationManager&, const NSError&) {
  locationRun()->didFailLocation();
}

std::shared_ptr<PemdorDeviceSensorInfo::Run> PemdorDeviceSensorInfo::locationRun() const {
  std::lock_guard run(impl_->runMutex);
  return impl_->locationRun;
}

}  // namespace pemdor
