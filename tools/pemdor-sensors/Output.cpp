// SPDX-License-Identifier: MIT
#include "Output.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <string_view>

#include <nlohmann/json.hpp>

#include "pemdor/PemdorSensorTable.h"

namespace pemdor::host {
namespace {

// getSensorData's position keys come first, then the record lists in the collector's table
// order; any other key follows in map order.
constexpr std::array<std::string_view, 3> kPositionKeys{"la", "lo", "Time"};

// The source line of a run without a fix.
constexpr std::string_view kNoSource = "(none)";

bool shownInOrder(std::string_view key) {
  return std::find(kPositionKeys.begin(), kPositionKeys.end(), key) != kPositionKeys.end() ||
         std::any_of(kPemdorSensors.begin(), kPemdorSensors.end(),
                     [&](const PemdorSensor& sensor) { return key == sensor.dataKey; });
}

// Visits the entries in order; `afterPosition` runs between the position entries and the lists.
template <typename Visit, typename AfterPosition>
void forEachInOrder(const PemdorSensorData& data, Visit&& visit, AfterPosition&& afterPosition) {
  const auto visitKey = [&](std::string_view key) {
    if (const auto found = data.find(std::string(key)); found != data.end()) {
      visit(found->first, found->second);
    }
  };
  for (const std::string_view key : kPositionKeys) visitKey(key);
  afterPosition();
  for (const PemdorSensor& sensor : kPemdorSensors) visitKey(sensor.dataKey);
  for (const auto& [key, value] : data) {
    if (!shownInOrder(key)) visit(key, value);
  }
}

// Invalid UTF-8 from a provider is replaced rather than refused: the host prints what it got.
std::string dumpLine(const nlohmann::ordered_json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string keyLine(std::string_view key, std::string_view value) {
  std::string line(key);
  line += ':';
  if (!value.empty()) {
    line += ' ';
    line += value;
  }
  line += '\n';
  return line;
}

}  // namespace

std::string formatNumber(double value) {
  std::array<char, 64> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  return std::string(buffer.data(), result.ptr);
}

std::optional<std::string> sourceOf(const CLLocationRef& location) {
  if (!location || location->source().empty()) return std::nullopt;
  return location->source();
}

std::string snapshotText(const SnapshotResult& result) {
  return keyLine("latitude", result.latitude) + keyLine("longitude", result.longitude) +
         keyLine("source", result.source ? std::string_view(*result.source) : kNoSource) +
         keyLine("json", result.json ? std::string_view(*result.json) : "(absent)");
}

std::string snapshotJson(const SnapshotResult& result) {
  nlohmann::ordered_json line = nlohmann::ordered_json::object();
  line["latitude"] = result.latitude;
  line["longitude"] = result.longitude;
  line["source"] =
      result.source ? nlohmann::ordered_json(*result.source) : nlohmann::ordered_json();
  line["json"] = result.json ? nlohmann::ordered_json(*result.json) : nlohmann::ordered_json();
  // Whole milliseconds: the clocks behind it are no finer, and the number stays short.
  line["elapsed"] = std::round(result.elapsed * 1000.0) / 1000.0;
  return dumpLine(line);
}

std::string sensorDataText(const PemdorSensorData& data, const std::optional<SyncSource>& source) {
  std::string text;
  forEachInOrder(
      data,
      [&](const std::string& key, const PemdorSensorValue& value) {
        if (const auto* entry = std::get_if<std::string>(&value)) {
          text += keyLine(key, *entry);
          return;
        }
        text += keyLine(key, "");
        if (const auto& list = std::get<PemdorRecordListRef>(value)) {
          for (const std::string& record : list->snapshot()) text += "  " + record + "\n";
        }
      },
      [&] {
        if (source) text += keyLine("source", source->name ? *source->name : kNoSource);
      });
  return text;
}

std::string sensorDataJson(const PemdorSensorData& data, const std::optional<SyncSource>& source) {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  forEachInOrder(
      data,
      [&](const std::string& key, const PemdorSensorValue& value) {
        if (const auto* entry = std::get_if<std::string>(&value)) {
          object[key] = *entry;
        } else if (const auto& list = std::get<PemdorRecordListRef>(value)) {
          object[key] = list->snapshot();
        } else {
          object[key] = nlohmann::ordered_json::array();
        }
      },
      [&] {
        if (source) {
          object["source"] =
              source->name ? nlohmann::ordered_json(*source->name) : nlohmann::ordered_json();
        }
      });
  return dumpLine(object);
}

}  // namespace pemdor::host
