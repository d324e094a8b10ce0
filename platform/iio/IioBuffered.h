#pragma once

// Reading a triple of scan elements through an IIO device's buffer (internal to the IIO
// provider), for devices, sensor hubs among them, that have no _raw or _input value in sysfs.
//
// The buffer runs on the trigger the device already has; nothing here changes it. It is made
// non-blocking and one sample set long, so a read takes every sample set that has come since the
// last one and keeps the latest: a stream sampled every interval sees the newest values, not a
// backlog. Only the first read waits, a bounded time, for the device's first sample set.
//
// Threads: a BufferedTriple belongs to the thread of its context.

#include <array>
#include <memory>
#include <optional>

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

}  // namespace pemdor::iio
