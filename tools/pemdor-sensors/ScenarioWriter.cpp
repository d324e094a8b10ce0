// SPDX-License-Identifier: MIT
#include "ScenarioWriter.h"

#include <array>
#include <charconv>
#include <cmath>

#include <nlohmann/json.hpp>

namespace pemdor::host {
namespace {

void appendVector(std::string& out, const CMVector& v) {
  out += '[';
  out += exactNumber(v.x);
  out += ", ";
  out += exactNumber(v.y);
  out += ", ";
  out += exactNumber(v.z);
  out += ']';
}

void appendCoordinate(std::string& out, const CLLocationCoordinate2D& c) {
  out += '[';
  out += exactNumber(c.latitude);
  out += ", ";
  out += exactNumber(c.longitude);
  out += ']';
}

const char* boolean(bool value) {
  return value ? "true" : "false";
}

void appendStream(std::string& out, MotionStream stream, const SimStreamScript& script) {
  out += "    \"";
  out += motionStreamName(stream);
  out += "\": {\"available\": ";
  out += boolean(script.available);
  out += ", \"repeat\": ";
  out += boolean(script.repeat);
  if (script.readings) {
    out += ", \"readings\": [";
    const auto& readings = *script.readings;
    for (std::size_t i = 0; i < readings.size(); ++i) {
      out += i == 0 ? "\n      " : ",\n      ";
      if (readings[i]) {
        appendVector(out, *readings[i]);
      } else {
        out += "null";
      }
    }
    out += readings.empty() ? "]" : "\n    ]";
  }
  out += '}';
}

void appendEvent(std::string& out, const SimLocationEvent& event) {
  out += "{\"after\": ";
  out += exactNumber(event.after);
  switch (event.kind) {
    case SimLocationEvent::Kind::locations:
      out += ", \"locations\": [";
      for (std::size_t i = 0; i < event.locations.size(); ++i) {
        if (i > 0) out += ", ";
        appendCoordinate(out, event.locations[i]);
      }
      out += ']';
      break;
    case SimLocationEvent::Kind::location:
      out += ", \"location\": ";
      appendCoordinate(out, event.location);
      if (event.from) {
        out += ", \"from\": ";
        appendCoordinate(out, *event.from);
      }
      break;
    case SimLocationEvent::Kind::fail:
      out += ", \"fail\": true";
      break;
  }
  // "simulated" is what a replay reports without the key, so it is left out like every default.
  if (!event.source.empty() && event.source != "simulated" &&
      event.kind != SimLocationEvent::Kind::fail) {
    out += ", \"source\": ";
    out +=
        nlohmann::json(event.source).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }
  out += '}';
}

}  // namespace

std::string exactNumber(double value) {
  if (value == 0.0) return std::signbit(value) ? "-0.0" : "0";
  std::array<char, 32> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  return std::string(buffer.data(), result.ptr);
}

std::string scenarioText(const SimScenario& scenario) {
  std::string out = "{\n";
  if (scenario.clockStart) {
    out += "  \"clock\": {\"start\": " + exactNumber(*scenario.clockStart) + "},\n";
  }
  out += "  \"motion\": {\n";
  for (MotionStream stream : kAllMotionStreams) {
    appendStream(out, stream, scenario.streams[static_cast<std::size_t>(stream)]);
    out += stream == MotionStream::deviceMotion ? "\n" : ",\n";
  }
  out += "  },\n";
  out += "  \"location\": {\n";
  out += "    \"servicesEnabled\": ";
  out += boolean(scenario.servicesEnabled);
  out += ",\n    \"authorizationStatus\": " + std::to_string(scenario.authorizationStatus);
  if (scenario.events) {
    out += ",\n    \"events\": [";
    const auto& events = *scenario.events;
    for (std::size_t i = 0; i < events.size(); ++i) {
      out += i == 0 ? "\n      " : ",\n      ";
      appendEvent(out, events[i]);
    }
    out += events.empty() ? "]" : "\n    ]";
  }
  out += "\n  }\n}\n";
  return out;
}

}  // namespace pemdor::host
