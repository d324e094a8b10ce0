#include "pemdor/PemdorDeviceSensorInfo.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <mutex>
#include <utility>

#include <nlohmann/json.hpp>

#include "ReadingFormat.h"
#include "pemdor/PemdorJsonWrapper.h"

namespace pemdor {
namespace {

constexpr const char* kCancelLocationServiceSelector = "cancelLocationService";

constexpr std::size_t index(MotionStream stream) {
  return static_cast<std::size_t>(stream);
}

// The sensor table is indexed by MotionStream.
static_assert([] {
  for (std::size_t i = 0; i < kPemdorSensors.size(); ++i) {
    if (index(kPemdorSensors[i].stream) != i) return false;
  }
  return true;
}());

bool isAuthorized(const Platform& platform) {
  // The status is asked anew for each comparison.
  return platform.authorizationStatus() == kCLAuthorizationStatusAuthorizedAlways ||
         platform.authorizationStatus() == kCLAuthorizationStatusAuthorizedWhenInUse;
}

}  // namespace

struct PemdorDeviceSensorInfo::Impl {
  // Guards the properties that are not atomics. A leaf lock: nothing is called while it is held.
  mutable std::mutex propertiesMutex;
  std::shared_ptr<CLLocationManager> locationManager;
  std::shared_ptr<CMMotionManager> motionManager;
  std::shared_ptr<OperationQueue> queue;
  std::array<PemdorRecordListRef, kMotionStreamCount> records;
  CLLocationRef currentLocation;
  std::string currentLocationTime;
  Completion completion;

  // The finished flags of the three callback-run sensors, indexed by MotionStream.
  std::array<std::atomic<bool>, 3> sensorFinished{};
  std::atomic<bool> locationServiceFinished{false};
  std::atomic<bool> executeCompletionOnce{false};
  std::atomic<bool> inSyncMode{false};
  std::atomic<bool> collectEnds{false};

  // Serialises the run transitions against each other and against the handlers' decisions:
  // the resets at a run's start, a handler's "is this delivery still mine, and is the list
  // full" with the stop that follows, and the location start against finishSensors. Held only
  // around our own state and platform calls that never call back synchronously; never while
  // host code runs.
  std::mutex runMutex;
  // Each run that (re)starts a stream gives it a new generation; a handler keeps the generation
  // it was registered with and drops deliveries once the stream belongs to a newer run.
  std::array<std::uint64_t, kMotionStreamCount> streamGeneration{};
  // Each run gives the location part a new epoch; a location start, a start of updates or a
  // timeout that belongs to an older epoch does nothing.
  std::atomic<std::uint64_t> locationEpoch{0};
  // The epoch of the sync run that finishSensors ended.
  std::atomic<std::uint64_t> finishedSyncEpoch{0};

  // The completion check.
  std::recursive_mutex checkLock;

  PemdorRecordListRef list(MotionStream stream) const {
    std::lock_guard guard(propertiesMutex);
    return records[index(stream)];
  }
  void setList(MotionStream stream, PemdorRecordListRef value) {
    if (!value) value = PemdorRecordList::create();
    std::lock_guard guard(propertiesMutex);
    records[index(stream)] = std::move(value);
  }
};

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
std::shared_ptr<CMMotionManager> PemdorDeviceSensorInfo::motionManager() const {
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

PemdorRecordListRef sensorRecords(const PemdorDeviceSensorInfo& collector, MotionStream stream) {
  switch (stream) {
    case MotionStream::accelerometer:
      return collector.accelerometerRecords();
    case MotionStream::gyro:
      return collector.gyroRecords();
    case MotionStream::magnetometer:
      return collector.magneticRecords();
    case MotionStream::deviceMotion:
      return collector.gravityRecords();
  }
  return nullptr;
}

bool sensorFinished(const PemdorDeviceSensorInfo& collector, MotionStream stream) {
  switch (stream) {
    case MotionStream::accelerometer:
      return collector.accelerometerFinished();
    case MotionStream::gyro:
      return collector.gyroFinished();
    case MotionStream::magnetometer:
      return collector.magneticFinished();
    case MotionStream::deviceMotion:
      return false;
  }
  return false;
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
// The callback run

void PemdorDeviceSensorInfo::processSensorsWithCallBack(Completion completion) {
  auto self = shared_from_this();
  std::array<std::uint64_t, kMotionStreamCount> generation{};
  std::uint64_t epoch = 0;
  // The completion replaced here may hold host objects; it is released outside our locks.
  setCompletion(std::move(completion));
  {
    std::lock_guard run(impl_->runMutex);
    setAccelerometerFinished(false);
    setGyroFinished(false);
    setMagneticFinished(false);
    setLocationServiceFinished(false);
    setExecuteCompletionOnce(false);
    setCollectEnds(false);
    setInSyncMode(false);
    for (MotionStream stream : kCallbackStreams) {
      impl_->list(stream)->clear();
      generation[index(stream)] = ++impl_->streamGeneration[index(stream)];
    }
    epoch = ++impl_->locationEpoch;
  }

  platform_->dispatcher().mainQueue()->async([self, epoch] { self->startLocation(epoch, false); });

  auto motion = motionManager();
  auto workQueue = queue();
  for (MotionStream stream : kCallbackStreams) {
    if (motion && workQueue && motion->isAvailable(stream)) {
      motion->setUpdateInterval(stream, kUpdateInterval);
      motion->startUpdates(
          stream, workQueue,
          [self, stream, gen = generation[index(stream)]](const CMVector* value, const NSError*) {
            // A stop inside may release this handler; keep the collector.
            const auto collector = self;
            collector->handleCallbackReading(stream, gen, value);
          });
    } else {
      impl_->sensorFinished[index(stream)] = true;
      checkAllRecords();
    }
  }
}

void PemdorDeviceSensorInfo::handleCallbackReading(MotionStream stream, std::uint64_t generation,
                                                   const CMVector* value) {
  const CMVector vector = value ? *value : CMVector{};
  std::string text = detail::formatCallbackReading(vector, sensorOf(stream).callbackPrecision);
  {
    std::lock_guard run(impl_->runMutex);
    if (impl_->streamGeneration[index(stream)] != generation) return;
    if (impl_->list(stream)->appendIfBelow(std::move(text), kReadingsPerSensor)) return;
    if (auto motion = motionManager()) motion->stopUpdates(stream);
    impl_->sensorFinished[index(stream)] = true;
  }
  checkAllRecords();
}

void PemdorDeviceSensorInfo::startLocation(std::uint64_t epoch, bool syncRun) {
  auto self = shared_from_this();
  auto& dispatcher = platform_->dispatcher();
  std::shared_ptr<CLLocationManager> manager;
  {
    std::lock_guard run(impl_->runMutex);
    // A newer run, or finishSensors for this sync run, came first.
    if (impl_->locationEpoch != epoch) return;
    if (syncRun && impl_->finishedSyncEpoch == epoch) return;
    // A timeout left by an earlier callback run must not end this run's wait.
    dispatcher.cancelPreviousPerformRequestsWithTarget(this, kCancelLocationServiceSelector);
    manager = platform_->makeLocationManager();
    setLocationManager(manager);
  }
  if (!manager) {
    if (!syncRun) proceedWithLocationService();
    return;
  }
  manager->setDelegate(weak_from_this());
  manager->setDesiredAccuracy(syncRun ? kCLLocationAccuracyThreeKilometers
                                      : kCLLocationAccuracyKilometer);
  manager->setDistanceFilter(kCLHeadingFilterNone);

  if (syncRun) {
    dispatcher.globalQueue(0)->async([self, epoch] {
      // The provider's queries may take a moment; they are made before taking the lock.
      if (!isAuthorized(*self->platform_) || !self->platform_->locationServicesEnabled()) return;
      std::lock_guard run(self->impl_->runMutex);
      if (self->impl_->locationEpoch != epoch || self->impl_->finishedSyncEpoch == epoch) return;
      if (auto current = self->locationManager()) current->startUpdatingLocation();
    });
    return;
  }

  if (isAuthorized(*platform_) && platform_->locationServicesEnabled()) {
    manager->startUpdatingLocation();
  } else {
    proceedWithLocationService();
  }
  dispatcher.performSelector(this, kCancelLocationServiceSelector, kLocationTimeout, [self, epoch] {
    if (self->impl_->locationEpoch == epoch) self->cancelLocationService();
  });
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
    std::lock_guard check(impl_->checkLock);
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

// ---------------------------------------------------------------------------------------------
// Location callbacks

void PemdorDeviceSensorInfo::locationManagerDidUpdateLocations(
    CLLocationManager&, const std::vector<CLLocationRef>& locations) {
  handleFix(locations.empty() ? nullptr : locations.back());
}

void PemdorDeviceSensorInfo::locationManagerDidUpdateToLocation(CLLocationManager&,
                                                                const CLLocationRef& newLocation,
                                                                const CLLocationRef&) {
  handleFix(newLocation);
}

void PemdorDeviceSensorInfo::locationManagerDidFailWithError(CLLocationManager&, const NSError&) {
  if (inSyncMode()) {
    if (auto manager = locationManager()) manager->stopUpdatingLocation();
    return;
  }
  platform_->dispatcher().cancelPreviousPerformRequestsWithTarget(this,
                                                                  kCancelLocationServiceSelector);
  proceedWithLocationService();
}

void PemdorDeviceSensorInfo::handleFix(CLLocationRef location) {
  if (inSyncMode()) {
    if (!collectEnds()) {
      setCurrentLocation(std::move(location));
      setCurrentLocationTime(getCurrentTime());
    }
    if (auto manager = locationManager()) manager->stopUpdatingLocation();
    return;
  }
  setCurrentLocation(std::move(location));
  platform_->dispatcher().cancelPreviousPerformRequestsWithTarget(this,
                                                                  kCancelLocationServiceSelector);
  proceedWithLocationService();
}

// ---------------------------------------------------------------------------------------------
// The sync run

void PemdorDeviceSensorInfo::startSensors() {
  startSensors(kDefaultSyncLimit);
}

void PemdorDeviceSensorInfo::startSensors(std::int32_t limit) {
  auto self = shared_from_this();
  // A negative limit would never stop a stream; it keeps nothing instead.
  const std::size_t kept = limit < 0 ? 0 : static_cast<std::size_t>(limit);
  std::array<std::uint64_t, kMotionStreamCount> generation{};
  std::uint64_t epoch = 0;
  {
    std::lock_guard run(impl_->runMutex);
    setInSyncMode(true);
    setCollectEnds(false);
    for (const PemdorSensor& row : kPemdorSensors) {
      impl_->list(row.stream)->clear();
      generation[index(row.stream)] = ++impl_->streamGeneration[index(row.stream)];
    }
    setCurrentLocation(nullptr);
    setCurrentLocationTime("");
    epoch = ++impl_->locationEpoch;
  }

  platform_->dispatcher().mainQueue()->async([self, epoch] { self->startLocation(epoch, true); });

  auto motion = motionManager();
  auto workQueue = queue();
  if (!motion || !workQueue) return;
  for (const PemdorSensor& row : kPemdorSensors) {
    const MotionStream stream = row.stream;
    if (!motion->isAvailable(stream)) continue;
    motion->setUpdateInterval(stream, kUpdateInterval);
    auto handler = [self, stream, gen = generation[index(stream)], kept](const CMVector* value,
                                                                         const NSError*) {
      // A stop inside may release this handler; keep the collector.
      const auto collector = self;
      collector->handleSyncReading(stream, gen, kept, value);
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

void PemdorDeviceSensorInfo::handleSyncReading(MotionStream stream, std::uint64_t generation,
                                               std::size_t limit, const CMVector* value) {
  const CMVector vector = value ? *value : CMVector{};
  std::string text = detail::formatSyncReading(vector, getCurrentTime());
  auto motion = motionManager();
  std::lock_guard run(impl_->runMutex);
  if (impl_->streamGeneration[index(stream)] != generation) return;
  if (motion && motion->isActive(stream) &&
      impl_->list(stream)->appendIfBelow(std::move(text), limit)) {
    return;
  }
  if (motion) motion->stopUpdates(stream);
}

PemdorSensorData PemdorDeviceSensorInfo::getSensorData() {
  PemdorSensorData data;
  // One read of the position gives both coordinates, so that they always belong to one fix.
  if (auto location = currentLocation()) {
    data["la"] = detail::formatCoordinate(location->coordinate().latitude);
    data["lo"] = detail::formatCoordinate(location->coordinate().longitude);
    data["Time"] = currentLocationTime();
  }
  for (const PemdorSensor& row : kPemdorSensors) {
    auto list = impl_->list(row.stream);
    if (!list->empty()) data[row.dataKey] = std::move(list);
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
    // A sync location start or start of updates still pending from this run now does nothing.
    std::lock_guard run(impl_->runMutex);
    if (impl_->inSyncMode) impl_->finishedSyncEpoch = impl_->locationEpoch.load();
    manager = locationManager();
  }
  if (manager) manager->stopUpdatingLocation();
}

}  // namespace pemdor
