// SPDX-License-Identifier: MIT
// The IIO provider's account of the devices it sees, for `pemdor-sensors info`.

#include <string>
#include <vector>

#include "IioDevices.h"
#include "IioVectorSource.h"
#include "pemdor/platform/Providers.h"

namespace pemdor {

using iio::IioKind;

std::vector<IioDeviceReport> iioDeviceReport() {
  const iio::ContextPtr context = iio::makeLocalContext();
  const std::vector<iio::DeviceInfo> devices =
      iio::scanDevices(context.get(), iio::ScanDepth::detailed);

  std::vector<IioDeviceReport> report;
  for (const iio::DeviceInfo& device : devices) {
    IioDeviceReport& entry = report.emplace_back();
    entry.id = device.id;
    entry.name = device.name;
    entry.label = device.label;
    entry.location = iio::sensorLocationName(device.location);
    entry.trigger = device.trigger;
    entry.notes = device.notes;
    for (const iio::KindChannels& kind : device.kinds) {
      IioChannelReport& channel = entry.channels.emplace_back();
      channel.kind = iio::iioKindInfo(kind.kind).prefix;
      channel.complete = kind.mode.has_value();
      if (kind.mode) channel.readMode = iio::readModeName(*kind.mode);
      channel.matrix = kind.matrix;
      channel.matrixSource = iio::matrixSourceName(kind.matrixSource);
      if (!channel.complete) {
        std::string missing;
        for (std::size_t axis = 0; axis < 3; ++axis) {
          if (!kind.axes[axis]) missing += std::string(missing.empty() ? "" : ", ") + "xyz"[axis];
        }
        entry.notes.push_back(channel.kind +
                              (missing.empty()
                                   ? std::string(" mixes sysfs values and scan elements")
                                   : " lacks " + missing) +
                              ", so it is not used");
      }
    }
  }

  // Which device serves each stream: the same choice the streams make when they start.
  const auto serve = [&](IioKind kind, MotionStream stream) {
    const auto chosen = iio::chooseDevice(devices, kind);
    if (!chosen) return false;
    for (IioChannelReport& channel : report[*chosen].channels) {
      if (channel.kind == iio::iioKindInfo(kind).prefix) {
        channel.chosenFor.push_back(motionStreamName(stream));
      }
    }
    return true;
  };
  if (serve(IioKind::accel, MotionStream::accelerometer)) {
    const std::size_t accel = *iio::chooseDevice(devices, IioKind::accel);
    if (devices[accel].location == iio::SensorLocation::base) {
      report[accel].notes.push_back(
          "the accelerometer is in the base: no display or unlabelled accelerometer was found");
    }
  }
  serve(IioKind::anglvel, MotionStream::gyro);
  serve(IioKind::magn, MotionStream::magnetometer);
  // Gravity derived from the accelerometer is fused with the gyroscope, where there is one.
  if (!serve(IioKind::gravity, MotionStream::deviceMotion) &&
      serve(IioKind::accel, MotionStream::deviceMotion)) {
    serve(IioKind::anglvel, MotionStream::deviceMotion);
  }
  return report;
}

}  // namespace pemdor
