// SPDX-License-Identifier: MIT
// The GeoClue2 location provider: location managers that are clients of the
// org.freedesktop.GeoClue2 service on the system bus, through sd-bus.
//
// An sd-bus connection may be used from one thread only. Each service therefore has one bus
// thread, started with its first client, that owns the connection and everything done on it.
// Managers hand it requests (start a client, stop one) through a small queue and an eventfd; the
// thread waits in poll() on the bus's descriptor and that eventfd, with sd-bus's own deadline of
// the earliest pending call as the only timeout, so it wakes up only for traffic, a request or a
// call that ran past its bound. Every call is asynchronous with a bound; the thread never blocks
// in a call, so a stop is served at once.

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

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

constexpr const char* kService = "org.freedesktop.GeoClue2";
constexpr const char* kManagerPath = "/org/freedesktop/GeoClue2/Manager";
constexpr const char* kManagerInterface = "org.freedesktop.GeoClue2.Manager";
constexpr const char* kClientInterface = "org.freedesktop.GeoClue2.Client";
constexpr const char* kLocationInterface = "org.freedesktop.GeoClue2.Location";
constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
constexpr const char* kBusName = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";

/// What ended a run; each kind has an error domain of its own, named in Providers.h.
enum class Failure : long {
  refused = 1,
  noBus = 2,
  noService = 3,
  noReply = 4,
  serviceLeft = 5,
  failed = 6,
};

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

/// How long an answer about the service's presence is reused before the bus is asked again.
constexpr auto kPresenceCacheTime = std::chrono::seconds(1);
constexpr double kPresenceTimeoutSeconds = 0.5;
/// How long a bus that is closing may take to write out what was sent on it.
constexpr auto kFlushLimit = std::chrono::milliseconds(200);

std::uint64_t toMicroseconds(double seconds) {
  const double bounded = std::clamp(seconds, 0.001, 3600.0);
  return static_cast<std::uint64_t>(bounded * 1e6);
}

std::uint64_t monotonicMicroseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

/// The poll() timeout, in milliseconds, until sd-bus's next deadline (-1 when it has none),
/// rounded up so that a wake-up never comes before the deadline.
int pollTimeout(sd_bus* bus) {
  std::uint64_t deadline = 0;
  if (sd_bus_get_timeout(bus, &deadline) < 0 || deadline == UINT64_MAX) return -1;
  const std::uint64_t now = monotonicMicroseconds();
  if (deadline <= now) return 0;
  const std::uint64_t milliseconds = (deadline - now + 999) / 1000;
  return static_cast<int>(std::min<std::uint64_t>(milliseconds, 60000));
}

std::string errnoText(int negativeErrno) {
  return std::strerror(-negativeErrno);
}

/// An sd-bus connection closed when it goes.
struct BusCloser {
  void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusCloser>;

/// An sd-bus message released when it goes.
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

/// An sd-bus slot (a pending call or a match) released, and so cancelled, when it goes.
struct SlotUnref {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;

/// Opens the system bus: DBUS_SYSTEM_BUS_ADDRESS when set, else the well-known socket.
BusPtr openSystemBus(std::string& problem) {
  sd_bus* bus = nullptr;
  const int r = sd_bus_open_system(&bus);
  if (r < 0) {
    problem = "cannot connect to the system bus: " + errnoText(r);
    return nullptr;
  }
  return BusPtr(bus);
}

/// Lets sd-bus write out what has been sent, for at most `limit`.
void flushBounded(sd_bus* bus, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    while (sd_bus_process(bus, nullptr) > 0) {
    }
    const int events = sd_bus_get_events(bus);
    if (events < 0 || (events & POLLOUT) == 0) return;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    pollfd wait{sd_bus_get_fd(bus), static_cast<short>(events), 0};
    if (::poll(&wait, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return;
  }
}

/// Sends a method call whose answer nobody waits for.
void sendWithoutReply(sd_bus* bus, const char* path, const char* interface, const char* member,
                      const char* objectPath = nullptr) {
  sd_bus_message* raw = nullptr;
  if (sd_bus_message_new_method_call(bus, &raw, kService, path, interface, member) < 0) return;
  MessagePtr message(raw);
  if (objectPath != nullptr && sd_bus_message_append(raw, "o", objectPath) < 0) return;
  sd_bus_message_set_expect_reply(raw, 0);
  sd_bus_send(bus, raw, nullptr);
}

/// Makes one call and waits for its answer for at most the time left until `deadline`,
/// processing the connection itself (the Hello exchange included). Used by the presence check
/// only, on a connection of its own.
MessagePtr callBounded(sd_bus* bus, sd_bus_message* call,
                       std::chrono::steady_clock::time_point deadline, std::string& problem) {
  struct Waiting {
    MessagePtr reply;
    bool done = false;
  } waiting;
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) {
    problem = "no time left";
    return nullptr;
  }
  sd_bus_slot* rawSlot = nullptr;
  int r = sd_bus_call_async(
      bus, &rawSlot, call,
      [](sd_bus_message* reply, void* data, sd_bus_error*) {
        auto* state = static_cast<Waiting*>(data);
        state->reply.reset(sd_bus_message_ref(reply));
        state->done = true;
        return 0;
      },
      &waiting, static_cast<std::uint64_t>(left.count()));
  if (r < 0) {
    problem = "cannot call the bus: " + errnoText(r);
    return nullptr;
  }
  const SlotPtr slot(rawSlot);
  while (!waiting.done) {
    r = sd_bus_process(bus, nullptr);
    if (r < 0) {
      problem = "the system bus went away: " + errnoText(r);
      return nullptr;
    }
    if (r > 0) continue;
    pollfd wait{sd_bus_get_fd(bus), static_cast<short>(std::max(sd_bus_get_events(bus), 0)), 0};
    if (::poll(&wait, 1, pollTimeout(bus)) < 0 && errno != EINTR) {
      problem = std::strerror(errno);
      return nullptr;
    }
  }
  if (sd_bus_message_is_method_error(waiting.reply.get(), nullptr)) {
    const sd_bus_error* error = sd_bus_message_get_error(waiting.reply.get());
    problem = error != nullptr && error->message != nullptr ? error->message : "call failed";
    return nullptr;
  }
  return std::move(waiting.reply);
}

/// The program's name, the DesktopId used when the host gives none.
std::string programName() {
  const char* name = program_invocation_short_name;
  return name != nullptr && *name != '\0' ? name : "pemdor";
}

class GeoclueLocationManager;

/// A request of a manager to the bus thread.
struct Request {
  enum class Kind { start, stop } kind = Kind::start;
  /// The manager's identity on the bus thread.
  std::uint64_t key = 0;
  /// The start's run, which the manager's callbacks carry back.
  RunToken::Ticket ticket;
  std::weak_ptr<GeoclueLocationManager> manager;
  std::uint32_t accuracyLevel = 0;
  std::uint32_t distanceThreshold = 0;
};

/// What a service's bus thread and its managers share. Callable from any thread; the bus
/// connection and every run live on the bus thread only.
class GeoclueBus {
 public:
  GeoclueBus(std::shared_ptr<Dispatcher> dispatcher, GeoclueOptions options);
  /// Ends the bus thread: clients still running are stopped and deleted without waiting for
  /// answers, and the connection closes. Never called on the bus thread (it holds no reference).
  ~GeoclueBus();
  GeoclueBus(const GeoclueBus&) = delete;
  GeoclueBus& operator=(const GeoclueBus&) = delete;

  /// Hands a request to the bus thread, starting the thread first when needed; returns false
  /// (with a reason) only when the thread cannot be started.
  bool submit(Request request, std::string& problem);
  std::uint64_t newKey() { return nextKey_.fetch_add(1) + 1; }
  /// Whether a Start of this service was refused and no later one succeeded.
  bool refusalSeen() const { return refused_.load(); }
  /// Whether a client of this service is running now (its Start succeeded).
  bool clientRunning() const { return runningClients_.load() > 0; }
  const std::shared_ptr<Dispatcher>& dispatcher() const { return dispatcher_; }

 private:
  /// One start of one manager, from its request to its end, on the bus thread.
  struct Run {
    GeoclueBus* bus = nullptr;
    std::uint64_t key = 0;
    RunToken::Ticket ticket;
    std::weak_ptr<GeoclueLocationManager> manager;
    std::uint32_t accuracyLevel = 0;
    std::uint32_t distanceThreshold = 0;
    /// The client object, once CreateClient has answered.
    std::string client;
    /// The unique name of the service's connection, from CreateClient's answer.
    std::string owner;
    /// Start has answered without an error.
    bool started = false;
    /// The manager stopped it, or it failed: nothing more reaches the manager.
    bool ended = false;
    /// It may be removed (after the bus thread is out of sd-bus's callbacks).
    bool removable = false;
    /// The Location object read last, so that one position is not delivered twice.
    std::string lastLocation;
    /// When the latest call was sent, to tell a timeout from a service that went away.
    std::uint64_t sentAt = 0;
    std::vector<SlotPtr> slots;
  };

  void serve();
  void handle(Request request);
  bool ensureConnection(std::string& problem);
  void closeConnection();
  void createClient(Run& run);
  void configureAndStart(Run& run);
  void readLocation(Run& run, const std::string& path);
  /// Ends `run` on behalf of its manager: stops and deletes its client.
  void retire(Run& run);
  /// Ends `run` with a failure that reaches its manager once.
  void fail(Run& run, Failure failure, std::string message);
  void failAll(Failure failure, const std::string& message);
  /// Classifies an error answer of `run`'s call.
  Failure classify(const Run& run, const sd_bus_error* error, bool ofStart) const;
  bool call(Run& run, const char* path, const char* interface, const char* member,
            sd_bus_message_handler_t handler, const std::function<int(sd_bus_message*)>& fill);
  void removeEndedRuns();
  void deliverFix(const Run& run, double latitude, double longitude);

  static int onClientCreated(sd_bus_message* reply, void* data, sd_bus_error*);
  static int onPropertySet(sd_bus_message* reply, void* data, sd_bus_error*);
  static int onStarted(sd_bus_message* reply, void* data, sd_bus_error*);
  static int onLocationProperty(sd_bus_message* reply, void* data, sd_bus_error*);
  static int onLocationUpdated(sd_bus_message* signal, void* data, sd_bus_error*);
  static int onLocationRead(sd_bus_message* reply, void* data, sd_bus_error*);
  static int onNameOwnerChanged(sd_bus_message* signal, void* data, sd_bus_error*);

  const std::shared_ptr<Dispatcher> dispatcher_;
  const std::string desktopId_;
  const std::uint64_t callTimeout_;
  const int wakeFd_;
  std::atomic<std::uint64_t> nextKey_{0};
  std::atomic<bool> refused_{false};
  std::atomic<int> runningClients_{0};

  std::mutex mutex_;
  std::vector<Request> requests_;
  bool quit_ = false;
  std::thread thread_;

  // The bus thread's own state.
  BusPtr connection_;
  SlotPtr ownerWatch_;
  std::map<std::uint64_t, std::unique_ptr<Run>> runs_;
  /// Runs that were replaced or stopped while CreateClient was pending; they delete their
  /// client when it comes.
  std::vector<std::unique_ptr<Run>> retired_;
};

/// A location manager that is a GeoClue2 client while its updates run. Every start begins a new
/// run of its RunToken; a callback reaches the delegate only while its run is still the current
/// one when it runs on the main thread, so a stop or the manager's end drops whatever is still
/// queued. A failure ends the run it belongs to, so it is the run's last callback.
class GeoclueLocationManager final : public CLLocationManager,
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
  void deliverStarted(const RunToken::Ticket& ticket);
  void deliverFix(const RunToken::Ticket& ticket, const CLLocationRef& location);
  void deliverFailure(const RunToken::Ticket& ticket, const NSError& error);

 private:
  const std::shared_ptr<GeoclueBus> bus_;
  const std::uint64_t key_;
  /// Guards run_'s begin and end, so that a start and a stop hand their requests to the bus
  /// thread in the order they took effect.
  std::mutex mutex_;
  /// Running from a start until a stop or a failure.
  RunToken run_;
};

// ---- The bus thread ---------------------------------------------------------------------------

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
  // Leaving: clients still running are stopped and deleted; nothing waits for the answers.
  for (auto& [key, run] : runs_) {
    if (connection_ && !run->client.empty()) {
      sendWithoutReply(connection_.get(), run->client.c_str(), kClientInterface, "Stop");
      sendWithoutReply(connection_.get(), kManagerPath, kManagerInterface, "DeleteClient",
                       run->client.c_str());
    }
  }
  runs_.clear();
  retired_.clear();
  closeConnection();
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
    sendWithoutReply(connection_.get(), kManagerPath, kManagerInterface, "DeleteClient",
                     run.client.c_str());
    run.client.clear();
    run.removable = true;
  }
  if (run.client.empty() && run.owner.empty() && run.slots.empty()) run.removable = true;
}

void GeoclueBus::fail(Run& run, Failure failure, std::string message) {
  if (run.ended) return;
  // The service is gone: its clients went with it.
  if (failure == Failure::serviceLeft || failure == Failure::noBus) run.client.clear();
  retire(run);
  run.removable = true;
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
