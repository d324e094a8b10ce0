// SPDX-License-Identifier: MIT
// The gpsd location provider: location managers that watch a gpsd daemon through libgps, one
// reader thread per running manager, with fixes and failures handed to the main queue.

#include <gps.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <asio.hpp>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "GpsdReport.h"
#include "pemdor/internal/StreamSlot.h"
#include "pemdor/platform/Providers.h"

namespace pemdor {
namespace {

constexpr const char* kGpsdErrorDomain = "pemdor.gpsd";

/// The codes of the errors a gpsd manager hands to its delegate.
enum GpsdErrorCode : long {
  /// No connection to gpsd could be made (nothing listens, the name does not resolve, ...).
  kGpsdCannotConnect = 1,
  /// The connection was made but the request to stream reports could not be sent.
  kGpsdWatchFailed = 2,
  /// gpsd closed the connection, or reading from it failed.
  kGpsdConnectionLost = 3,
  /// The provider could not start its reader (no descriptors or threads left).
  kGpsdNoResources = 4,
};

/// How long an answer of locationServicesEnabled() is reused before gpsd is asked again.
constexpr auto kAvailabilityCacheTime = std::chrono::seconds(1);
constexpr double kAvailabilityTimeoutSeconds = 0.5;

/// How many sessions of a service are connected to gpsd and have been greeted by it. While one
/// is, gpsd answers without being asked again: a gpsd that is opening its device for a new
/// watcher does not greet further clients for about a second.
using LiveSessions = std::atomic<int>;

/// libgps 3.22 cannot be called from two threads at once, even for different sessions:
/// gps_open() resolves through getprotobyname(), gps_stream() builds its request in a static
/// buffer and gps_read() writes a static text of each report's mask. Every call into it is made
/// through callLibgps(), under this one lock. The calls are short (gps_read() does not block),
/// except a gps_open() to a host that does not answer, which holds the others for as long as the
/// system's connect takes.
std::mutex& libgpsMutex() {
  static std::mutex mutex;
  return mutex;
}

/// Calls into libgps under libgpsMutex(); `error` receives errno as the call left it.
template <typename Call>
int callLibgps(int& error, Call call) {
  std::lock_guard guard(libgpsMutex());
  errno = 0;
  const int result = call();
  error = errno;
  return result;
}

std::string describeEndpoint(const GpsdEndpoint& endpoint) {
  return "gpsd at " + endpoint.host + ":" + endpoint.port;
}

/// A location manager fed by gpsd. While updates run, a reader thread of its own holds a libgps
/// session, waits in poll() on the session's socket and on a wake-up descriptor (no periodic
/// wake-ups), and posts each fix to the main queue. Every start begins a new run; a posted
/// callback reaches the delegate only while its run is still the current one when it runs on
/// the main thread, so a stop or the manager's end drops whatever is still queued. A failure
/// ends its run when it is delivered: it is the run's last callback.
///
/// The reader thread uses `this` but never owns the manager: the destructor stops and joins
/// every reader before members go, and posted tasks hold the manager weakly, so the manager is
/// never destroyed on its own reader thread.
class GpsdLocationManager final : public CLLocationManager,
                                  public std::enable_shared_from_this<GpsdLocationManager> {
 public:
  GpsdLocationManager(std::shared_ptr<Dispatcher> dispatcher, GpsdEndpoint endpoint,
                      std::shared_ptr<LiveSessions> liveSessions)
      : dispatcher_(std::move(dispatcher)),
        endpoint_(std::move(endpoint)),
        liveSessions_(std::move(liveSessions)) {}

  ~GpsdLocationManager() override { stopReaders(); }

  GpsdLocationManager(const GpsdLocationManager&) = delete;
  GpsdLocationManager& operator=(const GpsdLocationManager&) = delete;

  void startUpdatingLocation() override;
  void stopUpdatingLocation() override { stopReaders(); }

 private:
  /// One reader thread and the descriptor that wakes it to stop.
  struct Reader {
    explicit Reader(int fd) : wakeFd(fd) {}
    ~Reader() {
      if (thread.joinable()) thread.join();
      ::close(wakeFd);
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    /// Wakes the thread out of poll(); it then closes its session and ends.
    void requestStop() const {
      const std::uint64_t one = 1;
      [[maybe_unused]] const auto written = ::write(wakeFd, &one, sizeof one);
    }
    bool stopRequested() const {
      pollfd wake{wakeFd, POLLIN, 0};
      return ::poll(&wake, 1, 0) > 0;
    }

    const int wakeFd;
    std::thread thread;
  };

  /// Stops and joins every reader and ends deliveries. Never called on a reader thread.
  void stopReaders();
  /// The body of a reader thread.
  void readReports(const Reader& reader, const RunToken::Ticket& ticket,
                   const std::weak_ptr<GpsdLocationManager>& self);
  /// On a reader thread: ends the updates of the run `ticket` names, if it is still the current
  /// one, and hands `error` to the main queue.
  void readerFailed(const RunToken::Ticket& ticket, const std::weak_ptr<GpsdLocationManager>& self,
                    long code, std::string message);
  /// On the main thread.
  void deliverFix(const RunToken::Ticket& ticket, const CLLocationRef& location);
  void deliverFailure(const RunToken::Ticket& ticket, const NSError& error);

  const std::shared_ptr<Dispatcher> dispatcher_;
  const GpsdEndpoint endpoint_;
  const std::shared_ptr<LiveSessions> liveSessions_;

  mutable std::mutex mutex_;
  /// The run whose callbacks reach the delegate.
  RunToken token_;
  /// True from a start until a stop or the loss of the connection.
  bool updating_ = false;
  std::unique_ptr<Reader> reader_;
  /// Readers whose run ended through a failure, joined by the next start or stop.
  std::vector<std::unique_ptr<Reader>> finished_;
};

void GpsdLocationManager::startUpdatingLocation() {
  std::vector<std::unique_ptr<Reader>> finished;
  RunToken::Ticket failed;
  std::string failure;
  {
    std::lock_guard guard(mutex_);
    if (updating_) return;
    const RunToken::Ticket ticket = token_.begin();
    updating_ = true;
    if (reader_) finished_.push_back(std::move(reader_));
    finished.swap(finished_);

    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
      failed = ticket;
      failure = std::strerror(errno);
    } else {
      auto reader = std::make_unique<Reader>(wakeFd);
      try {
        reader->thread = std::thread([this, raw = reader.get(), ticket, self = weak_from_this()] {
          readReports(*raw, ticket, self);
        });
        reader_ = std::move(reader);
      } catch (const std::system_error& e) {
        failed = ticket;
        failure = e.what();
      }
    }
  }
  finished.clear();  // Joins readers that have already ended, outside the lock.
  if (failed.current()) {
    readerFailed(failed, weak_from_this(), kGpsdNoResources, "cannot start a reader: " + failure);
  }
}

void GpsdLocationManager::stopReaders() {
  std::unique_ptr<Reader> running;
  std::vector<std::unique_ptr<Reader>> finished;
  {
    std::lock_guard guard(mutex_);
    token_.end();
    updating_ = false;
    running = std::move(reader_);
    finished.swap(finished_);
  }
  if (running) running->requestStop();
  // The destructors join: at once for a finished reader, within one wake-up for a running one.
  running.reset();
  finished.clear();
}

void GpsdLocationManager::readReports(const Reader& reader, const RunToken::Ticket& ticket,
                                      const std::weak_ptr<GpsdLocationManager>& self) {
  if (reader.stopRequested()) return;
  // The session structure is large (about 24 KiB); it lives on the heap, zeroed.
  auto session = std::make_unique<gps_data_t>();
  int error = 0;
  if (callLibgps(error, [&] {
        return gps_open(endpoint_.host.c_str(), endpoint_.port.c_str(), session.get());
      }) != 0) {
    // gps_errstr() may format into a buffer of its own, so it is called under the lock too.
    std::string reason;
    int ignored = 0;
    callLibgps(ignored, [&] {
      reason = gps_errstr(error);
      return 0;
    });
    readerFailed(ticket, self, kGpsdCannotConnect, describeEndpoint(endpoint_) + ": " + reason);
    return;
  }
  struct Closer {
    gps_data_t* data;
    ~Closer() {
      int ignored = 0;
      callLibgps(ignored, [&] { return gps_close(data); });
    }
  } closer{session.get()};
  // Counts the session among the service's live ones from gpsd's greeting to its end.
  struct Greeted {
    LiveSessions& count;
    bool counted = false;
    void mark() {
      if (!counted) count.fetch_add(1), counted = true;
    }
    ~Greeted() {
      if (counted) count.fetch_sub(1);
    }
  } greeted{*liveSessions_};

  if (callLibgps(error, [&] {
        return gps_stream(session.get(), WATCH_ENABLE | WATCH_JSON, nullptr);
      }) != 0) {
    readerFailed(ticket, self, kGpsdWatchFailed,
                 describeEndpoint(endpoint_) + ": cannot ask for reports: " + std::strerror(error));
    return;
  }

  const auto queue = dispatcher_->mainQueue();
  for (;;) {
    pollfd waits[2] = {{session->gps_fd, POLLIN, 0}, {reader.wakeFd, POLLIN, 0}};
    if (::poll(waits, 2, -1) < 0) {
      if (errno == EINTR) continue;
      readerFailed(ticket, self, kGpsdConnectionLost,
                   describeEndpoint(endpoint_) + ": " + std::strerror(errno));
      return;
    }
    if (waits[1].revents != 0) return;
    if (waits[0].revents == 0) continue;
    // gps_read() does not block and takes one report at a time; one wake-up may have brought
    // several, so read until none is left.
    for (;;) {
      session->set = 0;
      const int got = callLibgps(error, [&] { return gps_read(session.get(), nullptr, 0); });
      if (got < 0) {
        readerFailed(ticket, self, kGpsdConnectionLost,
                     describeEndpoint(endpoint_) + ": " +
                         (error != 0 ? std::strerror(error) : "connection closed by gpsd"));
        return;
      }
      if (got == 0) break;
      if ((session->set & VERSION_SET) != 0) greeted.mark();
      if (const auto position = gpsd::positionOfReport(*session)) {
        auto location = std::make_shared<const CLLocation>(*position, "gpsd");
        queue->async([self, ticket, location = std::move(location)] {
          if (const auto manager = self.lock()) manager->deliverFix(ticket, location);
        });
      }
    }
  }
}

void GpsdLocationManager::readerFailed(const RunToken::Ticket& ticket,
                                       const std::weak_ptr<GpsdLocationManager>& self, long code,
                                       std::string message) {
  {
    std::lock_guard guard(mutex_);
    if (!ticket.current() || !updating_) return;
    updating_ = false;
  }
  NSError error{kGpsdErrorDomain, code, std::move(message)};
  dispatcher_->mainQueue()->async([self, ticket, error = std::move(error)] {
    if (const auto manager = self.lock()) manager->deliverFailure(ticket, error);
  });
}

void GpsdLocationManager::deliverFix(const RunToken::Ticket& ticket,
                                     const CLLocationRef& location) {
  if (ticket.current()) notifyDidUpdateLocations({location});
}

void GpsdLocationManager::deliverFailure(const RunToken::Ticket& ticket, const NSError& error) {
  if (ticket.end()) notifyDidFailWithError(error);
}

/// The gpsd location service. gpsd has no permission model: where a gpsd answers, location
/// services are enabled and authorised (status 4), elsewhere they are off (status 0).
class GpsdLocationService final : public LocationService {
 public:
  GpsdLocationService(std::shared_ptr<Dispatcher> dispatcher, GpsdEndpoint endpoint)
      : dispatcher_(std::move(dispatcher)), endpoint_(std::move(endpoint)) {}

  std::string name() const override { return "gpsd"; }

  /// True while a manager of this service is connected to gpsd; otherwise asks gpsd, at most once
  /// a second, with a check that takes at most half a second.
  bool locationServicesEnabled() override {
    if (liveSessions_->load() > 0) return true;
    const auto now = std::chrono::steady_clock::now();
    {
      std::lock_guard guard(mutex_);
      if (checkedAt_ && now - *checkedAt_ < kAvailabilityCacheTime) return answers_;
    }
    const bool answers = gpsdAnswers(endpoint_, kAvailabilityTimeoutSeconds);
    std::lock_guard guard(mutex_);
    checkedAt_ = now;
    answers_ = answers;
    return answers;
  }

  CLAuthorizationStatus authorizationStatus() override {
    return locationServicesEnabled() ? kCLAuthorizationStatusAuthorizedWhenInUse
                                     : kCLAuthorizationStatusNotDetermined;
  }

  std::shared_ptr<CLLocationManager> makeLocationManager() override {
    return std::make_shared<GpsdLocationManager>(dispatcher_, endpoint_, liveSessions_);
  }

 private:
  const std::shared_ptr<Dispatcher> dispatcher_;
  const GpsdEndpoint endpoint_;
  const std::shared_ptr<LiveSessions> liveSessions_ = std::make_shared<LiveSessions>(0);
  std::mutex mutex_;
  std::optional<std::chrono::steady_clock::time_point> checkedAt_;
  bool answers_ = false;
};

}  // namespace

bool gpsdProviderBuilt() {
  return true;
}

// A connect and a read of gpsd's greeting line, both within the one time limit. Name lookup is
// the system's and is not bounded by it (for "localhost" it reads /etc/hosts).
bool gpsdAnswers(const GpsdEndpoint& endpoint, double timeoutSeconds) {
  if (!(timeoutSeconds > 0.0)) return false;
  const double limited = std::min(timeoutSeconds, 60.0);
  asio::io_context io;
  std::error_code error;
  asio::ip::tcp::resolver resolver(io);
  const auto addresses = resolver.resolve(endpoint.host, endpoint.port, error);
  if (error) return false;

  asio::ip::tcp::socket socket(io);
  std::string received;
  bool answered = false;
  asio::async_connect(socket, addresses, [&](const std::error_code& connectError, const auto&) {
    if (connectError) return;
    asio::async_read_until(
        socket, asio::dynamic_buffer(received, 4096), '\n',
        [&](const std::error_code& readError, std::size_t length) {
          if (readError) return;
          answered = gpsd::isVersionBanner(std::string_view(received).substr(0, length));
        });
  });
  io.run_for(std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::duration<double>(limited)));
  return answered;
}

std::shared_ptr<LocationService> makeGpsdLocationService(std::shared_ptr<Dispatcher> dispatcher,
                                                         GpsdEndpoint endpoint) {
  if (!dispatcher) return nullptr;
  return std::make_shared<GpsdLocationService>(std::move(dispatcher), std::move(endpoint));
}

}  // namespace pemdor
