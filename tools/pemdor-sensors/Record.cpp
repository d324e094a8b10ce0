// SPDX-License-Identifier: MIT
#include "Record.h"

#include <utility>

namespace pemdor::host {
namespace {

bool authorised(CLAuthorizationStatus status) {
  return status == kCLAuthorizationStatusAuthorizedAlways ||
         status == kCLAuthorizationStatusAuthorizedWhenInUse;
}

CLLocationCoordinate2D coordinateOf(const CLLocationRef& location) {
  return location ? location->coordinate() : CLLocationCoordinate2D{};
}

// The provider that delivered a callback's fixes: that of the first fix that names one (one
// callback comes from one provider).
std::string sourceOf(const std::vector<CLLocationRef>& locations) {
  for (const auto& location : locations) {
    if (location && !location->source().empty()) return location->source();
  }
  return {};
}

}  // namespace

// Receives the location callbacks on the main thread and hands them to the recorder, which it
// holds weakly so that a manager outliving the recorder keeps nothing alive.
class Recorder::LocationDelegate final : public CLLocationManagerDelegate {
 public:
  explicit LocationDelegate(std::weak_ptr<Recorder> recorder) : recorder_(std::move(recorder)) {}

  void locationManagerDidUpdateLocations(CLLocationManager&,
                                         const std::vector<CLLocationRef>& locations) override {
    SimLocationEvent event;
    event.kind = SimLocationEvent::Kind::locations;
    for (const auto& location : locations) event.locations.push_back(coordinateOf(location));
    event.source = sourceOf(locations);
    hand(std::move(event));
  }

  void locationManagerDidUpdateToLocation(CLLocationManager&, const CLLocationRef& newLocation,
                                          const CLLocationRef& oldLocation) override {
    SimLocationEvent event;
    event.kind = SimLocationEvent::Kind::location;
    event.location = coordinateOf(newLocation);
    if (oldLocation) event.from = oldLocation->coordinate();
    event.source = sourceOf({newLocation});
    hand(std::move(event));
  }

  void locationManagerDidFailWithError(CLLocationManager&, const NSError&) override {
    SimLocationEvent event;
    event.kind = SimLocationEvent::Kind::fail;
    hand(std::move(event));
  }

 private:
  void hand(SimLocationEvent event) {
    if (auto recorder = recorder_.lock()) recorder->addEvent(std::move(event));
  }

  std::weak_ptr<Recorder> recorder_;
};

Recorder::Recorder(std::shared_ptr<Platform> platform) : platform_(std::move(platform)) {}

Recorder::~Recorder() {
  // A recorder dropped without stop() still leaves nothing running.
  if (motion_) {
    for (MotionStream stream : kAllMotionStreams) motion_->stopUpdates(stream);
  }
  if (location_) location_->stopUpdatingLocation();
}

std::shared_ptr<Recorder> Recorder::start(std::shared_ptr<Platform> platform) {
  if (!platform) return nullptr;
  auto recorder = std::make_shared<Recorder>(std::move(platform));
  recorder->motion_ = recorder->platform_->makeMotionManager();
  recorder->location_ = recorder->platform_->makeLocationManager();
  if (!recorder->motion_ || !recorder->location_) return nullptr;
  recorder->begin();
  return recorder;
}

double Recorder::now() const {
  return platform_->dispatcher().monotonicNow();
}

void Recorder::begin() {
  const auto& services = platform_->services();
  Dispatcher& dispatcher = platform_->dispatcher();
  queue_ = dispatcher.makeOperationQueue("recorder");
  queue_->setMaxConcurrentOperationCount(1);

  std::array<bool, kMotionStreamCount> available{};
  for (MotionStream stream : kAllMotionStreams) {
    available[static_cast<std::size_t>(stream)] = motion_->isAvailable(stream);
  }
  const bool enabled = platform_->locationServicesEnabled();
  const CLAuthorizationStatus status = platform_->authorizationStatus();
  {
    std::lock_guard lock(mutex_);
    recording_ = true;
    startedAt_ = now();
    data_.scenario.clockStart = platform_->timeIntervalSince1970();
    data_.motionProvider = services.motion ? services.motion->name() : "none";
    data_.locationProvider = services.location ? services.location->name() : "none";
    data_.scenario.servicesEnabled = enabled;
    data_.scenario.authorizationStatus = status;
    data_.scenario.events.emplace();
    for (MotionStream stream : kAllMotionStreams) {
      SimStreamScript& script = data_.scenario.streams[static_cast<std::size_t>(stream)];
      script.available = available[static_cast<std::size_t>(stream)];
      script.repeat = false;
      if (script.available) script.readings.emplace();
    }
  }

  for (MotionStream stream : kAllMotionStreams) {
    if (!available[static_cast<std::size_t>(stream)]) continue;
    motion_->setUpdateInterval(stream, kRecordingInterval);
    motion_->startUpdates(
        stream, queue_, [weak = weak_from_this(), stream](const CMVector* reading, const NSError*) {
          if (auto self = weak.lock()) self->addReading(stream, reading);
        });
  }

  // The collector starts updates only when the service is enabled and authorised; a replay of
  // a refusal refuses by itself.
  if (enabled && authorised(status)) {
    delegate_ = std::make_shared<LocationDelegate>(weak_from_this());
    location_->setDelegate(delegate_);
    location_->setDesiredAccuracy(kCLLocationAccuracyThreeKilometers);
    location_->setDistanceFilter(kCLHeadingFilterNone);
    {
      std::lock_guard lock(mutex_);
      locationStartedAt_ = now();
    }
    location_->startUpdatingLocation();
  }
}

void Recorder::addReading(MotionStream stream, const CMVector* reading) {
  const double at = now();
  std::lock_guard lock(mutex_);
  if (!recording_) return;
  const auto i = static_cast<std::size_t>(stream);
  data_.scenario.streams[i].readings->push_back(reading ? std::optional(*reading) : std::nullopt);
  data_.readingTimes[i].push_back(at - startedAt_);
}

void Recorder::addEvent(SimLocationEvent event) {
  const double at = now();
  std::lock_guard lock(mutex_);
  if (!recording_) return;
  event.after = at - locationStartedAt_;
  data_.scenario.events->push_back(std::move(event));
}

std::array<std::optional<std::size_t>, kMotionStreamCount> Recorder::counts() const {
  std::array<std::optional<std::size_t>, kMotionStreamCount> out;
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < kMotionStreamCount; ++i) {
    const auto& readings = data_.scenario.streams[i].readings;
    if (readings) out[i] = readings->size();
  }
  return out;
}

std::size_t Recorder::eventCount() const {
  std::lock_guard lock(mutex_);
  return data_.scenario.events ? data_.scenario.events->size() : 0;
}

Recording Recorder::stop() {
  Recording out;
  {
    std::lock_guard lock(mutex_);
    if (!recording_) return out;
    recording_ = false;
    data_.duration = now() - startedAt_;
    out = std::move(data_);
    data_ = Recording{};
  }
  for (MotionStream stream : kAllMotionStreams) motion_->stopUpdates(stream);
  location_->stopUpdatingLocation();
  return out;
}

}  // namespace pemdor::host
