// SPDX-License-Identifier: MIT
#include "ChildRun.h"

#include "ChildEnvironment.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace pemdor::test {
namespace {

// A pipe, or with `terminal` a pseudo-terminal whose child side is the writing end.
class Pipe {
 public:
  explicit Pipe(bool terminal = false) {
    if (!terminal) {
      if (::pipe2(fds_, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
      return;
    }
    if (::openpty(&fds_[0], &fds_[1], nullptr, nullptr, nullptr) != 0) {
      throw std::runtime_error("openpty failed");
    }
    ::fcntl(fds_[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds_[1], F_SETFD, FD_CLOEXEC);
  }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  int read() const { return fds_[0]; }
  int write() const { return fds_[1]; }
  void closeRead() { closeEnd(0); }
  void closeWrite() { closeEnd(1); }

 private:
  void closeEnd(int end) {
    if (fds_[end] >= 0) ::close(fds_[end]);
    fds_[end] = -1;
  }
  int fds_[2] = {-1, -1};
};

// Reads what is there; false once the writing end is closed (a pseudo-terminal reports EIO
// then).
bool drain(int fd, std::string& into) {
  char buffer[65536];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n < 0) return errno == EINTR || errno == EAGAIN;
  if (n == 0) return false;
  const std::size_t room =
      ChildRun::kMaxCapturedBytes - std::min(into.size(), ChildRun::kMaxCapturedBytes);
  into.append(buffer, std::min(room, static_cast<std::size_t>(n)));
  return true;
}

}  // namespace

ChildRun runChild(const std::string& program, const std::vector<std::string>& args,
                  double limitSeconds, const ChildRunOptions& options) {
  Pipe out;
  Pipe err(options.stderrIsTerminal);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.write(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.write(), STDERR_FILENO);

  std::vector<std::string> argStrings{program};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<std::string> envStrings = childEnvironment(options.environment);
  auto argv = pointers(argStrings);
  auto envp = pointers(envStrings);

  pid_t pid = 0;
  const int spawned =
      posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    throw std::runtime_error("cannot start " + program + ": " + std::strerror(spawned));
  }
  out.closeWrite();
  err.closeWrite();

  // The child's end is watched through a pidfd, so that one poll waits for output, for the
  // end and for the limit together. It is opened through syscall() because Debian 12's
  // <sys/pidfd.h> declares pidfd_open without C linkage.
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) {
    const int error = errno;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    throw std::runtime_error(std::string("pidfd_open failed: ") + std::strerror(error));
  }

  ChildRun run;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(limitSeconds));
  bool outOpen = true;
  bool errOpen = true;
  bool ended = false;
  bool overran = false;
  while (outOpen || errOpen || !ended) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      overran = true;
      break;
    }
    pollfd fds[3] = {{outOpen ? out.read() : -1, POLLIN, 0},
                     {errOpen ? err.read() : -1, POLLIN, 0},
                     {ended ? -1 : pidfd, POLLIN, 0}};
    const int ready = ::poll(fds, 3, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) {
      // Nothing more can be watched: the child is ended as if it had run too long.
      overran = true;
      break;
    }
    if (ready <= 0) continue;
    if (fds[0].revents != 0) outOpen = drain(out.read(), run.out);
    if (fds[1].revents != 0) errOpen = drain(err.read(), run.err);
    if (fds[2].revents != 0) ended = true;
  }
  // A child past the limit is killed; so is one that ended while a process of its own still
  // holds its output open.
  if (overran) ::kill(pid, SIGKILL);
  ::close(pidfd);

  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  run.maxRssKiB = usage.ru_maxrss;
  if (overran) {
    run.end = ChildRun::End::overran;
  } else if (WIFSIGNALED(status)) {
    run.end = ChildRun::End::signalled;
    run.code = WTERMSIG(status);
  } else {
    run.end = ChildRun::End::exited;
    run.code = WEXITSTATUS(status);
  }
  return run;
}

std::string describe(const ChildRun& run) {
  switch (run.end) {
    case ChildRun::End::exited:
      return "exited with " + std::to_string(run.code);
    case ChildRun::End::signalled:
      return "killed by signal " + std::to_string(run.code) + " (" + strsignal(run.code) + ")";
    case ChildRun::End::overran:
      return "still running after the limit";
  }
  return "?";
}

}  // namespace pemdor::test
