// SPDX-License-Identifier: MIT
#include "IioSysfsFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "pemdor/internal/TickPath.h"

namespace pemdor::iio {
namespace {

int openForReading(const std::string& path) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

SysfsFile::SysfsFile(SysfsFile&& other) noexcept
    : path_(std::move(other.path_)), fd_(std::exchange(other.fd_, -1)) {}

SysfsFile& SysfsFile::operator=(SysfsFile&& other) noexcept {
  if (this != &other) {
    close();
    path_ = std::move(other.path_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

SysfsFile::~SysfsFile() {
  close();
}

SysfsFile SysfsFile::open(std::string path) {
  SysfsFile file;
  file.fd_ = openForReading(path);
  file.path_ = std::move(path);
  return file;
}

void SysfsFile::close() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

PEMDOR_TICK_PATH ssize_t SysfsFile::read(char* buffer, std::size_t size) {
  // A kernel's sysfs file keeps its link for as long as it exists, so on a device this costs one
  // fstat() beside the read.
  struct stat status {};
  if (fd_ >= 0 && (::fstat(fd_, &status) != 0 || status.st_nlink == 0)) close();
  if (fd_ < 0) {
    fd_ = openForReading(path_);
    if (fd_ < 0) return -errno;
  }
  ssize_t n = -1;
  do {
    n = ::pread(fd_, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -errno : n;
}

}  // namespace pemdor::iio
