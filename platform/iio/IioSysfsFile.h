// SPDX-License-Identifier: MIT
#pragma once

// A sysfs attribute file kept open between reads (internal to the IIO provider).
//
// libiio opens, reads and closes an attribute's file on every read. A value read on every tick
// is read here instead through a descriptor opened once, from offset 0 with pread(): sysfs makes
// a fresh value for each read from the start of the file, so the result is the same with a third
// of the system calls.
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

  // Opens the file at `path` for reading; an empty object (see isOpen()) when it cannot.
  static SysfsFile open(std::string path);

  bool isOpen() const { return fd_ >= 0; }

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
