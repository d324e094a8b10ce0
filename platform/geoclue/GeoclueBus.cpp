// SPDX-License-Identifier: MIT
// The bus thread of a GeoClue2 location service (GeoclueBus.h).

#include "GeoclueBus.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <optional>
#include <system_error>
#include <utility>

namespace pemdor::geoclue {
namespace {

/// How long a bus thread that is ending may take to have its clients deleted and to write out
/// what was sent on its connection.
constexpr auto kFlushLimit = std::chrono::milliseconds(200);

/// The program's name, the DesktopId used when the host gives none.
std::string programName() {
  const char* name = program_invocation_short_name;
  return name != nullptr && *name != '\0' ? name : "pemdor";
}

}  // namespace

const char* domainOf(Failure failure) {
  switch (failure) {
    case Failure::refused:
      return "pemdor.geoclue.refused";
    case Failure::noBus:
      return "pemdor.geoclue.no-bus";
    case Failure::noService:
      return "pemdor.geoclue.no-service";
    case Failure::noReply:
      return "pemdor.geoclue.no-reply";
    case Failure::serviceLeft:
      return "pemdor.geoclue.service-left";
    case Failure::failed:
      break;
  }
  return "pemdor.geoclue.failed";
}

GeoclueBus::GeoclueBus(std::shared_ptr<Dispatcher> dispatcher, GeoclueOptions options)
    : dispatcher_(std::move(dispatcher)),
      desktopId_(options.desktopId.empty() ? programName() : std::move(options.desktopId)),
      callTimeout_(toMicroseconds(options.callTimeoutSeconds)),
      wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

GeoclueBus::~GeoclueBus() {
  {
    std::lock_guard guard(mutex_);
    quit_ = true;
  }
  const std::uint64_t one = 1;
  if (wakeFd_ >= 0) [[maybe_unused]]
    const auto written = ::write(wakeFd_, &one, sizeof one);
  if (thread_.joinable()) thread_.join();
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

bool GeoclueBus::submit(Request request, std::string& problem) {
  {
    std::lock_guard guard(mutex_);
    if (!thread_.joinable()) {
      if (request.kind == Request::Kind::stop) return true;
      if (wakeFd_ < 0) {
        problem = "no eventfd for the bus thread";
        return false;
      }
      try {
        thread_ = std::thread([this] { serve(); });
      } catch (const std::system_error& e) {
        problem = std::string("cannot start the bus thread: ") + e.what();
        return false;
      }
    }
    requests_.push_back(std::move(request));
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
  return true;
}

void GeoclueBus::serve() {
  for (;;) {
    std::vector<Request> requests;
    bool quit = false;
    {
      std::lock_guard guard(mutex_);
      requests.swap(requests_);
      quit = quit_;
    }
    if (quit) break;
    for (auto& request : requests) handle(std::move(request));

    if (connection_) {
      int r = 0;
      while ((r = sd_bus_process(connection_.get(), nullptr)) > 0) {
        removeEndedRuns();
      }
      if (r < 0) failAll(Failure::noBus, "lost the system bus: " + errnoText(r));
    }
    removeEndedRuns();
    if (connection_ && runs_.empty() && retired_.empty()) closeConnection();

    pollfd waits[2] = {{wakeFd_, POLLIN, 0}, {-1, 0, 0}};
    int timeout = -1;
    if (connection_) {
      waits[1].fd = sd_bus_get_fd(connection_.get());
      waits[1].events = static_cast<short>(std::max(sd_bus_get_events(connection_.get()), 0));
      timeout = pollTimeout(connection_.get());
    }
    if (::poll(waits, connection_ ? 2 : 1, timeout) < 0 && errno != EINTR) {
      failAll(Failure::failed, std::string("poll: ") + std::strerror(errno));
    }
    if (waits[0].revents != 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] const auto got = ::read(wakeFd_, &count, sizeof count);
    }
  }
  leave();
}

void GeoclueBus::leave() {
  // Every client still running, or still being made, is stopped and deleted, and the connection
  // stays until the service has answered the deletions, for the reason retire() gives, but no
  // longer than kFlushLimit.
  for (auto& [key, run] : runs_) retire(*run);
  const auto deadline = std::chrono::steady_clock::now() + kFlushLimit;
  while (connection_ && !allRunsRemovable()) {
    int r = 0;
    while ((r = sd_bus_process(connection_.get(), nullptr)) > 0) {
    }
    if (r < 0 || allRunsRemovable()) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    const int timeout = pollTimeout(connection_.get());
    pollfd wait{sd_bus_get_fd(connection_.get()),
                static_cast<short>(std::max(sd_bus_get_events(connection_.get()), 0)), 0};
    const int limit = static_cast<int>(left.count());
    if (::poll(&wait, 1, timeout < 0 ? limit : std::min(timeout, limit)) < 0 && errno != EINTR) {
      break;
    }
  }
  runs_.clear();
  retired_.clear();
  closeConnection();
}

bool GeoclueBus::allRunsRemovable() const {
  const auto removable = [](const auto& run) { return run->removable; };
  return std::all_of(runs_.begin(), runs_.end(),
                     [&](const auto& entry) { return removable(entry.second); }) &&
         std::all_of(retired_.begin(), retired_.end(), removable);
}

void GeoclueBus::handle(Request request) {
  const auto existing = runs_.find(request.key);
  if (existing != runs_.end()) {
    retire(*existing->second);
    if (existing->second->client.empty() && !existing->second->removable) {
      retired_.push_back(std::move(existing->second));
    }
    runs_.erase(existing);
  }
  if (request.kind == Request::Kind::stop) return;

  auto run = std::make_unique<Run>();
  run->bus = this;
  run->key = request.key;
  run->ticket = std::move(request.ticket);
  run->manager = std::move(request.manager);
  run->accuracyLevel = request.accuracyLevel;
  run->distanceThreshold = request.distanceThreshold;
  Run& added = *run;
  runs_.emplace(request.key, std::move(run));
  std::string problem;
  if (!ensureConnection(problem)) {
    fail(added, Failure::noBus, problem);
    return;
  }
  createClient(added);
}

bool GeoclueBus::ensureConnection(std::string& problem) {
  if (connection_) return true;
  connection_ = openSystemBus(problem);
  if (!connection_) return false;
  // The service leaving the bus ends every run; NameOwnerChanged says when it does.
  sd_bus_slot* slot = nullptr;
  const std::string rule = std::string("type='signal',sender='") + kBusName + "',path='" +
                           kBusPath + "',interface='" + kBusName +
                           "',member='NameOwnerChanged',arg0='" + kService + "'";
  const int r = sd_bus_add_match_async(connection_.get(), &slot, rule.c_str(),
                                       &GeoclueBus::onNameOwnerChanged, nullptr, this);
  if (r < 0) {
    problem = "cannot watch the service on the system bus: " + errnoText(r);
    connection_.reset();
    return false;
  }
  ownerWatch_.reset(slot);
  return true;
}

void GeoclueBus::closeConnection() {
  ownerWatch_.reset();
  if (!connection_) return;
  flushBounded(connection_.get(), kFlushLimit);
  connection_.reset();
}

bool GeoclueBus::call(Run& run, const char* path, const char* interface, const char* member,
                      sd_bus_message_handler_t handler,
                      const std::function<int(sd_bus_message*)>& fill) {
  sd_bus_message* raw = nullptr;
  int r =
      sd_bus_message_new_method_call(connection_.get(), &raw, kService, path, interface, member);
  if (r < 0) {
    fail(run, Failure::failed,
         std::string("cannot make a call of ") + member + ": " + errnoText(r));
    return false;
  }
  const MessagePtr message(raw);
  if (fill) r = fill(raw);
  sd_bus_slot* slot = nullptr;
  if (r >= 0) r = sd_bus_call_async(connection_.get(), &slot, raw, handler, &run, callTimeout_);
  if (r < 0) {
    fail(run, Failure::noBus, std::string("cannot call ") + member + ": " + errnoText(r));
    return false;
  }
  run.slots.emplace_back(slot);
  run.sentAt = monotonicMicroseconds();
  return true;
}

void GeoclueBus::createClient(Run& run) {
  call(run, kManagerPath, kManagerInterface, "CreateClient", &GeoclueBus::onClientCreated, {});
}

int GeoclueBus::onClientCreated(sd_bus_message* reply, void* data, sd_bus_error*) {
  auto& run = *static_cast<Run*>(data);
  GeoclueBus& bus = *run.bus;
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    if (!run.ended) {
      bus.fail(run, bus.classify(run, sd_bus_message_get_error(reply), false),
               std::string("CreateClient: ") + sd_bus_message_get_error(reply)->message);
    }
    run.removable = true;
    return 0;
  }
  const char* client = nullptr;
  if (sd_bus_message_read(reply, "o", &client) < 0 || client == nullptr) {
    bus.fail(run, Failure::failed, "CreateClient answered without a client");
    run.removable = true;
    return 0;
  }
  run.client = client;
  const char* sender = sd_bus_message_get_sender(reply);
  run.owner = sender != nullptr ? sender : "";
  if (run.ended) {
    // Stopped while the client was being made: it is deleted at once.
    bus.retire(run);
    return 0;
  }
  bus.configureAndStart(run);
  return 0;
}

void GeoclueBus::configureAndStart(Run& run) {
  // The signal is watched before Start is sent; the bus handles this connection's messages in
  // order, so no LocationUpdated after Start can be missed.
  sd_bus_slot* slot = nullptr;
  int r = sd_bus_match_signal_async(
      connection_.get(), &slot, run.owner.empty() ? nullptr : run.owner.c_str(), run.client.c_str(),
      kClientInterface, "LocationUpdated", &GeoclueBus::onLocationUpdated, nullptr, &run);
  if (r < 0) {
    fail(run, Failure::failed, "cannot watch LocationUpdated: " + errnoText(r));
    return;
  }
  run.slots.emplace_back(slot);

  const auto set = [&](const char* property, const char* type, auto value) {
    return call(run, run.client.c_str(), kPropertiesInterface, "Set", &GeoclueBus::onPropertySet,
                [&](sd_bus_message* m) {
                  return sd_bus_message_append(m, "ssv", kClientInterface, property, type, value);
                });
  };
  // Sent one after the other without waiting; the service answers them in order, and a failed
  // one ends the run before Start's answer is looked at.
  if (!set("DesktopId", "s", desktopId_.c_str())) return;
  if (!set("RequestedAccuracyLevel", "u", run.accuracyLevel)) return;
  if (!set("DistanceThreshold", "u", run.distanceThreshold)) return;
  call(run, run.client.c_str(), kClientInterface, "Start", &GeoclueBus::onStarted, {});
}

int GeoclueBus::onPropertySet(sd_bus_message* reply, void* data, sd_bus_error*) {
  auto& run = *static_cast<Run*>(data);
  if (run.ended || !sd_bus_message_is_method_error(reply, nullptr)) return 0;
  const sd_bus_error* error = sd_bus_message_get_error(reply);
  run.bus->fail(run, run.bus->classify(run, error, false),
                std::string("setting the client's properties: ") + error->message);
  return 0;
}

int GeoclueBus::onStarted(sd_bus_message* reply, void* data, sd_bus_error*) {
  auto& run = *static_cast<Run*>(data);
  GeoclueBus& bus = *run.bus;
  if (run.ended) return 0;
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    const sd_bus_error* error = sd_bus_message_get_error(reply);
    const Failure failure = bus.classify(run, error, true);
    if (failure == Failure::refused) bus.refused_.store(true);
    bus.fail(run, failure, std::string("Start: ") + error->message);
    return 0;
  }
  run.started = true;
  bus.refused_.store(false);
  bus.runningClients_.fetch_add(1);
  bus.dispatcher_->mainQueue()->async([manager = run.manager, ticket = run.ticket] {
    if (const auto owner = manager.lock()) owner->deliverStarted(ticket);
  });
  // A position the service already had is delivered at once.
  bus.call(run, run.client.c_str(), kPropertiesInterface, "Get", &GeoclueBus::onLocationProperty,
           [](sd_bus_message* m) {
             return sd_bus_message_append(m, "ss", kClientInterface, "Location");
           });
  return 0;
}

int GeoclueBus::onLocationProperty(sd_bus_message* reply, void* data, sd_bus_error*) {
  auto& run = *static_cast<Run*>(data);
  if (run.ended) return 0;
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    const sd_bus_error* error = sd_bus_message_get_error(reply);
    run.bus->fail(run, run.bus->classify(run, error, false),
                  std::string("reading the client's Location: ") + error->message);
    return 0;
  }
  const char* path = nullptr;
  if (sd_bus_message_read(reply, "v", "o", &path) >= 0 && path != nullptr &&
      std::strcmp(path, "/") != 0) {
    run.bus->readLocation(run, path);
  }
  return 0;
}

int GeoclueBus::onLocationUpdated(sd_bus_message* signal, void* data, sd_bus_error*) {
  auto& run = *static_cast<Run*>(data);
  if (run.ended) return 0;
  const char* old = nullptr;
  const char* path = nullptr;
  if (sd_bus_message_read(signal, "oo", &old, &path) >= 0 && path != nullptr &&
      std::strcmp(path, "/") != 0) {
    run.bus->readLocation(run, path);
  }
  return 0;
}

void GeoclueBus::readLocation(Run& run, const std::string& path) {
  if (path == run.lastLocation) return;
  run.lastLocation = path;
  call(run, path.c_str(), kPropertiesInterface, "GetAll", &GeoclueBus::onLocationRead,
       [](sd_bus_message* m) { return sd_bus_message_append(m, "s", kLocationInterface); });
}

int GeoclueBus::onLocationRead(sd_bus_message* reply, void* data, sd_bus_error*) {
  auto& run = *static_cast<Run*>(data);
  if (run.ended) return 0;
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    // A Location object may be gone by the time it is read (the service replaces them); a
    // later one follows. A service that went away is seen through NameOwnerChanged.
    return 0;
  }
  std::optional<double> latitude;
  std::optional<double> longitude;
  if (sd_bus_message_enter_container(reply, 'a', "{sv}") < 0) return 0;
  while (sd_bus_message_enter_container(reply, 'e', "sv") > 0) {
    const char* name = nullptr;
    if (sd_bus_message_read(reply, "s", &name) < 0) return 0;
    const bool wanted = std::strcmp(name, "Latitude") == 0 || std::strcmp(name, "Longitude") == 0;
    double value = 0.0;
    if (wanted && sd_bus_message_read(reply, "v", "d", &value) >= 0) {
      if (std::strcmp(name, "Latitude") == 0) {
        latitude = value;
      } else {
        longitude = value;
      }
    } else if (sd_bus_message_skip(reply, "v") < 0) {
      return 0;
    }
    if (sd_bus_message_exit_container(reply) < 0) return 0;
  }
  if (!latitude || !longitude || !std::isfinite(*latitude) || !std::isfinite(*longitude) ||
      std::fabs(*latitude) > 90.0 || std::fabs(*longitude) > 180.0) {
    return 0;
  }
  run.bus->deliverFix(run, *latitude, *longitude);
  return 0;
}

int GeoclueBus::onNameOwnerChanged(sd_bus_message* signal, void* data, sd_bus_error*) {
  auto& bus = *static_cast<GeoclueBus*>(data);
  const char* name = nullptr;
  const char* oldOwner = nullptr;
  const char* newOwner = nullptr;
  if (sd_bus_message_read(signal, "sss", &name, &oldOwner, &newOwner) < 0) return 0;
  if (name == nullptr || std::strcmp(name, kService) != 0) return 0;
  if (newOwner != nullptr && *newOwner != '\0') return 0;
  bus.failAll(Failure::serviceLeft, "org.freedesktop.GeoClue2 left the system bus");
  return 0;
}

Failure GeoclueBus::classify(const Run& run, const sd_bus_error* error, bool ofStart) const {
  if (error == nullptr) return Failure::failed;
  if (sd_bus_error_has_name(error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
      sd_bus_error_has_name(error, SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
    return Failure::noService;
  }
  if (sd_bus_error_has_name(error, SD_BUS_ERROR_NO_REPLY) ||
      sd_bus_error_has_name(error, SD_BUS_ERROR_TIMEOUT)) {
    // sd-bus answers a call that ran past its bound with NoReply itself; the bus answers
    // NoReply too when the service went away without answering, which is told by the time.
    const std::uint64_t waited = monotonicMicroseconds() - run.sentAt;
    const bool timedOut = (error->message != nullptr && std::strstr(error->message, "timed out")) ||
                          waited + 1000 >= callTimeout_;
    return timedOut ? Failure::noReply : Failure::serviceLeft;
  }
  if (ofStart) return Failure::refused;
  return Failure::failed;
}

void GeoclueBus::retire(Run& run) {
  if (run.started) {
    run.started = false;
    runningClients_.fetch_sub(1);
  }
  run.ended = true;
  if (!run.client.empty() && connection_) {
    sendWithoutReply(connection_.get(), run.client.c_str(), kClientInterface, "Stop");
    // DeleteClient is a call with an answer, and the run, with the connection, stays until the
    // answer comes. The connection closes once no run is left, and what was sent on it right
    // before it closed need not reach the service: when this side closes with messages it has
    // not read yet, dbus-daemon sees an error on the socket, and if it writes to this side
    // before it has read what this side sent (an answer of the service on its way here), it
    // drops the connection with the Stop and the DeleteClient unread. The answer means the
    // service has had both.
    const std::string client = std::exchange(run.client, {});
    run.deleting = call(
        run, kManagerPath, kManagerInterface, "DeleteClient", &GeoclueBus::onClientDeleted,
        [&client](sd_bus_message* m) { return sd_bus_message_append(m, "o", client.c_str()); });
    run.removable = !run.deleting;
  }
  if (run.client.empty() && run.owner.empty() && run.slots.empty()) run.removable = true;
}

int GeoclueBus::onClientDeleted(sd_bus_message*, void* data, sd_bus_error*) {
  // Answered, with an error or not (a bound that passed is one): nothing is left to wait for.
  auto& run = *static_cast<Run*>(data);
  run.deleting = false;
  run.removable = true;
  return 0;
}

void GeoclueBus::fail(Run& run, Failure failure, std::string message) {
  if (run.ended) return;
  // The service is gone: its clients went with it.
  if (failure == Failure::serviceLeft || failure == Failure::noBus) run.client.clear();
  retire(run);
  if (!run.deleting) run.removable = true;
  NSError error{domainOf(failure), static_cast<long>(failure), std::move(message)};
  dispatcher_->mainQueue()->async(
      [manager = run.manager, ticket = run.ticket, error = std::move(error)] {
        if (const auto owner = manager.lock()) owner->deliverFailure(ticket, error);
      });
}

void GeoclueBus::failAll(Failure failure, const std::string& message) {
  for (auto& [key, run] : runs_) fail(*run, failure, message);
  for (auto& run : retired_) run->removable = true;
  if (failure == Failure::noBus) {
    // The connection is unusable; every slot on it goes with it.
    runs_.clear();
    retired_.clear();
    ownerWatch_.reset();
    connection_.reset();
  }
}

void GeoclueBus::removeEndedRuns() {
  for (auto it = runs_.begin(); it != runs_.end();) {
    it = it->second->removable ? runs_.erase(it) : std::next(it);
  }
  std::erase_if(retired_, [](const std::unique_ptr<Run>& run) { return run->removable; });
}

void GeoclueBus::deliverFix(const Run& run, double latitude, double longitude) {
  auto location = std::make_shared<const CLLocation>(latitude, longitude, "geoclue");
  dispatcher_->mainQueue()->async(
      [manager = run.manager, ticket = run.ticket, location = std::move(location)] {
        if (const auto owner = manager.lock()) owner->deliverFix(ticket, location);
      });
}

}  // namespace pemdor::geoclue
