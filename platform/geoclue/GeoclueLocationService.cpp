// SPDX-License-Identifier: MIT
// The GeoClue2 location provider: location managers that are clients of the
// org.freedesktop.GeoClue2 service on the system bus, through sd-bus and the service's bus
// thread (GeoclueBus.h), and the service's class-level answers.

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "GeoclueBus.h"
#include "GeoclueSdBus.h"
#include "GeoclueSettings.h"
#include "pemdor/internal/StreamSlot.h"
#include "pemdor/platform/Providers.h"

namespace pemdor {
namespace geoclue {

std::uint32_t accuracyLevelFor(CLLocationAccuracy accuracy) {
  if (!(accuracy >= 1000.0)) return kAccuracyExact;
  if (accuracy <= 3000.0) return kAccuracyStreet;
  if (accuracy <= 20000.0) return kAccuracyNeighborhood;
  if (accuracy <= 100000.0) return kAccuracyCity;
  return kAccuracyCountry;
}

std::uint32_t distanceThresholdFor(CLLocationDistance filter) {
  if (!(filter > 0.0)) return 0;
  constexpr double kMost = std::numeric_limits<std::uint32_t>::max();
  if (filter >= kMost) return std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(std::ceil(filter));
}

}  // namespace geoclue

namespace {

using geoclue::BusPtr;
using geoclue::callBounded;
using geoclue::domainOf;
using geoclue::Failure;
using geoclue::GeoclueBus;
using geoclue::kBusName;
using geoclue::kBusPath;
using geoclue::kService;
using geoclue::MessagePtr;
using geoclue::openSystemBus;
using geoclue::Request;
using geoclue::RunOwner;
using geoclue::toMicroseconds;

/// How long an answer about the service's presence is reused before the bus is asked again.
constexpr auto kPresenceCacheTime = std::chrono::seconds(1);
constexpr double kPresenceTimeoutSeconds = 0.5;

/// A location manager that is a GeoClue2 client while its updates run. Every start begins a new
/// run of its RunToken; a callback reaches the delegate only while its run is still the current
/// one when it runs on the main thread, so a stop or the manager's end drops whatever is still
/// queued. A failure ends the run it belongs to, so it is the run's last callback.
class GeoclueLocationManager final : public CLLocationManager,
                                     public RunOwner,
                                     public std::enable_shared_from_this<GeoclueLocationManager> {
 public:
  explicit GeoclueLocationManager(std::shared_ptr<GeoclueBus> bus)
      : bus_(std::move(bus)), key_(bus_->newKey()) {}
  ~GeoclueLocationManager() override { stopUpdatingLocation(); }
  GeoclueLocationManager(const GeoclueLocationManager&) = delete;
  GeoclueLocationManager& operator=(const GeoclueLocationManager&) = delete;

  void startUpdatingLocation() override;
  /// Never waits for the bus: the client's Stop and DeleteClient are sent by the bus thread.
  void stopUpdatingLocation() override;

  /// On the main thread. A start that was allowed tells the delegate so before any fix of its
  /// run; a refusal tells it right before the failure.
  void deliverStarted(const RunToken::Ticket& ticket) override;
  void deliverFix(const RunToken::Ticket& ticket, const CLLocationRef& location) override;
  void deliverFailure(const RunToken::Ticket& ticket, const NSError& error) override;

 private:
  const std::shared_ptr<GeoclueBus> bus_;
  const std::uint64_t key_;
  /// Guards run_'s begin and end, so that a start and a stop hand their requests to the bus
  /// thread in the order they took effect.
  std::mutex mutex_;
  /// Running from a start until a stop or a failure.
  RunToken run_;
};

// ---- The manager ------------------------------------------------------------------------------

void GeoclueLocationManager::startUpdatingLocation() {
  Request request;
  request.kind = Request::Kind::start;
  request.key = key_;
  request.manager = weak_from_this();
  request.accuracyLevel = geoclue::accuracyLevelFor(desiredAccuracy());
  request.distanceThreshold = geoclue::distanceThresholdFor(distanceFilter());
  std::string problem;
  bool submitted = false;
  {
    std::lock_guard guard(mutex_);
    if (run_.running()) return;
    request.ticket = run_.begin();
    submitted = bus_->submit(request, problem);
  }
  if (!submitted) {
    NSError error{domainOf(Failure::failed), static_cast<long>(Failure::failed), problem};
    bus_->dispatcher()->mainQueue()->async(
        [self = weak_from_this(), ticket = request.ticket, error = std::move(error)] {
          if (const auto manager = self.lock()) manager->deliverFailure(ticket, error);
        });
  }
}

void GeoclueLocationManager::stopUpdatingLocation() {
  Request request;
  request.kind = Request::Kind::stop;
  request.key = key_;
  std::string ignored;
  std::lock_guard guard(mutex_);
  // A run that ended through a failure has no client left to stop.
  if (!run_.running()) return;
  run_.end();
  bus_->submit(std::move(request), ignored);
}

void GeoclueLocationManager::deliverFix(const RunToken::Ticket& ticket,
                                        const CLLocationRef& location) {
  if (ticket.current()) notifyDidUpdateLocations({location});
}

void GeoclueLocationManager::deliverStarted(const RunToken::Ticket& ticket) {
  if (ticket.current()) notifyDidChangeAuthorization(kCLAuthorizationStatusAuthorizedWhenInUse);
}

void GeoclueLocationManager::deliverFailure(const RunToken::Ticket& ticket, const NSError& error) {
  if (!ticket.end()) return;
  if (error.code == static_cast<long>(Failure::refused)) {
    notifyDidChangeAuthorization(kCLAuthorizationStatusDenied);
  }
  notifyDidFailWithError(error);
}

// ---- The service ------------------------------------------------------------------------------

class GeoclueLocationService final : public LocationService {
 public:
  GeoclueLocationService(std::shared_ptr<Dispatcher> dispatcher, GeoclueOptions options)
      : bus_(std::make_shared<GeoclueBus>(std::move(dispatcher), std::move(options))) {}

  std::string name() const override { return "geoclue"; }

  /// True while a client of this service runs; otherwise asks the bus, at most once a second,
  /// within half a second.
  bool locationServicesEnabled() override {
    if (bus_->clientRunning()) return true;
    const auto now = std::chrono::steady_clock::now();
    {
      std::lock_guard guard(mutex_);
      if (checkedAt_ && now - *checkedAt_ < kPresenceCacheTime) return present_;
    }
    const bool present = probeGeoclue(kPresenceTimeoutSeconds).present();
    std::lock_guard guard(mutex_);
    checkedAt_ = now;
    present_ = present;
    return present;
  }

  CLAuthorizationStatus authorizationStatus() override {
    if (!locationServicesEnabled()) return kCLAuthorizationStatusNotDetermined;
    return bus_->refusalSeen() ? kCLAuthorizationStatusDenied
                               : kCLAuthorizationStatusAuthorizedWhenInUse;
  }

  std::shared_ptr<CLLocationManager> makeLocationManager() override {
    return std::make_shared<GeoclueLocationManager>(bus_);
  }

  /// A Start is GeoClue2 asking its agent, so its answer is the user's consent.
  bool decidesConsent() const override { return true; }

 private:
  const std::shared_ptr<GeoclueBus> bus_;
  std::mutex mutex_;
  std::optional<std::chrono::steady_clock::time_point> checkedAt_;
  bool present_ = false;
};

}  // namespace

bool geoclueProviderBuilt() {
  return true;
}

GeoclueProbe probeGeoclue(double timeoutSeconds) {
  GeoclueProbe probe;
  const auto deadline =
      std::chrono::steady_clock::now() +
      std::chrono::microseconds(static_cast<std::int64_t>(toMicroseconds(timeoutSeconds)));
  const BusPtr bus = openSystemBus(probe.problem);
  if (!bus) return probe;
  probe.bus = true;

  const auto ask = [&](const char* member, const char* argument) -> MessagePtr {
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_method_call(bus.get(), &raw, kBusName, kBusPath, kBusName, member) < 0) {
      return nullptr;
    }
    const MessagePtr call(raw);
    if (argument != nullptr && sd_bus_message_append(raw, "s", argument) < 0) return nullptr;
    return callBounded(bus.get(), raw, deadline, probe.problem);
  };
  if (const auto reply = ask("NameHasOwner", kService)) {
    int owned = 0;
    if (sd_bus_message_read(reply.get(), "b", &owned) >= 0) probe.running = owned != 0;
  } else {
    return probe;
  }
  if (probe.running) return probe;
  if (const auto reply = ask("ListActivatableNames", nullptr)) {
    if (sd_bus_message_enter_container(reply.get(), 'a', "s") >= 0) {
      const char* name = nullptr;
      while (sd_bus_message_read(reply.get(), "s", &name) > 0) {
        if (std::strcmp(name, kService) == 0) probe.activatable = true;
      }
    }
  }
  return probe;
}

std::shared_ptr<LocationService> makeGeoclueLocationService(std::shared_ptr<Dispatcher> dispatcher,
                                                            GeoclueOptions options) {
  if (!dispatcher) return nullptr;
  return std::make_shared<GeoclueLocationService>(std::move(dispatcher), std::move(options));
}

}  // namespace pemdor