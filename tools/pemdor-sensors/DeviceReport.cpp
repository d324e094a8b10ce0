// SPDX-License-Identifier: MIT
#include "DeviceReport.h"

#include "Output.h"

namespace pemdor::host {
namespace {

std::string matrixText(const std::array<double, 9>& m) {
  std::string text;
  for (std::size_t i = 0; i < m.size(); ++i) {
    if (i > 0) text += i % 3 == 0 ? "; " : ", ";
    text += formatNumber(m[i] + 0.0);
  }
  return text;
}

std::string quotedOrNone(const std::string& text) {
  return text.empty() ? "(none)" : '"' + text + '"';
}

nlohmann::ordered_json matrixRows(const std::array<double, 9>& m) {
  nlohmann::ordered_json rows = nlohmann::ordered_json::array();
  for (std::size_t row = 0; row < 3; ++row) {
    rows.push_back({m[3 * row] + 0.0, m[3 * row + 1] + 0.0, m[3 * row + 2] + 0.0});
  }
  return rows;
}

std::string chosenText(const std::vector<std::string>& chosenFor) {
  if (chosenFor.empty()) return "not chosen";
  std::string text = "chosen for ";
  for (std::size_t i = 0; i < chosenFor.size(); ++i) text += (i == 0 ? "" : ", ") + chosenFor[i];
  return text;
}

}  // namespace

std::string iioReportText(const std::vector<IioDeviceReport>& devices) {
  if (devices.empty()) return "IIO devices: none\n";
  std::string text = "IIO devices:\n";
  for (const IioDeviceReport& device : devices) {
    text += "  " + device.id + ": name " + quotedOrNone(device.name) + ", label " +
            quotedOrNone(device.label) + ", location " +
            (device.location.empty() ? "unlabelled" : device.location) + ", trigger " +
            quotedOrNone(device.trigger) + "\n";
    for (const IioChannelReport& channel : device.channels) {
      text += "    " + channel.kind + ": ";
      if (!channel.complete) {
        text += "incomplete, not used\n";
        continue;
      }
      text += "read through " + channel.readMode + "; matrix " + matrixText(channel.matrix) + " (" +
              channel.matrixSource + "); ";
      if (channel.chosenFor.empty()) {
        text += "not chosen";
      } else {
        text += "chosen for ";
        for (std::size_t i = 0; i < channel.chosenFor.size(); ++i) {
          text += (i == 0 ? "" : ", ") + channel.chosenFor[i];
        }
      }
      text += "\n";
    }
    for (const std::string& note : device.notes) text += "    note: " + note + "\n";
  }
  return text;
}

std::string inputReportText(const std::vector<EvdevDeviceReport>& devices) {
  if (devices.empty()) return "Input motion devices: none\n";
  std::string text = "Input motion devices:\n";
  for (const EvdevDeviceReport& device : devices) {
    if (!device.problem.empty()) {
      text += "  " + device.node + ": " + device.problem + "\n";
      continue;
    }
    text += "  " + device.node + ": name " + quotedOrNone(device.name) + ", matrix " +
            matrixText(device.matrix) + " (" + device.matrixSource + ")\n";
    for (const EvdevSensorReport& sensor : device.sensors) {
      const char* unit = sensor.kind == "accel" ? "units/g" : "units/(deg/s)";
      text += "    " + sensor.kind + ": ";
      for (std::size_t i = 0; i < 3; ++i) {
        text += (i == 0 ? "" : ", ") + sensor.axes[i] + " " + std::to_string(sensor.resolution[i]);
      }
      text += std::string(" ") + unit + " (" + sensor.resolutionSource + "); ";
      text += sensor.usable ? chosenText(sensor.chosenFor) : "no units, not used";
      text += "\n";
    }
    for (const std::string& note : device.notes) text += "    note: " + note + "\n";
  }
  return text;
}

nlohmann::ordered_json inputReportJson(const std::vector<EvdevDeviceReport>& devices) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const EvdevDeviceReport& device : devices) {
    nlohmann::ordered_json entry = nlohmann::ordered_json::object();
    entry["node"] = device.node;
    entry["name"] = device.name;
    entry["problem"] = device.problem.empty() ? nlohmann::ordered_json(nullptr)
                                              : nlohmann::ordered_json(device.problem);
    nlohmann::ordered_json sensors = nlohmann::ordered_json::array();
    for (const EvdevSensorReport& sensor : device.sensors) {
      nlohmann::ordered_json s = nlohmann::ordered_json::object();
      s["kind"] = sensor.kind;
      s["axes"] = sensor.axes;
      s["resolution"] = sensor.resolution;
      s["resolutionSource"] = sensor.resolutionSource;
      s["usable"] = sensor.usable;
      s["chosenFor"] = sensor.chosenFor;
      sensors.push_back(std::move(s));
    }
    entry["sensors"] = std::move(sensors);
    entry["matrix"] = matrixRows(device.matrix);
    entry["matrixSource"] = device.matrixSource;
    entry["notes"] = device.notes;
    list.push_back(std::move(entry));
  }
  return list;
}

nlohmann::ordered_json iioReportJson(const std::vector<IioDeviceReport>& devices) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const IioDeviceReport& device : devices) {
    nlohmann::ordered_json entry = nlohmann::ordered_json::object();
    entry["id"] = device.id;
    entry["name"] = device.name;
    entry["label"] = device.label;
    entry["location"] = device.location;
    entry["trigger"] = device.trigger;
    nlohmann::ordered_json channels = nlohmann::ordered_json::array();
    for (const IioChannelReport& channel : device.channels) {
      nlohmann::ordered_json c = nlohmann::ordered_json::object();
      c["kind"] = channel.kind;
      c["complete"] = channel.complete;
      c["read"] = channel.complete ? nlohmann::ordered_json(channel.readMode) : nullptr;
      nlohmann::ordered_json rows = nlohmann::ordered_json::array();
      for (std::size_t row = 0; row < 3; ++row) {
        rows.push_back({channel.matrix[3 * row] + 0.0, channel.matrix[3 * row + 1] + 0.0,
                        channel.matrix[3 * row + 2] + 0.0});
      }
      c["matrix"] = rows;
      c["matrixSource"] = channel.matrixSource;
      c["chosenFor"] = channel.chosenFor;
      channels.push_back(std::move(c));
    }
    entry["channels"] = std::move(channels);
    entry["notes"] = device.notes;
    list.push_back(std::move(entry));
  }
  return list;
}

}  // namespace pemdor::host
