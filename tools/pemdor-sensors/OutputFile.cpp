// SPDX-License-Identifier: MIT
#include "OutputFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace pemdor::host {
namespace {

std::string reason(int error) {
  return std::system_category().message(error);
}

// Writes all of `text` to `fd`; returns 0 or the errno of the failure.
int writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

std::string directoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::unique_ptr<OutputFile> OutputFile::create(const std::string& path, bool replace,
                                               std::string what) {
  if (path.empty() || path.back() == '/') {
    throw OutputError("cannot write " + what + " to '" + path + "': not a file name");
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) {
      throw OutputError("cannot write " + what + " to " + path + ": it is a directory");
    }
    if (!replace) {
      throw OutputError(path + " exists; not replacing it without --force");
    }
  }
  // The temporary file lives in the destination's folder so that the rename stays on one file
  // system, and starts with a dot so that it is out of the way while it is written.
  std::string temporary = directoryOf(path) + "/." + baseOf(path) + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    throw OutputError("cannot write " + what + " to " + path + ": " + reason(error));
  }
  // mkostemp makes the file readable by its owner only; an output is an ordinary file.
  ::fchmod(fd, 0644);
  return std::make_unique<OutputFile>(path, std::move(temporary), fd, replace, std::move(what));
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlink(temporary_.c_str());
}

void OutputFile::fail(const std::string& action, int error) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  ::unlink(temporary_.c_str());
  committed_ = true;  // nothing is left to remove
  throw OutputError("cannot " + action + " " + what_ + " to " + path_ + ": " + reason(error));
}

void OutputFile::write(std::string_view text) {
  if (fd_ < 0) throw OutputError("cannot write " + what_ + " to " + path_ + ": already closed");
  if (const int error = writeAll(fd_, text); error != 0) fail("write", error);
  commit();
}

void OutputFile::commit() {
  if (fd_ < 0) throw OutputError("cannot write " + what_ + " to " + path_ + ": already closed");
  // A full disk can show itself only when the data reaches it: sync and close are checked too.
  if (::fsync(fd_) != 0 && errno != EINVAL) fail("write", errno);
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && errno != EINTR) fail("write", errno);
  if (replace_) {
    if (::rename(temporary_.c_str(), path_.c_str()) != 0) fail("write", errno);
  } else if (::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, path_.c_str(), RENAME_NOREPLACE) !=
             0) {
    int error = errno;
    // Some file systems cannot rename without replacing; a hard link refuses an existing name
    // in the same way.
    if (error == EINVAL || error == ENOSYS) {
      error = ::link(temporary_.c_str(), path_.c_str()) == 0 ? 0 : errno;
      if (error == 0) ::unlink(temporary_.c_str());
    }
    if (error == EEXIST) {
      ::unlink(temporary_.c_str());
      committed_ = true;
      throw OutputError(path_ + " appeared while " + what_ +
                        " was made; not replacing it "
                        "without --force");
    }
    if (error != 0) fail("write", error);
  }
  committed_ = true;
}

void writeStandardOutput(std::string_view text, const std::string& what) {
  std::fflush(stdout);
  if (const int error = writeAll(STDOUT_FILENO, text); error != 0) {
    throw OutputError("cannot write " + what + " to standard output: " + reason(error));
  }
}

}  // namespace pemdor::host
