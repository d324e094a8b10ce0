#include "IioBuffered.h"

#include <iio.h>
#include <poll.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace pemdor::iio {
namespace {

// How long the first read waits for the device's first sample set, in milliseconds. A device on
// a trigger gives one within a sampling period; a longer wait only holds up the one stream.
constexpr int kFirstSampleWaitMs = 1000;

// A drain stops after this many sample sets, so that a device that produces faster than we read
// cannot keep a read from ending.
constexpr int kMostSampleSetsPerRead = 4096;

// The value of one channel in the buffer's current sample set. libiio turns the stored bits into
// a host-endian number of the channel's storage length, shifted and sign-extended.
double channelValue(const iio_channel* channel, iio_buffer* buffer) {
  const iio_data_format* format = iio_channel_get_data_format(channel);
  unsigned char bytes[16] = {};
  if (iio_channel_read(channel, buffer, bytes, sizeof bytes) == 0) return 0.0;
  switch (format->length) {
    case 8: {
      std::uint8_t v;
      std::memcpy(&v, bytes, sizeof v);
      return format->is_signed ? static_cast<double>(static_cast<std::int8_t>(v)) : v;
    }
    case 16: {
      std::uint16_t v;
      std::memcpy(&v, bytes, sizeof v);
      return format->is_signed ? static_cast<double>(static_cast<std::int16_t>(v)) : v;
    }
    case 32: {
      std::uint32_t v;
      std::memcpy(&v, bytes, sizeof v);
      return format->is_signed ? static_cast<double>(static_cast<std::int32_t>(v)) : v;
    }
    default: {
      std::uint64_t v;
      std::memcpy(&v, bytes, sizeof v);
      return format->is_signed ? static_cast<double>(static_cast<std::int64_t>(v))
                               : static_cast<double>(v);
    }
  }
}

}  // namespace

std::unique_ptr<BufferedTriple> BufferedTriple::open(iio_device* device,
                                                     const std::array<iio_channel*, 3>& channels,
                                                     int& error) {
  const unsigned count = iio_device_get_channels_count(device);
  for (unsigned i = 0; i < count; ++i) iio_channel_disable(iio_device_get_channel(device, i));
  for (iio_channel* channel : channels) iio_channel_enable(channel);
  iio_buffer* buffer = iio_device_create_buffer(device, 1, false);
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
  for (int sets = 0; sets < kMostSampleSetsPerRead; ++sets) {
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
    latest_ = std::array<double, 3>{channelValue(channels_[0], buffer_),
                                    channelValue(channels_[1], buffer_),
                                    channelValue(channels_[2], buffer_)};
  }
  if (!latest_) error = EAGAIN;
  return latest_;
}

}  // namespace pemdor::iio
