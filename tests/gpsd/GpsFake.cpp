#include "GpsFake.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

extern char** environ;

namespace pemdor::gpsd_testing {
namespace {

// Debian's gps module is seen only by Debian's own python3, which need not be first on PATH.
constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kGpsfake = "/usr/bin/gpsfake";
constexpr const char* kGpsd = "/usr/sbin/gpsd";
constexpr auto kStartLimit = std::chrono::seconds(10);
constexpr int kStartAttempts = 3;

/// A descriptor closed when it goes.
struct Fd {
  int fd = -1;
  explicit Fd(int value) : fd(value) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

/// gpsfake may die before gpsd does; gpsd then becomes a child of this process, which can reap
/// it, instead of a child of init.
void becomeSubreaper() {
  static std::once_flag once;
  std::call_once(once, [] { ::prctl(PR_SET_CHILD_SUBREAPER, 1); });
}

std::string formatCycle(double seconds) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, seconds);
  return std::string(text, result.ptr);
}

/// A descriptor that becomes readable when process `pid` ends. (Debian 12's <sys/pidfd.h>
/// declares pidfd_open without C linkage, so the system call is made directly.)
int openPidfd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

/// Milliseconds left until `deadline`, at least 0.
int millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

/// Waits until `path` exists in the watched folder or the process behind `pidfd` has ended.
bool waitForFile(const std::filesystem::path& path, int inotifyFd, int pidfd,
                 std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    if (std::filesystem::exists(path)) return true;
    pollfd waits[2] = {{inotifyFd, POLLIN, 0}, {pidfd, POLLIN, 0}};
    const int ready = ::poll(waits, 2, millisecondsUntil(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || waits[1].revents != 0) return std::filesystem::exists(path);
    char events[4096];
    while (::read(inotifyFd, events, sizeof events) > 0) {
    }
  }
}

}  // namespace

bool GpsFake::toolsPresent(std::string& why) {
  for (const char* tool : {kPython, kGpsfake, kGpsd}) {
    if (::access(tool, R_OK) != 0) {
      why = std::string(tool) + " is not installed (packages gpsd, gpsd-clients, python3-gps)";
      return false;
    }
  }
  return true;
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
  becomeSubreaper();
  const std::string log = std::string(PEMDOR_SOURCE_DIR) + "/tests/gpsd/logs/" + options.log;
  if (!std::filesystem::exists(log)) {
    why = "no log " + log;
    return nullptr;
  }

  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "pemdor-gpsfake-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      why = std::string("mkdtemp: ") + std::strerror(errno);
      return nullptr;
    }
    const int port = freePort();
    std::unique_ptr<GpsFake> fake(new GpsFake(pattern, port));
    if (port <= 0) {
      why = "no free port";
      return nullptr;
    }

    const Fd inotify(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (inotify.fd < 0 || ::inotify_add_watch(inotify.fd, pattern.c_str(), IN_CREATE) < 0) {
      why = std::string("inotify: ") + std::strerror(errno);
      return nullptr;
    }

    std::vector<std::string> arguments = {kPython,
                                          kGpsfake,
                                          "-q",
                                          "-c",
                                          formatCycle(options.cycleSeconds),
                                          "-P",
                                          std::to_string(port)};
    if (options.once) arguments.emplace_back("-1");
    arguments.push_back(log);
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    // gpsfake leaves its control sockets in TMPDIR: that is the run's own folder.
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      if (std::strncmp(*entry, "TMPDIR=", 7) != 0) environment.emplace_back(*entry);
    }
    environment.push_back("TMPDIR=" + pattern);
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    const std::string outputPath = pattern + "/output.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const int spawned =
        ::posix_spawn(&pid, kPython, &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
      why = std::string("posix_spawn: ") + std::strerror(spawned);
      return nullptr;
    }
    fake->group_ = pid;

    // gpsd makes its control socket just before it listens on the port; a connect in between
    // is refused and tried again.
    const Fd pidfd(openPidfd(pid));
    const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    const auto control =
        std::filesystem::path(pattern) / ("gpsfake-" + std::to_string(pid) + ".sock");
    if (waitForFile(control, inotify.fd, pidfd.fd, deadline)) {
      while (millisecondsUntil(deadline) > 0) {
        if (gpsdAnswers(fake->endpoint(), 0.5)) return fake;
        pollfd exited{pidfd.fd, POLLIN, 0};
        if (::poll(&exited, 1, 5) != 0) break;
      }
    }
    why = "gpsfake did not come up on port " + std::to_string(port) + ":\n" + fake->output();
  }
  return nullptr;
}

GpsFake::~GpsFake() {
  kill();
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

void GpsFake::kill() {
  if (group_ <= 0) return;
  ::kill(-group_, SIGKILL);
  // Reaps gpsfake and, through the subreaper, the gpsd it started.
  int status = 0;
  while (::waitpid(-group_, &status, 0) > 0 || errno == EINTR) {
  }
  group_ = -1;
}

std::string GpsFake::output() const {
  std::ifstream file(folder_ + "/output.txt");
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace pemdor::gpsd_testing
