// SPDX-License-Identifier: MIT
#include "IioDevices.h"

#include <iio.h>

#include <algorithm>
#include <charconv>
#include <string_view>
#include <tuple>

#include "IioUdev.h"

namespace pemdor::iio {
namespace {

constexpr std::array<IioKind, 4> kKindsInOrder = {IioKind::accel, IioKind::anglvel, IioKind::magn,
                                                  IioKind::gravity};
constexpr std::array<const char*, 3> kAxisNames = {"x", "y", "z"};

std::optional<unsigned> deviceNumber(std::string_view id) {
  constexpr std::string_view prefix = "iio:device";
  if (!id.starts_with(prefix) || id.size() == prefix.size()) return std::nullopt;
  unsigned number = 0;
  const char* first = id.data() + prefix.size();
  const char* last = id.data() + id.size();
  const auto [end, ec] = std::from_chars(first, last, number);
  if (ec != std::errc{} || end != last) return std::nullopt;
  return number;
}

// The sysfs mount matrix of a triple, from the first place that has one: the kind's own attribute
// (in_accel_mount_matrix, or a per-channel one), which libiio attaches to each channel; the
// device-wide mount_matrix; or in_mount_matrix, which libiio's local backend presents as an input
// channel "mount" with an attribute "matrix". A matrix that does not parse counts as absent.
std::optional<MountMatrix> sysfsMountMatrix(const iio_device* device, const iio_channel* xChannel) {
  if (xChannel && iio_channel_find_attr(xChannel, "mount_matrix")) {
    if (const auto text = readChannelAttribute(xChannel, "mount_matrix")) {
      if (auto matrix = parseMountMatrix(*text)) return matrix;
    }
  }
  if (iio_device_find_attr(device, "mount_matrix")) {
    if (const auto text = readDeviceAttribute(device, "mount_matrix")) {
      if (auto matrix = parseMountMatrix(*text)) return matrix;
    }
  }
  if (const iio_channel* mount = iio_device_find_channel(device, "mount", false);
      mount && iio_channel_find_attr(mount, "matrix")) {
    if (const auto text = readChannelAttribute(mount, "matrix")) {
      if (auto matrix = parseMountMatrix(*text)) return matrix;
    }
  }
  return std::nullopt;
}

// The channels of `kind` on `device`, or nullopt when it has none of the three.
std::optional<KindChannels> findKind(const iio_device* device, IioKind kind) {
  KindChannels found;
  found.kind = kind;
  bool allSysfs = true;
  bool allScanned = true;
  for (std::size_t axis = 0; axis < 3; ++axis) {
    const std::string id = std::string(iioKindInfo(kind).prefix) + "_" + kAxisNames[axis];
    const iio_channel* channel = iio_device_find_channel(device, id.c_str(), false);
    const bool sysfs = channel && (iio_channel_find_attr(channel, "raw") ||
                                   iio_channel_find_attr(channel, "input"));
    const bool scanned = channel && iio_channel_is_scan_element(channel);
    found.axes[axis] = sysfs || scanned;
    allSysfs = allSysfs && sysfs;
    allScanned = allScanned && scanned;
  }
  if (std::none_of(found.axes.begin(), found.axes.end(), [](bool b) { return b; })) {
    return std::nullopt;
  }
  if (allSysfs) {
    found.mode = ReadMode::sysfs;
  } else if (allScanned) {
    found.mode = ReadMode::buffer;
  }
  return found;
}

SensorLocation locationFromLabel(std::string_view label) {
  if (label == "accel-display") return SensorLocation::display;
  if (label == "accel-base") return SensorLocation::base;
  return SensorLocation::unlabelled;
}

// Reads what a detailed scan adds: the matrices, the udev record and its corrections.
void addDetails(const iio_device* device, DeviceInfo& info) {
  const UdevSensorProperties udev = readUdevSensorProperties(info.id);
  if (udev.accelLocation) {
    if (*udev.accelLocation == "display") {
      info.location = SensorLocation::display;
    } else if (*udev.accelLocation == "base") {
      info.location = SensorLocation::base;
    } else {
      info.notes.push_back("udev ACCEL_LOCATION \"" + *udev.accelLocation +
                           "\" ignored: neither display nor base");
    }
  }
  std::optional<MountMatrix> udevMatrix;
  if (udev.accelMountMatrix) {
    std::string problem;
    udevMatrix = parseMountMatrix(*udev.accelMountMatrix, &problem);
    if (!udevMatrix) {
      info.notes.push_back("udev ACCEL_MOUNT_MATRIX \"" + *udev.accelMountMatrix +
                           "\" ignored: " + problem);
    }
  }
  for (KindChannels& kind : info.kinds) {
    // hwdb's matrix corrects the accelerometer, and so the gravity derived from it.
    if (kind.kind == IioKind::accel && udevMatrix) {
      kind.matrix = *udevMatrix;
      kind.matrixSource = MatrixSource::udev;
      continue;
    }
    const std::string x = std::string(iioKindInfo(kind.kind).prefix) + "_x";
    if (const auto matrix =
            sysfsMountMatrix(device, iio_device_find_channel(device, x.c_str(), false))) {
      kind.matrix = *matrix;
      kind.matrixSource = MatrixSource::sysfs;
    }
  }
}

}  // namespace

const char* readModeName(ReadMode mode) {
  return mode == ReadMode::sysfs ? "sysfs" : "buffer";
}

const char* matrixSourceName(MatrixSource source) {
  switch (source) {
    case MatrixSource::udev:
      return "udev";
    case MatrixSource::sysfs:
      return "sysfs";
    case MatrixSource::none:
      break;
  }
  return "none";
}

const char* sensorLocationName(SensorLocation location) {
  switch (location) {
    case SensorLocation::display:
      return "display";
    case SensorLocation::base:
      return "base";
    case SensorLocation::unlabelled:
      break;
  }
  return "";
}

const KindChannels* DeviceInfo::find(IioKind kind) const {
  for (const KindChannels& k : kinds) {
    if (k.kind == kind) return &k;
  }
  return nullptr;
}

bool DeviceInfo::canRead(IioKind kind) const {
  const KindChannels* k = find(kind);
  return k && k->mode.has_value();
}

std::vector<DeviceInfo> scanDevices(iio_context* context, ScanDepth depth) {
  std::vector<DeviceInfo> devices;
  if (!context) return devices;
  const unsigned count = iio_context_get_devices_count(context);
  for (unsigned i = 0; i < count; ++i) {
    const iio_device* device = iio_context_get_device(context, i);
    if (iio_device_is_trigger(device)) continue;
    DeviceInfo info;
    info.id = iio_device_get_id(device);
    info.number = deviceNumber(info.id);
    if (const char* name = iio_device_get_name(device)) info.name = name;
    if (const char* label = iio_device_get_label(device)) info.label = label;
    info.location = locationFromLabel(info.label);
    const iio_device* trigger = nullptr;
    if (iio_device_get_trigger(device, &trigger) == 0 && trigger) {
      const char* name = iio_device_get_name(trigger);
      info.trigger = name ? name : iio_device_get_id(trigger);
    }
    for (IioKind kind : kKindsInOrder) {
      if (auto found = findKind(device, kind)) info.kinds.push_back(*found);
    }
    if (depth == ScanDepth::detailed) addDetails(device, info);
    devices.push_back(std::move(info));
  }
  return devices;
}

std::optional<std::size_t> chooseDevice(const std::vector<DeviceInfo>& devices, IioKind kind) {
  const auto rank = [](const DeviceInfo& d) {
    const int place = d.location == SensorLocation::display      ? 0
                      : d.location == SensorLocation::unlabelled ? 1
                                                                 : 2;
    return std::make_tuple(place, !d.number.has_value(), d.number.value_or(0),
                           std::string_view(d.id));
  };
  std::optional<std::size_t> best;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    if (!devices[i].canRead(kind)) continue;
    if (!best || rank(devices[i]) < rank(devices[*best])) best = i;
  }
  return best;
}

iio_device* deviceOf(iio_context* context, const DeviceInfo& info) {
  // Found by id, not by position: another context may list the devices differently.
  const unsigned count = iio_context_get_devices_count(context);
  for (unsigned i = 0; i < count; ++i) {
    const iio_device* device = iio_context_get_device(context, i);
    if (info.id == iio_device_get_id(device)) return const_cast<iio_device*>(device);
  }
  return nullptr;
}

}  // namespace pemdor::iio
