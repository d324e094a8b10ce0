// SPDX-License-Identifier: MIT
#include "GpsFake.h"

#include "ChildEnvironment.h"
#include "RigSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

namespace pemdor::gpsd_testing {
namespace {

using Clock = std::chrono::steady_clock;
using rig::Fd;

constexpr const char* kGpsd = "/usr/sbin/gpsd";
// util-linux's setpriv sets the parent-death signal and then runs gpsd in the same process, so
// the process id the test holds is gpsd's own.
constexpr const char* kSetpriv = "/usr/bin/setpriv";
// How long gpsd may take to connect to the receiver and to greet a client; generous, because
// the machine may be loaded, and never spent when all is well.
constexpr auto kStartLimit = std::chrono::seconds(10);
// gpsd exports its data in a System V shared-memory segment whose key defaults to one for the
// whole machine; each run takes a key of its own, made from its port, so that runs side by side
// never share a segment.
constexpr int kShmKeyBase = 0x47710000;

/// The sentences of an NMEA log, each ending in CR LF as a receiver sends them; lines that are
/// empty or start with '#' are comments.
std::vector<std::string> readSentences(const std::string& path) {
  std::vector<std::string> sentences;
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (line.empty() || line.front() == '#') continue;
    sentences.push_back(line + "\r\n");
  }
  return sentences;
}

timespec until(Clock::time_point deadline) {
  const auto left = std::max(deadline - Clock::now(), Clock::duration::zero());
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
  return {static_cast<time_t>(seconds.count()), static_cast<long>(nanoseconds.count())};
}

}  // namespace

/// The receiver: a loopback TCP server on a thread of its own that sends the log's sentences,
/// one every cycle, to whoever connects (gpsd), and starts the log again for each new
/// connection. Incoming bytes (gpsd's probes) are read and dropped.
class NmeaFeeder {
 public:
  /// Returns nullptr with a reason when no socket or thread can be had.
  static std::unique_ptr<NmeaFeeder> start(std::vector<std::string> sentences, double cycleSeconds,
                                           bool once, std::string& why) {
    std::unique_ptr<NmeaFeeder> feeder(new NmeaFeeder(std::move(sentences), cycleSeconds, once));
    feeder->listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    feeder->stop_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (feeder->listener_.fd < 0 || feeder->stop_.fd < 0 ||
        ::bind(feeder->listener_.fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(feeder->listener_.fd, 4) != 0 ||
        ::getsockname(feeder->listener_.fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      why = std::string("receiver socket: ") + std::strerror(errno);
      return nullptr;
    }
    feeder->port_ = ntohs(address.sin_port);
    feeder->thread_ = std::thread([raw = feeder.get()] { raw->run(); });
    return feeder;
  }

  ~NmeaFeeder() {
    if (thread_.joinable()) {
      const std::uint64_t one = 1;
      [[maybe_unused]] const auto written = ::write(stop_.fd, &one, sizeof one);
      thread_.join();
    }
  }
  NmeaFeeder(const NmeaFeeder&) = delete;
  NmeaFeeder& operator=(const NmeaFeeder&) = delete;

  int port() const { return port_; }

  /// Waits until a client has connected, or `deadline` has passed.
  bool waitForConnection(Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return connected_.wait_until(lock, deadline, [&] { return connections_ > 0; });
  }

  /// Connections taken and sentences sent, for a failure message.
  std::string notes() const {
    std::lock_guard lock(mutex_);
    return "receiver on port " + std::to_string(port_) + ": " + std::to_string(connections_) +
           " connection(s), " + std::to_string(sent_) + " sentence(s) sent\n";
  }

 private:
  NmeaFeeder(std::vector<std::string> sentences, double cycleSeconds, bool once)
      : sentences_(std::move(sentences)),
        cycle_(std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(cycleSeconds))),
        once_(once) {}

  void run() {
    for (;;) {
      pollfd waits[2] = {{stop_.fd, POLLIN, 0}, {listener_.fd, POLLIN, 0}};
      if (::poll(waits, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (waits[0].revents != 0) return;
      Fd connection(::accept4(listener_.fd, nullptr, nullptr, SOCK_CLOEXEC));
      if (connection.fd < 0) continue;
      {
        std::lock_guard lock(mutex_);
        ++connections_;
      }
      connected_.notify_all();
      if (!serve(connection.fd)) return;
    }
  }

  /// Sends the log on `connection` until the peer goes (returns true) or the feeder is told to
  /// stop (returns false).
  bool serve(int connection) {
    std::size_t next = 0;
    auto due = Clock::now();
    for (;;) {
      if (next < sentences_.size() && Clock::now() >= due) {
        const std::string& sentence = sentences_[next];
        if (::send(connection, sentence.data(), sentence.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(sentence.size())) {
          return true;
        }
        {
          std::lock_guard lock(mutex_);
          ++sent_;
        }
        ++next;
        if (next == sentences_.size() && !once_) next = 0;
        due += cycle_;
      }
      // Waits for the next sentence's time (or, once the log is played, for ever), the stop, or
      // bytes and the end from the peer.
      pollfd waits[2] = {{stop_.fd, POLLIN, 0}, {connection, POLLIN, 0}};
      const bool more = next < sentences_.size();
      const timespec left = until(due);
      if (::ppoll(waits, 2, more ? &left : nullptr, nullptr) < 0 && errno != EINTR) return true;
      if (waits[0].revents != 0) return false;
      if (waits[1].revents != 0) {
        char bytes[512];
        const ssize_t got = ::recv(connection, bytes, sizeof bytes, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return true;
      }
    }
  }

  const std::vector<std::string> sentences_;
  const Clock::duration cycle_;
  const bool once_;
  Fd listener_;
  Fd stop_;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable connected_;
  int connections_ = 0;
  long sent_ = 0;
  std::thread thread_;
};

GpsFake::GpsFake(std::string folder, int port) : folder_(std::move(folder)), port_(port) {}

bool GpsFake::toolsPresent(std::string& why) {
  return rig::installed({kGpsd, kSetpriv}, "gpsd, util-linux", why);
}

int GpsFake::freePort() {
  const Fd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (socket.fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (::bind(socket.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return -1;
  }
  socklen_t length = sizeof address;
  if (::getsockname(socket.fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
  return ntohs(address.sin_port);
}

std::unique_ptr<GpsFake> GpsFake::start(const Options& options, std::string& why) {
  if (!toolsPresent(why)) return nullptr;
  const std::string log = rig::logPath(options.log);
  std::vector<std::string> sentences = readSentences(log);
  if (sentences.empty()) {
    why = "no sentences in " + log;
    return nullptr;
  }
  const std::optional<std::string> made = rig::makeRunFolder("pemdor-gpsd", why);
  if (!made) return nullptr;
  const std::string& folder = *made;
  // The receiver listens before gpsd's port is chosen: a port chosen first and released could be
  // handed to the receiver's own listener, and gpsd would then find its port taken.
  auto feeder = NmeaFeeder::start(std::move(sentences), options.cycleSeconds, options.once, why);
  const int port = feeder ? freePort() : -1;
  std::unique_ptr<GpsFake> fake(new GpsFake(folder, port));
  if (!feeder) return nullptr;
  if (port <= 0) {
    why = "no free port";
    return nullptr;
  }
  fake->feeder_ = std::move(feeder);

  fake->shmKey_ = kShmKeyBase + port;
  char shmKey[16];
  std::snprintf(shmKey, sizeof shmKey, "0x%08X", static_cast<unsigned>(fake->shmKey_));
  std::vector<std::string> arguments = {kSetpriv,
                                        "--pdeathsig",
                                        "KILL",
                                        "--",
                                        kGpsd,
                                        "-N",
                                        "-n",
                                        "-D",
                                        "2",
                                        "-S",
                                        std::to_string(port),
                                        "tcp://127.0.0.1:" + std::to_string(fake->feeder_->port())};
  const pid_t pid =
      rig::spawnLogged(std::move(arguments), test::childEnvironment({{"GPSD_SHM_KEY", shmKey}}), -1,
                       folder + "/gpsd.txt", why);
  if (pid < 0) return nullptr;
  fake->gpsd_ = pid;

  // gpsd listens for clients before it opens its devices, so once it has connected to the
  // receiver it greets clients.
  const auto deadline = Clock::now() + kStartLimit;
  if (fake->feeder_->waitForConnection(deadline)) {
    // A greeting slow in coming (a loaded machine) gets a few chances; a refusal ends them.
    for (int tries = 0; tries < 3; ++tries) {
      if (gpsdAnswers(fake->endpoint(), 2.0)) return fake;
    }
  }
  why = "gpsd did not come up on port " + std::to_string(port) + ":\n" + fake->output();
  return nullptr;
}

GpsFake::~GpsFake() {
  kill();
  feeder_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

void GpsFake::kill() {
  if (gpsd_ > 0) {
    ::kill(gpsd_, SIGKILL);
    int status = 0;
    while (::waitpid(gpsd_, &status, 0) < 0 && errno == EINTR) {
    }
    gpsd_ = -1;
  }
  if (shmKey_ != 0) {
    // gpsd made its segment before it gave up root, so it could not remove it even on a clean
    // exit; the run removes it.
    const int segment = ::shmget(shmKey_, 0, 0);
    if (segment >= 0) ::shmctl(segment, IPC_RMID, nullptr);
    shmKey_ = 0;
  }
}

std::string GpsFake::output() const {
  std::string text = rig::readFile(folder_ + "/gpsd.txt");
  if (feeder_) text += feeder_->notes();
  return text;
}

}  // namespace pemdor::gpsd_testing
