// SPDX-License-Identifier: MIT
#include "GeoclueFake.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace pemdor::geoclue_testing {
namespace {

// Debian's D-Bus and GLib modules are seen only by Debian's own python3.
constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kDaemon = "/usr/bin/dbus-daemon";
constexpr const char* kModules[] = {"/usr/lib/python3/dist-packages/dbus/__init__.py",
                                    "/usr/lib/python3/dist-packages/gi/__init__.py"};
constexpr auto kReadyLimit = std::chrono::seconds(10);
constexpr auto kEndLimit = std::chrono::seconds(5);

int millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

/// A descriptor that becomes readable when process `pid` ends.
int openPidfd(pid_t pid) {
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

}  // namespace

bool GeoclueFake::toolsPresent(std::string& why) {
  for (const char* tool : {kPython, kDaemon}) {
    if (::access(tool, X_OK) != 0) {
      why = std::string(tool) + " is not installed (packages dbus-daemon, python3-dbusmock)";
      return false;
    }
  }
  for (const char* module : kModules) {
    if (::access(module, R_OK) != 0) {
      why = std::string(module) + " is not installed (packages python3-dbus, python3-gi, which python3-dbusmock brings)";
      return false;
    }
  }
  return true;
}

std::unique_ptr<GeoclueFake> GeoclueFake::start(const std::vector<std::string>& options,
                                                std::string& why) {
  if (!toolsPresent(why)) return nullptr;
  std::unique_ptr<GeoclueFake> fake(new GeoclueFake());
  int input[2];
  int output[2];
  if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) {
    why = std::string("pipe: ") + std::strerror(errno);
    return nullptr;
  }
  fake->input_ = input[1];
  fake->output_ = output[0];
  ::fcntl(fake->output_, F_SETFL, O_NONBLOCK);
  char errorPath[] = "/tmp/pemdor-geoclue-fake-XXXXXX";
  const int errorFd = ::mkstemp(errorPath);
  if (errorFd >= 0) ::close(errorFd);
  fake->errorPath_ = errorPath;

  std::vector<std::string> arguments = {
      kPython, std::string(PEMDOR_SOURCE_DIR) + "/tests/geoclue/fake_geoclue.py"};
  arguments.insert(arguments.end(), options.begin(), options.end());
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  posix_spawn_file_actions_adddup2(&actions, output[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, errorPath, O_WRONLY | O_TRUNC, 0600);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, kPython, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(input[0]);
  ::close(output[1]);
  if (spawned != 0) {
    why = std::string("posix_spawn: ") + std::strerror(spawned);
    return nullptr;
  }
  fake->pid_ = pid;

  const auto address = fake->waitFor("address ", kReadyLimit);
  if (!address || !fake->waitFor("ready", kReadyLimit)) {
    why = "the fake GeoClue2 did not come up:\n" + fake->output();
    return nullptr;
  }
  fake->address_ = *address;
  return fake;
}

GeoclueFake::~GeoclueFake() {
  if (input_ >= 0) ::close(input_);
  if (pid_ > 0) {
    const int pidfd = openPidfd(pid_);
    pollfd wait{pidfd, POLLIN, 0};
    if (pidfd < 0 ||
        ::poll(&wait, 1, static_cast<int>(kEndLimit / std::chrono::milliseconds(1))) <= 0) {
      ::kill(pid_, SIGKILL);
    }
    if (pidfd >= 0) ::close(pidfd);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (output_ >= 0) ::close(output_);
  if (!errorPath_.empty()) ::unlink(errorPath_.c_str());
}

void GeoclueFake::send(const std::string& command) {
  const std::string line = command + "\n";
  [[maybe_unused]] const auto written = ::write(input_, line.data(), line.size());
}

bool GeoclueFake::readMore(std::chrono::milliseconds limit) {
  pollfd wait{output_, POLLIN, 0};
  const int ready = ::poll(&wait, 1, static_cast<int>(limit.count()));
  if (ready <= 0) return false;
  char buffer[4096];
  bool got = false;
  for (;;) {
    const auto n = ::read(output_, buffer, sizeof buffer);
    if (n == 0) ended_ = true;
    if (n <= 0) break;
    got = true;
    partial_.append(buffer, static_cast<std::size_t>(n));
  }
  for (auto end = partial_.find('\n'); end != std::string::npos; end = partial_.find('\n')) {
    lines_.push_back(partial_.substr(0, end));
    partial_.erase(0, end + 1);
  }
  return got;
}

std::optional<std::string> GeoclueFake::waitFor(const std::string& prefix,
                                                std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    for (std::size_t i = next_; i < lines_.size(); ++i) {
      if (lines_[i].rfind(prefix, 0) == 0) {
        next_ = i + 1;
        return lines_[i].substr(prefix.size());
      }
    }
    const int left = millisecondsUntil(deadline);
    if (left <= 0 || ended_) return std::nullopt;
    readMore(std::chrono::milliseconds(left));
  }
}

std::vector<std::string> GeoclueFake::lines() {
  readMore(std::chrono::milliseconds(0));
  return lines_;
}

std::string GeoclueFake::output() {
  readMore(std::chrono::milliseconds(0));
  std::ostringstream text;
  for (const auto& line : lines_) text << line << '\n';
  text << partial_;
  std::ifstream errors(errorPath_);
  text << errors.rdbuf();
  return text.str();
}

}  // namespace pemdor::geoclue_testing
