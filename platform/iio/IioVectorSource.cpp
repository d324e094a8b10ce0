// SPDX-License-Identifier: MIT
#include "IioVectorSource.h"

#include <iio.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <mutex>
#include <system_error>
#include <vector>

#include "IioBuffered.h"
#include "IioDevices.h"
#include "pemdor/internal/TickPath.h"

namespace pemdor::iio {
namespace {

// The standard gravity in m/s², by which IIO accelerations become g.
constexpr double kStandardGravity = 9.80665;

// IIO accelerometers report the reaction to gravity: a device lying flat, screen up, reads
// +9.81 m/s² on z. The platform reports the gravity direction, (0, 0, -1) g for the same device,
// so accelerations (and gravity channels, which follow the accelerometer's convention) are
// divided by -9.80665. Rotation rates are rad/s on both sides; magnetic fields are gauss in IIO
// and microtesla on the platform (1 G = 100 µT).
constexpr std::array<IioKindInfo, 4> kKinds = {{
    {IioKind::accel, "accel", -1.0 / kStandardGravity},
    {IioKind::anglvel, "anglvel", 1.0},
    {IioKind::magn, "magn", 100.0},
    {IioKind::gravity, "gravity", -1.0 / kStandardGravity},
}};

constexpr std::array<const char*, 3> kAxisNames = {"x", "y", "z"};

PEMDOR_TICK_PATH std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\n' ||
                           text.back() == '\r' || text.back() == '\0')) {
    text.remove_suffix(1);
  }
  return text;
}

std::string errorText(int error) {
  return std::generic_category().message(error);
}

// Reads a numeric channel attribute: the value, or the negative errno (-EINVAL for text that is
// not a number).
int readChannelNumber(const iio_channel* channel, const char* attribute, double& value) {
  char buffer[256];
  const ssize_t n = iio_channel_attr_read(channel, attribute, buffer, sizeof buffer);
  if (n < 0) return static_cast<int>(n);
  const std::size_t length =
      static_cast<std::size_t>(n) < sizeof buffer ? static_cast<std::size_t>(n) : sizeof buffer - 1;
  const auto number = parseIioNumber(std::string_view(buffer, length));
  if (!number) return -EINVAL;
  value = *number;
  return 0;
}

// Reads a numeric value through a file kept open, as readChannelNumber() does through libiio.
PEMDOR_TICK_PATH int readFileNumber(SysfsFile& file, double& value) {
  char buffer[256];
  const ssize_t n = file.read(buffer, sizeof buffer - 1);
  if (n < 0) return static_cast<int>(n);
  const auto number = parseIioNumber(std::string_view(buffer, static_cast<std::size_t>(n)));
  if (!number) return -EINVAL;
  value = *number;
  return 0;
}

// A number attribute that may be missing, with its default when it is.
double optionalNumber(const iio_channel* channel, const char* attribute, double fallback) {
  if (!iio_channel_find_attr(channel, attribute)) return fallback;
  double value = fallback;
  return readChannelNumber(channel, attribute, value) == 0 ? value : fallback;
}

}  // namespace

const IioKindInfo& iioKindInfo(IioKind kind) {
  return kKinds[static_cast<std::size_t>(kind)];
}

PEMDOR_TICK_PATH std::optional<double> parseIioNumber(std::string_view text) {
  text = trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  double value = 0.0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::optional<std::string> readChannelAttribute(const iio_channel* channel, const char* attribute) {
  char buffer[256];
  const ssize_t n = iio_channel_attr_read(channel, attribute, buffer, sizeof buffer);
  if (n < 0) return std::nullopt;
  return std::string(
      trim(std::string_view(buffer, std::min(static_cast<std::size_t>(n), sizeof buffer - 1))));
}

std::optional<std::string> readDeviceAttribute(const iio_device* device, const char* attribute) {
  char buffer[256];
  const ssize_t n = iio_device_attr_read(device, attribute, buffer, sizeof buffer);
  if (n < 0) return std::nullopt;
  return std::string(
      trim(std::string_view(buffer, std::min(static_cast<std::size_t>(n), sizeof buffer - 1))));
}

std::optional<MountMatrix> parseMountMatrix(std::string_view text, std::string* problem) {
  const auto refuse = [problem](std::string why) -> std::optional<MountMatrix> {
    if (problem) *problem = std::move(why);
    return std::nullopt;
  };
  text = trim(text);
  MountMatrix matrix{};
  for (std::size_t row = 0; row < 3; ++row) {
    const std::size_t rowEnd = text.find(';');
    if ((rowEnd == std::string_view::npos) != (row == 2)) {
      return refuse("not three rows separated by ';'");
    }
    std::string_view rowText = text.substr(0, rowEnd);
    for (std::size_t column = 0; column < 3; ++column) {
      const std::size_t cellEnd = rowText.find(',');
      if ((cellEnd == std::string_view::npos) != (column == 2)) {
        return refuse("row " + std::to_string(row + 1) + " has not three numbers");
      }
      const std::string_view cell = rowText.substr(0, cellEnd);
      const auto value = parseIioNumber(cell);
      if (!value || !std::isfinite(*value)) {
        return refuse('"' + std::string(trim(cell)) + "\" is not a number");
      }
      matrix[3 * row + column] = *value;
      if (cellEnd != std::string_view::npos) rowText.remove_prefix(cellEnd + 1);
    }
    if (rowEnd != std::string_view::npos) text.remove_prefix(rowEnd + 1);
  }
  if (std::all_of(matrix.begin(), matrix.end(), [](double v) { return v == 0.0; })) {
    return refuse("all zeros");
  }
  return matrix;
}

std::string formatMountMatrix(const MountMatrix& matrix) {
  std::string text;
  for (std::size_t i = 0; i < matrix.size(); ++i) {
    if (i > 0) text += i % 3 == 0 ? "; " : ", ";
    char digits[32];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, matrix[i] + 0.0);
    text.append(digits, ec == std::errc{} ? end : digits);
  }
  return text;
}

PEMDOR_TICK_PATH CMVector applyMountMatrix(const MountMatrix& m, const CMVector& v) {
  return {m[0] * v.x + m[1] * v.y + m[2] * v.z, m[3] * v.x + m[4] * v.y + m[5] * v.z,
          m[6] * v.x + m[7] * v.y + m[8] * v.z};
}

void ContextDeleter::operator()(iio_context* context) const {
  iio_context_destroy(context);
}

ContextPtr makeLocalContext() {
  return ContextPtr(iio_create_local_context());
}

bool contextHasKind(iio_context* context, IioKind kind) {
  const std::vector<DeviceInfo> devices = scanDevices(context, ScanDepth::channels);
  return chooseDevice(devices, kind).has_value();
}

IioVectorSource::IioVectorSource(IioVectorSource&&) noexcept = default;
IioVectorSource& IioVectorSource::operator=(IioVectorSource&&) noexcept = default;
IioVectorSource::~IioVectorSource() = default;

std::optional<IioVectorSource> IioVectorSource::bind(IioKind kind, std::string* why,
                                                     BufferShare* share) {
  ContextPtr context = makeLocalContext();
  if (!context) {
    if (why) *why = "no IIO devices (" + errorText(errno) + ")";
    return std::nullopt;
  }
  const std::vector<DeviceInfo> devices = scanDevices(context.get(), ScanDepth::detailed);
  const auto chosen = chooseDevice(devices, kind);
  const char* prefix = iioKindInfo(kind).prefix;
  if (!chosen) {
    if (why) {
      *why = std::string("no IIO device has ") + prefix + "_x, " + prefix + "_y and " + prefix +
             "_z channels";
    }
    return std::nullopt;
  }
  const DeviceInfo& info = devices[*chosen];
  const KindChannels& channels = *info.find(kind);
  iio_device* device = deviceOf(context.get(), info);

  IioVectorSource source;
  source.kind_ = kind;
  source.deviceId_ = info.id;
  source.matrix_ = channels.matrix;
  for (std::size_t axis = 0; axis < 3; ++axis) {
    const std::string id = std::string(prefix) + "_" + kAxisNames[axis];
    Axis& a = source.axes_[axis];
    a.channel = iio_device_find_channel(device, id.c_str(), false);
    // A buffered value is raw, as a sysfs _raw one is.
    if (*channels.mode == ReadMode::buffer || iio_channel_find_attr(a.channel, "raw")) {
      a.scale = optionalNumber(a.channel, "scale", 1.0);
      a.offset = optionalNumber(a.channel, "offset", 0.0);
    } else {
      // A processed value is already offset and scaled by the driver.
      a.valueAttribute = "input";
    }
    if (*channels.mode == ReadMode::sysfs) {
      // The local backend reads a device's attributes from its directory under
      // /sys/bus/iio/devices, named by the device's id.
      if (const char* file = iio_channel_attr_get_filename(a.channel, a.valueAttribute)) {
        a.file = SysfsFile::open("/sys/bus/iio/devices/" + info.id + "/" + file);
      }
    }
  }
  source.readKey_ = info.id + " " + prefix;
  for (const Axis& a : source.axes_) source.readKey_ += std::string(" ") + a.valueAttribute;
  if (*channels.mode == ReadMode::buffer) {
    // The buffer lives in a context of its own, which the streams that share it keep.
    const auto open = [&info, prefix](int& error) -> std::shared_ptr<SharedBuffer> {
      auto shared = std::make_shared<SharedBuffer>();
      shared->context = makeLocalContext();
      if (!shared->context) {
        error = errno != 0 ? errno : ENODEV;
        return nullptr;
      }
      iio_device* bufferDevice = deviceOf(shared->context.get(), info);
      std::array<iio_channel*, 3> bufferChannels{};
      for (std::size_t axis = 0; axis < 3; ++axis) {
        const std::string id = std::string(prefix) + "_" + kAxisNames[axis];
        bufferChannels[axis] =
            bufferDevice ? iio_device_find_channel(bufferDevice, id.c_str(), false) : nullptr;
        if (!bufferChannels[axis]) {
          error = ENODEV;
          return nullptr;
        }
      }
      shared->triple = BufferedTriple::open(bufferDevice, bufferChannels, error);
      return shared->triple ? shared : nullptr;
    };
    int error = 0;
    source.buffered_ = share ? share->acquire(info.id, kind, open, error) : open(error);
    if (!source.buffered_) {
      if (why) *why = info.id + " " + prefix + " buffer: " + errorText(error);
      return std::nullopt;
    }
  }
  source.context_ = std::move(context);
  return source;
}

PEMDOR_TICK_PATH IioReading IioVectorSource::read(TickReads* reads) {
  std::array<double, 3> raw{};
  if (buffered_) {
    int error = 0;
    std::optional<std::array<double, 3>> latest;
    {
      std::lock_guard lock(buffered_->mutex);
      latest = buffered_->triple->latest(error);
    }
    if (!latest) {
      return {std::nullopt, error,
              deviceId_ + " " + iioKindInfo(kind_).prefix + " buffer: " + errorText(error)};
    }
    raw = *latest;
  } else if (const std::array<double, 3>* read = reads ? reads->find(readKey_) : nullptr) {
    raw = *read;
  } else {
    for (std::size_t axis = 0; axis < 3; ++axis) {
      Axis& a = axes_[axis];
      if (const int result = a.file.isOpen()
                                 ? readFileNumber(a.file, raw[axis])
                                 : readChannelNumber(a.channel, a.valueAttribute, raw[axis]);
          result < 0) {
        const int error = -result;
        return {std::nullopt, error,
                deviceId_ + " " + iioKindInfo(kind_).prefix + "_" + kAxisNames[axis] + ": " +
                    errorText(error)};
      }
    }
    if (reads) reads->add(readKey_, raw);
  }
  std::array<double, 3> values{};
  for (std::size_t axis = 0; axis < 3; ++axis) {
    values[axis] = (raw[axis] + axes_[axis].offset) * axes_[axis].scale;
  }
  const CMVector device = applyMountMatrix(matrix_, {values[0], values[1], values[2]});
  const double factor = iioKindInfo(kind_).toPlatformUnits;
  // Adding zero turns the -0 of a zero reading times a negative factor into 0, so that a flat
  // device reads "0.00", not "-0.00".
  return {
      CMVector{device.x * factor + 0.0, device.y * factor + 0.0, device.z * factor + 0.0}, 0, {}};
}

PEMDOR_TICK_PATH const std::array<double, 3>* TickReads::find(const std::string& key) const {
  for (const auto& [k, raw] : entries_) {
    if (k == key) return &raw;
  }
  return nullptr;
}

PEMDOR_TICK_PATH void TickReads::add(std::string key, const std::array<double, 3>& raw) {
  entries_.emplace_back(std::move(key), raw);
}

}  // namespace pemdor::iio
