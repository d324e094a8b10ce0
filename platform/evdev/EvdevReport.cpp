// SPDX-License-Identifier: MIT
// The device report of the input-device provider, with the choice that makeLinuxMotionService
// makes: a stream goes to an input device only where no IIO device serves it.

#include <algorithm>
#include <set>
#include <string>

#include "EvdevDevices.h"
#include "pemdor/platform/Providers.h"

namespace pemdor {

std::vector<EvdevDeviceReport> evdevDeviceReport() {
  const std::vector<evdev::InputMotionDevice> devices = evdev::findInputMotionDevices();
  std::set<std::string> servedByIio;
  for (const IioDeviceReport& device : iioDeviceReport()) {
    for (const IioChannelReport& channel : device.channels) {
      servedByIio.insert(channel.chosenFor.begin(), channel.chosenFor.end());
    }
  }
  std::vector<EvdevDeviceReport> report;
  for (const evdev::InputMotionDevice& device : devices) {
    EvdevDeviceReport entry;
    entry.node = device.node;
    entry.name = device.name;
    entry.problem = device.problem;
    entry.matrix = device.matrix;
    entry.matrixSource = device.matrixSource;
    entry.notes = device.notes;
    if (device.problem.empty()) {
      for (const evdev::SensorInfo& sensor : device.sensors) {
        if (!sensor.present) continue;
        EvdevSensorReport s;
        s.kind = sensor.kind == evdev::SensorKind::accel ? "accel" : "gyro";
        s.axes = sensor.kind == evdev::SensorKind::accel
                     ? std::array<std::string, 3>{"ABS_X", "ABS_Y", "ABS_Z"}
                     : std::array<std::string, 3>{"ABS_RX", "ABS_RY", "ABS_RZ"};
        s.resolution = sensor.resolution;
        s.resolutionSource = evdev::unitsName(sensor.units);
        s.usable = sensor.usable();
        entry.sensors.push_back(std::move(s));
      }
    }
    report.push_back(std::move(entry));
  }
  for (MotionStream stream : kAllMotionStreams) {
    const auto kind = evdev::sensorFor(stream);
    if (!kind) continue;
    const evdev::InputMotionDevice* chosen = evdev::chooseDevice(devices, stream);
    if (!chosen) continue;
    const std::size_t at = static_cast<std::size_t>(chosen - devices.data());
    const std::string name = motionStreamName(stream);
    if (servedByIio.count(name) != 0) {
      report[at].notes.push_back(name + " is served by an IIO device");
      continue;
    }
    const std::string kindName = *kind == evdev::SensorKind::accel ? "accel" : "gyro";
    for (EvdevSensorReport& sensor : report[at].sensors) {
      if (sensor.kind == kindName) sensor.chosenFor.push_back(name);
    }
  }
  return report;
}

}  // namespace pemdor
