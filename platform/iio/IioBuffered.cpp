// SPDX-License-Identifier: MIT
#include "IioBuffered.h"

#include <iio.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace pemdor::iio {
namespace {

// How long the first read waits for the device's first sample set, in milliseconds. A device on
// a trigger gives one within a sampling period; a longer wait only holds up the one stream.
constexpr int kFirstSampleWaitMs = 1000;

// The buffer holds this many sample sets; a refill returns as many as have come, up to that.
constexpr std::size_t kSampleSetsPerRefill = 64;

// A drain stops after this many refills, so that a device that produces faster than we read
// cannot keep a read from ending.
constexpr int kMostRefillsPerRead = 64;

// The host-endian integer of Unsigned's width at `at`, read as signed or unsigned.
template <typename Unsigned>
double storedInteger(const unsigned char* at, bool isSigned) {
  Unsigned v;
  std::memcpy(&v, at, sizeof v);
  return isSigned ? static_cast<double>(static_cast<std::make_signed_t<Unsigned>>(v))
                  : static_cast<double>(v);
}

// The value of one channel in the last sample set of the buffer. libiio turns the stored bits
// into host-endian numbers of the channel's storage length, shifted and sign-extended.
std::optional<double> lastChannelValue(const iio_channel* channel, iio_buffer* buffer) {
  const iio_data_format* format = iio_channel_get_data_format(channel);
  const std::size_t width = format->length / 8;
  if (width == 0 || width > 8) return std::nullopt;
  std::array<unsigned char, kSampleSetsPerRefill * 8 * 4> bytes{};
  const std::size_t copied = iio_channel_read(channel, buffer, bytes.data(), bytes.size());
  const std::size_t step = width * std::max<unsigned>(format->repeat, 1);
  if (copied < step) return std::nullopt;
  const unsigned char* last = bytes.data() + (copied / step - 1) * step;
  switch (width) {
    case 1:
      return storedInteger<std::uint8_t>(last, format->is_signed);
    case 2:
      return storedInteger<std::uint16_t>(last, format->is_signed);
    case 4:
      return storedInteger<std::uint32_t>(last, format->is_signed);
    case 8:
      return storedInteger<std::uint64_t>(last, format->is_signed);
    default:
      return std::nullopt;
  }
}

}  // namespace

std::unique_ptr<BufferedTriple> BufferedTriple::open(iio_device* device,
                                                     const std::array<iio_channel*, 3>& channels,
                                                     int& error) {
  const unsigned count = iio_device_get_channels_count(device);
  for (unsigned i = 0; i < count; ++i) iio_channel_disable(iio_device_get_channel(device, i));
  for (iio_channel* channel : channels) iio_channel_enable(channel);
  iio_buffer* buffer = iio_device_create_buffer(device, kSampleSetsPerRefill, false);
  if (!buffer) {
    error = errno != 0 ? errno : EIO;
    for (iio_channel* channel : channels) iio_channel_disable(channel);
    return nullptr;
  }
  if (const int result = iio_buffer_set_blocking_mode(buffer, false); result < 0) {
    error = -result;
    iio_buffer_destroy(buffer);
    for (iio_channel* channel : channels) iio_channel_disable(channel);
    return nullptr;
  }
  return std::unique_ptr<BufferedTriple>(new BufferedTriple(buffer, channels));
}

BufferedTriple::~BufferedTriple() {
  iio_buffer_destroy(buffer_);
  for (iio_channel* channel : channels_) iio_channel_disable(channel);
}

std::optional<std::array<double, 3>> BufferedTriple::latest(int& error) {
  bool waited = false;
  for (int refills = 0; refills < kMostRefillsPerRead; ++refills) {
    const ssize_t result = iio_buffer_refill(buffer_);
    if (result == -EAGAIN) {
      if (latest_ || waited) break;
      // Nothing has come yet: wait once, a bounded time, for the first sample set.
      const int fd = iio_buffer_get_poll_fd(buffer_);
      if (fd < 0) break;
      pollfd wanted{fd, POLLIN, 0};
      waited = true;
      if (::poll(&wanted, 1, kFirstSampleWaitMs) <= 0) break;
      continue;
    }
    if (result < 0) {
      error = static_cast<int>(-result);
      return std::nullopt;
    }
    if (result == 0) break;
    std::array<double, 3> values{};
    for (std::size_t axis = 0; axis < 3; ++axis) {
      const auto value = lastChannelValue(channels_[axis], buffer_);
      if (!value) {
        error = EPROTO;
        return std::nullopt;
      }
      values[axis] = *value;
    }
    latest_ = values;
    // A short refill means the device has given all it had.
    const auto full = static_cast<ssize_t>(kSampleSetsPerRefill) * iio_buffer_step(buffer_);
    if (result < full) break;
  }
  if (!latest_) error = EAGAIN;
  return latest_;
}

std::shared_ptr<SharedBuffer> BufferShare::acquire(
    const std::string& deviceId, IioKind kind,
    const std::function<std::shared_ptr<SharedBuffer>(int& error)>& open, int& error) {
  // Opening under the lock keeps a second stream from opening the same buffer meanwhile, which
  // the kernel would refuse.
  std::lock_guard lock(mutex_);
  std::weak_ptr<SharedBuffer>& slot = buffers_[{deviceId, kind}];
  if (auto buffer = slot.lock()) return buffer;
  auto buffer = open(error);
  slot = buffer;
  return buffer;
}

}  // namespace pemdor::iio
