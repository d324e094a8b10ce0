#include "IioVectorSource.h"

#include <iio.h>

#include <cerrno>
#include <charconv>
#include <system_error>

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

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\n' ||
                           text.back() == '\r' || text.back() == '\0')) {
    text.remove_suffix(1);
  }
  return text;
}

// Parses a whole decimal number; libiio's own parsers are not promised to ignore the locale.
std::optional<double> parseNumber(std::string_view text) {
  text = trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  double value = 0.0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::string errorText(int error) {
  return std::generic_category().message(error);
}

// Reads a channel attribute as text. Returns the negative errno on failure.
ssize_t readChannelText(const iio_channel* channel, const char* attribute, std::string& out) {
  char buffer[256];
  const ssize_t n = iio_channel_attr_read(channel, attribute, buffer, sizeof buffer);
  if (n < 0) return n;
  out.assign(buffer, static_cast<std::size_t>(n) < sizeof buffer ? static_cast<std::size_t>(n)
                                                                 : sizeof buffer - 1);
  return n;
}

// Reads a numeric channel attribute: the value, or the negative errno (-EINVAL for text that is
// not a number).
int readChannelNumber(const iio_channel* channel, const char* attribute, double& value) {
  std::string text;
  const ssize_t n = readChannelText(channel, attribute, text);
  if (n < 0) return static_cast<int>(n);
  const auto number = parseNumber(text);
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

const iio_channel* findInput(const iio_device* device, const std::string& id) {
  return iio_device_find_channel(device, id.c_str(), false);
}

// The mount matrix of a triple, from the first place that has one: the kind's own attribute
// (in_accel_mount_matrix, or a per-channel one), which libiio attaches to each channel; the
// device-wide mount_matrix; or in_mount_matrix, which libiio's local backend presents as an input
// channel "mount" with an attribute "matrix". A matrix that does not parse counts as absent.
std::optional<MountMatrix> findMountMatrix(const iio_device* device, const iio_channel* xChannel) {
  std::string text;
  if (iio_channel_find_attr(xChannel, "mount_matrix") &&
      readChannelText(xChannel, "mount_matrix", text) >= 0) {
    if (auto matrix = parseMountMatrix(text)) return matrix;
  }
  if (iio_device_find_attr(device, "mount_matrix")) {
    char buffer[256];
    const ssize_t n = iio_device_attr_read(device, "mount_matrix", buffer, sizeof buffer);
    if (n > 0) {
      const auto length = static_cast<std::size_t>(n) < sizeof buffer ? static_cast<std::size_t>(n)
                                                                      : sizeof buffer - 1;
      if (auto matrix = parseMountMatrix(std::string_view(buffer, length))) return matrix;
    }
  }
  if (const iio_channel* mount = findInput(device, "mount");
      mount && iio_channel_find_attr(mount, "matrix") &&
      readChannelText(mount, "matrix", text) >= 0) {
    if (auto matrix = parseMountMatrix(text)) return matrix;
  }
  return std::nullopt;
}

// The three channels of `kind` on `device`, or nullopt when one is missing or has no value.
std::optional<std::array<const iio_channel*, 3>> findTriple(const iio_device* device,
                                                            IioKind kind) {
  std::array<const iio_channel*, 3> channels{};
  const std::string prefix = std::string(iioKindInfo(kind).prefix) + "_";
  for (std::size_t axis = 0; axis < 3; ++axis) {
    const iio_channel* channel = findInput(device, prefix + kAxisNames[axis]);
    if (!channel) return std::nullopt;
    if (!iio_channel_find_attr(channel, "raw") && !iio_channel_find_attr(channel, "input")) {
      return std::nullopt;
    }
    channels[axis] = channel;
  }
  return channels;
}

}  // namespace

const IioKindInfo& iioKindInfo(IioKind kind) {
  return kKinds[static_cast<std::size_t>(kind)];
}

std::optional<MountMatrix> parseMountMatrix(std::string_view text) {
  text = trim(text);
  MountMatrix matrix{};
  std::size_t row = 0;
  while (row < 3) {
    const std::size_t rowEnd = text.find(';');
    if ((rowEnd == std::string_view::npos) != (row == 2)) return std::nullopt;
    std::string_view rowText = text.substr(0, rowEnd);
    for (std::size_t column = 0; column < 3; ++column) {
      const std::size_t cellEnd = rowText.find(',');
      if ((cellEnd == std::string_view::npos) != (column == 2)) return std::nullopt;
      const auto value = parseNumber(rowText.substr(0, cellEnd));
      if (!value) return std::nullopt;
      matrix[3 * row + column] = *value;
      if (cellEnd != std::string_view::npos) rowText.remove_prefix(cellEnd + 1);
    }
    if (rowEnd != std::string_view::npos) text.remove_prefix(rowEnd + 1);
    ++row;
  }
  return matrix;
}

CMVector applyMountMatrix(const MountMatrix& m, const CMVector& v) {
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
  if (!context) return false;
  const unsigned count = iio_context_get_devices_count(context);
  for (unsigned i = 0; i < count; ++i) {
    if (findTriple(iio_context_get_device(context, i), kind)) return true;
  }
  return false;
}

std::optional<IioVectorSource> IioVectorSource::bind(IioKind kind, std::string* why) {
  ContextPtr context = makeLocalContext();
  if (!context) {
    if (why) *why = "no IIO devices (" + errorText(errno) + ")";
    return std::nullopt;
  }
  const unsigned count = iio_context_get_devices_count(context.get());
  for (unsigned i = 0; i < count; ++i) {
    const iio_device* device = iio_context_get_device(context.get(), i);
    const auto triple = findTriple(device, kind);
    if (!triple) continue;

    IioVectorSource source;
    source.kind_ = kind;
    source.deviceId_ = iio_device_get_id(device);
    for (std::size_t axis = 0; axis < 3; ++axis) {
      Axis& a = source.axes_[axis];
      a.channel = (*triple)[axis];
      if (iio_channel_find_attr(a.channel, "raw")) {
        a.scale = optionalNumber(a.channel, "scale", 1.0);
        a.offset = optionalNumber(a.channel, "offset", 0.0);
      } else {
        // A processed value is already offset and scaled by the driver.
        a.valueAttribute = "input";
      }
    }
    source.matrix_ = findMountMatrix(device, (*triple)[0]).value_or(kIdentityMountMatrix);
    source.context_ = std::move(context);
    return source;
  }
  if (why) {
    const char* prefix = iioKindInfo(kind).prefix;
    *why = std::string("no IIO device has ") + prefix + "_x, " + prefix + "_y and " + prefix +
           "_z channels";
  }
  return std::nullopt;
}

IioReading IioVectorSource::read() const {
  std::array<double, 3> values{};
  for (std::size_t axis = 0; axis < 3; ++axis) {
    const Axis& a = axes_[axis];
    double raw = 0.0;
    if (const int result = readChannelNumber(a.channel, a.valueAttribute, raw); result < 0) {
      const int error = -result;
      return {std::nullopt, error,
              deviceId_ + " " + iioKindInfo(kind_).prefix + "_" + kAxisNames[axis] + ": " +
                  errorText(error)};
    }
    values[axis] = (raw + a.offset) * a.scale;
  }
  const CMVector device = applyMountMatrix(matrix_, {values[0], values[1], values[2]});
  const double factor = iioKindInfo(kind_).toPlatformUnits;
  // Adding zero turns the -0 of a zero reading times a negative factor into 0, so that a flat
  // device reads "0.00", not "-0.00".
  return {
      CMVector{device.x * factor + 0.0, device.y * factor + 0.0, device.z * factor + 0.0}, 0, {}};
}

}  // namespace pemdor::iio
