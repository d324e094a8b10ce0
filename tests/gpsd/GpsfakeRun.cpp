// SPDX-License-Identifier: MIT
#include "GpsfakeRun.h"

#include "ChildEnvironment.h"
#include "GpsFake.h"
#include "RigSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

namespace pemdor::gpsd_testing {
namespace {

using rig::Fd;
using rig::readFile;

// Debian's gps module is seen only by Debian's own python3, which need not be first on PATH.
constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kGpsfake = "/usr/bin/gpsfake";
constexpr const char* kGpsd = "/usr/sbin/gpsd";

// gpsfake hands its pty to gpsd over gpsd's control socket as soon as the socket file exists,
// and drops the device without a word when that connection fails; gpsd then never gets one.
// On this machine that happens in about half of the starts from a test process, and never once
// it is slowed down by strace. A start therefore waits until gpsd has logged the hand-over (gpsd
// runs with -D 2, which logs control commands). When that does not come within kHandOverWait,
// the test does what gpsfake dropped: it finds gpsfake's pty (the one gpsfake made readable and
// writable for all) and sends the same "+path" command on the same control socket, and says so
// in output(). gpsfake is never started again.
constexpr auto kHandOverWait = std::chrono::seconds(3);
constexpr auto kHandOverLimit = std::chrono::seconds(10);
constexpr const char* kHandOverMark = "): +/dev/";

// The leader of the process group: runs gpsfake, and removes the run's folder and kills the
// whole group when the test process goes, however it goes, because its standard input (a pipe
// whose only writer is the test process) then reaches its end.
constexpr const char* kWatchdog = R"(
import os, shutil, signal, subprocess, sys, threading
child = subprocess.Popen([sys.executable] + sys.argv[1:], stdin=subprocess.DEVNULL)
def watch():
    while os.read(0, 64):
        pass
    shutil.rmtree(os.environ["TMPDIR"], ignore_errors=True)
    os.killpg(0, signal.SIGKILL)
threading.Thread(target=watch, daemon=True).start()
sys.exit(child.wait())
)";

/// gpsfake may die before gpsd does; gpsd then becomes a child of this process, which can reap
/// it, instead of a child of init.
void becomeSubreaper() {
  static std::once_flag once;
  std::call_once(once, [] { ::prctl(PR_SET_CHILD_SUBREAPER, 1); });
}

/// A descriptor that becomes readable when process `pid` ends. (Debian 12's <sys/pidfd.h>
/// declares pidfd_open without C linkage, so the system call is made directly.)
int openPidfd(pid_t pid) {
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

std::string formatCycle(double seconds) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, seconds);
  return std::string(text, result.ptr);
}

int millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

/// Waits until the file at `path` (in the folder that `inotifyFd` watches) contains `mark`, the
/// process behind `pidfd` has ended, or `deadline` has passed.
bool waitForMark(const std::string& path, const char* mark, int inotifyFd, int pidfd,
                 std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    if (readFile(path).find(mark) != std::string::npos) return true;
    pollfd waits[2] = {{inotifyFd, POLLIN, 0}, {pidfd, POLLIN, 0}};
    const int ready = ::poll(waits, 2, millisecondsUntil(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || waits[1].revents != 0) {
      return readFile(path).find(mark) != std::string::npos;
    }
    char events[4096];
    while (::read(inotifyFd, events, sizeof events) > 0) {
    }
  }
}

/// The processes that `pid` started, from /proc.
std::vector<pid_t> childrenOf(pid_t pid) {
  std::vector<pid_t> children;
  std::ifstream file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  for (pid_t child = 0; file >> child;) children.push_back(child);
  return children;
}

/// Sends gpsd, on gpsfake's control socket, the "+path" command that adds gpsfake's pty, as
/// gpsfake itself does; `watchdog` is the leader of the group, whose child is gpsfake. Says in
/// `note` what it did.
bool completeHandOver(pid_t watchdog, const std::string& folder, std::string& note) {
  const auto children = childrenOf(watchdog);
  if (children.empty()) {
    note += "gpsfake's hand-over was lost, and gpsfake is gone\n";
    return false;
  }
  const pid_t gpsfake = children.front();
  std::string device;
  std::error_code error;
  const std::string fds = "/proc/" + std::to_string(gpsfake) + "/fd";
  for (const auto& entry : std::filesystem::directory_iterator(fds, error)) {
    std::error_code ignored;
    const auto target = std::filesystem::read_symlink(entry.path(), ignored).string();
    struct stat status {};
    if (target.starts_with("/dev/pts/") && ::stat(target.c_str(), &status) == 0 &&
        (status.st_mode & 0777) == 0666) {
      device = target;
      break;
    }
  }
  const std::string control = folder + "/gpsfake-" + std::to_string(gpsfake) + ".sock";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (device.empty() || control.size() >= sizeof address.sun_path) {
    note += "gpsfake's hand-over was lost, and its pty was not found\n";
    return false;
  }
  std::memcpy(address.sun_path, control.c_str(), control.size() + 1);
  const Fd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const std::string command = "+" + device + "\r\n";
  if (socket.fd < 0 ||
      ::connect(socket.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::send(socket.fd, command.c_str(), command.size() + 1, MSG_NOSIGNAL) !=
          static_cast<ssize_t>(command.size() + 1)) {
    note += "gpsfake's hand-over was lost, and sending it again failed: " +
            std::string(std::strerror(errno)) + "\n";
    return false;
  }
  // gpsd answers "OK" or "ERROR"; the log line that a start waits for says more.
  pollfd wait{socket.fd, POLLIN, 0};
  char answer[16];
  if (::poll(&wait, 1, 2000) > 0) {
    [[maybe_unused]] const auto got = ::recv(socket.fd, answer, sizeof answer, 0);
  }
  note += "gpsfake's hand-over of " + device + " was lost; the test sent it to gpsd itself\n";
  return true;
}

}  // namespace

bool GpsfakeRun::toolsPresent(std::string& why) {
  return rig::installed({kPython, kGpsfake, kGpsd}, "gpsd, gpsd-clients, python3-gps", why);
}

std::unique_ptr<GpsfakeRun> GpsfakeRun::start(const Options& options, std::string& why) {
  if (!toolsPresent(why)) return nullptr;
  becomeSubreaper();
  const std::string log = rig::logPath(options.log);
  if (!std::filesystem::exists(log)) {
    why = "no log " + log;
    return nullptr;
  }

  const std::optional<std::string> made = rig::makeRunFolder("pemdor-gpsfake", why);
  if (!made) return nullptr;
  const std::string& folder = *made;
  const int port = GpsFake::freePort();
  std::unique_ptr<GpsfakeRun> fake(new GpsfakeRun(folder, port));
  if (port <= 0) {
    why = "no free port";
    return nullptr;
  }
  const Fd inotify(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  if (inotify.fd < 0 ||
      ::inotify_add_watch(inotify.fd, folder.c_str(), IN_CREATE | IN_MODIFY) < 0) {
    why = std::string("inotify: ") + std::strerror(errno);
    return nullptr;
  }
  int lifeline[2];
  if (::pipe2(lifeline, O_CLOEXEC) != 0) {
    why = std::string("pipe: ") + std::strerror(errno);
    return nullptr;
  }
  const Fd lifelineEnd(lifeline[0]);
  fake->lifeline_ = lifeline[1];

  std::vector<std::string> arguments = {kPython,
                                        "-c",
                                        kWatchdog,
                                        kGpsfake,
                                        "-q",
                                        "-D",
                                        "2",
                                        "-c",
                                        formatCycle(options.cycleSeconds),
                                        "-P",
                                        std::to_string(port)};
  if (options.once) arguments.emplace_back("-1");
  arguments.push_back(log);
  // gpsfake leaves its control sockets in TMPDIR: that is the run's own folder.
  const std::string outputPath = folder + "/output.txt";
  const pid_t pid =
      rig::spawnLogged(std::move(arguments), test::childEnvironment({{"TMPDIR", folder}}),
                       lifelineEnd.fd, outputPath, why);
  if (pid < 0) return nullptr;
  fake->group_ = pid;

  const Fd pidfd(openPidfd(pid));
  const auto now = std::chrono::steady_clock::now();
  bool handedOver =
      waitForMark(outputPath, kHandOverMark, inotify.fd, pidfd.fd, now + kHandOverWait);
  if (!handedOver) {
    std::string note;
    fake->repaired_ = completeHandOver(pid, folder, note);
    fake->notes_ += note;
    handedOver = fake->repaired_ &&
                 waitForMark(outputPath, kHandOverMark, inotify.fd, pidfd.fd, now + kHandOverLimit);
  }
  if (handedOver) {
    // gpsd took the device in its main loop, so its port listens already.
    for (int tries = 0; tries < 3; ++tries) {
      if (gpsdAnswers(fake->endpoint(), 1.0)) return fake;
    }
  }
  why = "gpsfake did not come up on port " + std::to_string(port) + ":\n" + fake->output();
  return nullptr;
}

GpsfakeRun::~GpsfakeRun() {
  kill();
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

void GpsfakeRun::kill() {
  if (group_ > 0) {
    ::kill(-group_, SIGKILL);
    // Reaps the watchdog, gpsfake and, through the subreaper, the gpsd it started.
    int status = 0;
    while (::waitpid(-group_, &status, 0) > 0 || errno == EINTR) {
    }
    group_ = -1;
  }
  if (lifeline_ >= 0) {
    ::close(lifeline_);
    lifeline_ = -1;
  }
}

std::string GpsfakeRun::output() const {
  return readFile(folder_ + "/output.txt") + notes_;
}

}  // namespace pemdor::gpsd_testing
