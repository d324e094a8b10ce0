// SPDX-License-Identifier: MIT
#pragma once

// Reading a triple of scan elements through an IIO device's buffer (internal to the IIO
// provider), for devices, sensor hubs among them, that have no _raw or _input value in sysfs.
//
// The buffer runs on the trigger the device already has; nothing here changes it. It is made
// non-blocking, so a read takes every sample set that has come since the last one and keeps the
// latest: a stream sampled every interval sees the newest values, not a backlog. Only the first
// read waits, a bounded time, for the device's first sample set.
//
// The kernel lets one reader at a time open a device's buffer, and two streams of a manager may
// want the same one (the accelerometer and the gravity derived from it), so a manager's streams
// share each buffer through a BufferShare.
//
// Threads: a BufferedTriple is used by one thread at a time; a SharedBuffer's lock sees to that.

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "IioVectorSource.h"

struct iio_buffer;
struct iio_channel;
struct iio_device;

namespace pemdor::iio {

class BufferedTriple {
 public:
  /// Enables the three channels on `device` and makes its buffer; nullptr with `error` set (an
  /// errno value) when libiio refuses.
  static std::unique_ptr<BufferedTriple> open(iio_device* device,
                                              const std::array<iio_channel*, 3>& channels,
                                              int& error);
  ~BufferedTriple();
  BufferedTriple(const BufferedTriple&) = delete;
  BufferedTriple& operator=(const BufferedTriple&) = delete;

  /// The raw values of the latest sample set, in channel order; nullopt with `error` set when the
  /// buffer fails, or when no sample set has come within the first wait (EAGAIN).
  std::optional<std::array<double, 3>> latest(int& error);

 private:
  BufferedTriple(iio_buffer* buffer, const std::array<iio_channel*, 3>& channels)
      : buffer_(buffer), channels_(channels) {}

  iio_buffer* buffer_;
  std::array<iio_channel*, 3> channels_;
  std::optional<std::array<double, 3>> latest_;
};

/// One device's buffer with the context it was made in, for the streams that share it.
struct SharedBuffer {
  std::mutex mutex;
  // Declared in this order so that the buffer goes before its context.
  ContextPtr context;
  std::unique_ptr<BufferedTriple> triple;
};

/// The buffers a manager's streams have open, by device and kind. Thread-safe.
class BufferShare {
 public:
  /// The open buffer of `kind` on `deviceId`, or a new one from `open`, which returns nullptr
  /// (with `error` set) when it cannot be made.
  std::shared_ptr<SharedBuffer> acquire(
      const std::string& deviceId, IioKind kind,
      const std::function<std::shared_ptr<SharedBuffer>(int& error)>& open, int& error);

 private:
  std::mutex mutex_;
  std::map<std::pair<std::string, IioKind>, std::weak_ptr<SharedBuffer>> buffers_;
};

}  // namespace pemdor::iio
