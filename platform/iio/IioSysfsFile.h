// SPDX-License-Identifier: MIT
#pragma once

// A sysfs attribute file kept open between reads (internal to the IIO provider).
//
// libiio opens, reads and closes an attribute's file on every read: open, fstat, two reads and a
// close. A value read on every tick is read here instead through a descriptor opened once, from
// offset 0 with pread(), beside one fstat(): sysfs makes a fresh value for each read from the
// start of the file, so the result is the same with two system calls instead of five.
//
// Threads: as for IioVectorSource, one thread at a time.

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace pemdor::iio {

class SysfsFile {
 public:
  SysfsFile() = default;
  SysfsFile(SysfsFile&& other) noexcept;
  SysfsFile& operator=(SysfsFile&& other) noexcept;
  SysfsFile(const SysfsFile&) = delete;
  SysfsFile& operator=(const SysfsFile&) = delete;
  ~SysfsFile();

  // Opens the file at `path` for reading; not isOpen() when it cannot, and then each read tries
  // again.
  static SysfsFile open(std::string path);

  bool isOpen() const { return fd_ >= 0; }
  // The path given to open(); empty for an object that was never opened (or was moved from).
  const std::string& path() const { return path_; }

  // Reads the file's whole text (at most `size` bytes) into `buffer`: its length, or the
  // negative errno. A file that is no longer linked where it was opened (a tree that stands in
  // for sysfs, as a test bed does, replaces a file by renaming a new one over it, and a removed
  // device takes its files with it) is opened again by its path first, and an error is what
  // that open gives.
  ssize_t read(char* buffer, std::size_t size);

 private:
  void close() noexcept;

  std::string path_;
  int fd_ = -1;
};

}  // namespace pemdor::iio
