// SPDX-License-Identifier: MIT
#pragma once

// The bus thread of a GeoClue2 location service: it owns the sd-bus connection and every client
// on it. Internal to the GeoClue2 provider.
//
// An sd-bus connection may be used from one thread only. Each service therefore has one bus
// thread, started with its first client, that owns the connection and everything done on it.
// Managers hand it requests (start a client, stop one) through a small queue and an eventfd; the
// thread waits in poll() on the bus's descriptor and that eventfd, with sd-bus's own deadline of
// the earliest pending call as the only timeout, so it wakes up only for traffic, a request or a
// call that ran past its bound. Every call is asynchronous with a bound; the thread never blocks
// in a call, so a stop is served at once. What a run brings back is posted to the main queue, to
// the manager that asked for it (a RunOwner), with the run's ticket.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "GeoclueSdBus.h"
#include "pemdor/internal/StreamSlot.h"
#include "pemdor/platform/Providers.h"

namespace pemdor::geoclue {

/// What ended a run; each kind has an error domain of its own, named in Providers.h.
enum class Failure : long {
  refused = 1,
  noBus = 2,
  noService = 3,
  noReply = 4,
  serviceLeft = 5,
  failed = 6,
};

/// The error domain of `failure`.
const char* domainOf(Failure failure);

/// What the bus thread hands back to a manager, on the main thread. A start that was allowed is
/// told before any fix of its run.
class RunOwner {
 public:
  virtual ~RunOwner() = default;
  virtual void deliverStarted(const RunToken::Ticket& ticket) = 0;
  virtual void deliverFix(const RunToken::Ticket& ticket, const CLLocationRef& location) = 0;
  virtual void deliverFailure(const RunToken::Ticket& ticket, const NSError& error) = 0;
};

/// A request of a manager to the bus thread.
struct Request {
  enum class Kind { start, stop } kind = Kind::start;
  /// The manager's identity on the bus thread.
  std::uint64_t key = 0;
  /// The start's run, which the manager's callbacks carry back.
  RunToken::Ticket ticket;
  std::weak_ptr<RunOwner> manager;
  std::uint32_t accuracyLevel = 0;
  std::uint32_t distanceThreshold = 0;
};

/// What a service's bus thread and its managers share. Callable from any thread; the bus
/// connection and every run live on the bus thread only.
class GeoclueBus {
 public:
  GeoclueBus(std::shared_ptr<Dispatcher> dispatcher, GeoclueOptions options);
  /// Ends the bus thread: clients still running, or still being made, are stopped and deleted,
  /// waiting a fraction of a second at most for the service's answers, and the connection
  /// closes. Never called on the bus thread (it holds no reference).
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
    std::weak_ptr<RunOwner> manager;
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
    /// DeleteClient has been sent and not answered yet: the run, and the connection, stay until
    /// the answer (or the call's bound) comes.
    bool deleting = false;
    /// The Location object read last, so that one position is not delivered twice.
    std::string lastLocation;
    /// When the latest call was sent, to tell a timeout from a service that went away.
    std::uint64_t sentAt = 0;
    std::vector<SlotPtr> slots;
  };

  void serve();
  /// The bus thread's end: stops and deletes every client, bounded by a short limit.
  void leave();
  bool allRunsRemovable() const;
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
  static int onClientDeleted(sd_bus_message* reply, void* data, sd_bus_error*);

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

}  // namespace pemdor::geoclue
