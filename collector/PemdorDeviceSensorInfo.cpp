// SPDX-License-Identifier: MIT
#include "pemdor/PemdorDeviceSensorInfo.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <mutex>
#include <utility>

#include <nlohmann/json.hpp>

#include "ReadingFormat.h"
#include "RecordListAccess.h"
#include "pemdor/PemdorJsonWrapper.h"
#include "pemdor/internal/PlatformHelpers.h"
#include "pemdor/internal/StreamSlot.h"

namespace pemdor {
namespace {

constexpr const char* kCancelLocationServiceSelector = "cancelLocationService";

// Whether a run may start location updates: authorised (the status asked anew for each
// comparison), and then location services enabled.
bool mayStartUpdates(const Platform& platform) {
  return isAuthorized([&platform] { return platform.authorizationStatus(); }) &&
         platform.locationServicesEnabled();
}

}  // namespace

// Lock order: runMutex, then propertiesMutex; completionCheckMutex, then propertiesMutex. No
// lock is held while host code runs (the completion) or while a run waits on another thread.
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

  // Guards the handover from one run to the next: the tokens below, `locationRun`, the resets at
  // a run's start, and each decision a run makes on its token (a handler's "is this delivery
  // still mine, and is the list full" with the stop that follows; a location start's "is the
  // location part still mine" with the manager it makes; finishSensors against the sync run's
  // start of updates). Held only around our own state and platform calls that never call back
  // synchronously; never while host code runs.
  std::mutex runMutex;
  // The tokens are the providers' RunToken. Only the token part of their mechanism is used: the
  // motion manager already holds each stream's queue and handler, and a ticket is checked under
  // runMutex rather than lock-free, because the check, the append and the stop that may follow
  // must be one step against the start of a new run.
  //
  // Per stream: each run that (re)starts the stream begins a new run of its token, so the
  // handlers of an earlier run drop their deliveries. A stream a later run does not restart
  // stays with its run: a sync run's gravity keeps filling gravityRecords through a later
  // callback run.
  std::array<RunToken, kMotionStreamCount> streamTokens;
  // Every run begins a new run of the location part; a location start, a start of updates or a
  // timeout of an older run does nothing. finishSensors ends a sync run's location part early.
  RunToken locationToken;
  // The run that the location callbacks belong to: the run started last, or, before the first
  // run, an idle callback run (a new collector is not in sync mode).
  std::shared_ptr<Run> locationRun;

  // Makes the completion check and the snapshot that follows it one step, so that of two checks
  // that both find the run complete exactly one builds the snapshot and posts the delivery. A
  // plain mutex: nothing called under it (the record lists, the JSON wrapper, the property
  // getters) calls back into the check, so it is never taken twice by one thread.
  std::mutex completionCheckMutex;

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

// What a run of either kind is to the collector: the owner of a location part that the location
// callbacks are routed to, with its tickets of the location token and of the streams it started.
// A run is held by the collector while its location part is current and by the handlers, tasks
// and timeout it registers; every one of those also holds the collector, so the reference to the
// collector stays valid while the run can act.
class PemdorDeviceSensorInfo::Run : public std::enable_shared_from_this<Run> {
 public:
  explicit Run(PemdorDeviceSensorInfo& collector) : collector_(collector) {}
  virtual ~Run() = default;
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  /// A new fix (absent for an empty list of locations), on the main thread.
  virtual void didUpdateLocation(CLLocationRef location) = 0;
  /// A failure of the location service, on the main thread.
  virtual void didFailLocation() = 0;
  /// finishSensors while this run holds the location part; under runMutex.
  virtual void finish() {}

 protected:
  // Empties the list of `stream` and takes the stream for this run. Under runMutex.
  void takeStream(MotionStream stream) {
    collector_.impl_->list(stream)->clear();
    streamTickets_[index(stream)] = collector_.impl_->streamTokens[index(stream)].begin();
  }
  // Takes the location part for this run and routes the location callbacks to it; returns the
  // run that held it, to be released after runMutex. Under runMutex.
  std::shared_ptr<Run> takeLocation() {
    locationTicket_ = collector_.impl_->locationToken.begin();
    return std::exchange(collector_.impl_->locationRun, shared_from_this());
  }

  PemdorDeviceSensorInfo& collector_;
  // Current while the stream's deliveries belong to this run; read under runMutex.
  std::array<RunToken::Ticket, kMotionStreamCount> streamTickets_;
  // Current while the location part belongs to this run.
  RunToken::Ticket locationTicket_;
};

// processSensorsWithCallBack: ten readings of each callback stream, a bounded wait for a fix,
// one completion.
class PemdorDeviceSensorInfo::CallbackRun final : public Run {
 public:
  using Run::Run;
  // Resets the callback run's state and takes its streams and the location part. Under runMutex.
  std::shared_ptr<Run> begin();
  // Starts the three sensors, or marks each one that cannot start finished. Host's thread.
  void startMotion();
  // Makes the location manager, starts updates and the timeout. Main thread.
  void startLocation();

  void didUpdateLocation(CLLocationRef location) override;
  void didFailLocation() override;

 private:
  void handleReading(MotionStream stream, const CMVector* value);
  void timeout();
};

// startSensors: timestamped readings of the four streams up to a limit, and one fix with its
// time, until finishSensors.
class PemdorDeviceSensorInfo::SyncRun final : public Run {
 public:
  SyncRun(PemdorDeviceSensorInfo& collector, std::size_t limit) : Run(collector), limit_(limit) {}
  // Resets the sync run's state and takes the four streams and the location part. Under
  // runMutex.
  std::shared_ptr<Run> begin();
  // Starts every available stream. Host's thread.
  void startMotion();
  // Makes the location manager and posts the start of updates. Main thread.
  void startLocation();

  void didUpdateLocation(CLLocationRef location) override;
  void didFailLocation() override;
  void finish() override;

 private:
  void handleReading(MotionStream stream, const CMVector* value);
  void startUpdates();

  const std::size_t limit_;
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

// ---------------------------------------------------------------------------------------------
// The callback run

void PemdorDeviceSensorInfo::processSensorsWithCallBack(Completion completion) {
  auto self = shared_from_this();
  auto run = std::make_shared<CallbackRun>(*this);
  // The completion replaced here may hold host objects; it is released outside our locks, and
  // so is the run that held the location part.
  setCompletion(std::move(completion));
  std::shared_ptr<Run> previous;
  {
    std::lock_guard lock(impl_->runMutex);
    previous = run->begin();
  }
  platform_->dispatcher().mainQueue()->async([self, run] { run->startLocation(); });
  run->startMotion();
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
    dispatcher.cancelPreviousPerformRequestsWithTarget(&c, kCancelLocationServiceSelector);
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
  if (mayStartUpdates(*c.platform_)) {
    manager->startUpdatingLocation();
  } else {
    c.proceedWithLocationService();
  }
  dispatcher.performSelector(
      &c, kCancelLocationServiceSelector, kLocationWaitSeconds,
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
  c.platform_->dispatcher().cancelPreviousPerformRequestsWithTarget(&c,
                                                                    kCancelLocationServiceSelector);
  c.proceedWithLocationService();
}

void PemdorDeviceSensorInfo::CallbackRun::didFailLocation() {
  PemdorDeviceSensorInfo& c = collector_;
  c.platform_->dispatcher().cancelPreviousPerformRequestsWithTarget(&c,
                                                                    kCancelLocationServiceSelector);
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

// ---------------------------------------------------------------------------------------------
// The sync run

void PemdorDeviceSensorInfo::startSensors() {
  startSensors(kDefaultSyncLimit);
}

void PemdorDeviceSensorInfo::startSensors(std::int32_t limit) {
  auto self = shared_from_this();
  // A negative limit would never stop a stream; it keeps nothing instead.
  auto run = std::make_shared<SyncRun>(*this, limit < 0 ? 0 : static_cast<std::size_t>(limit));
  std::shared_ptr<Run> previous;
  {
    std::lock_guard lock(impl_->runMutex);
    previous = run->begin();
  }
  platform_->dispatcher().mainQueue()->async([self, run] { run->startLocation(); });
  run->startMotion();
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
      // A stop inside may release this handler; keep what it holds.
      const auto collector = self;
      const auto owner = run;
      owner->handleReading(stream, value);
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

void PemdorDeviceSensorInfo::SyncRun::handleReading(MotionStream stream, const CMVector* value) {
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
        &c, kCancelLocationServiceSelector);
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
  if (!mayStartUpdates(*c.platform_)) return;
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
