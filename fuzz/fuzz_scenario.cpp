// SPDX-License-Identifier: MIT
// Reads the input as a scenario text. The reader gives either a scenario whose every value lies
// in its documented range, or one line of printable text that starts with the source name.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzChecks.h"
#include "pemdor/platform/SimulatedDevice.h"

namespace {

using namespace pemdor::fuzz;

constexpr std::string_view kSource = "fuzz-input.json";

bool isTime(double seconds) {
  return std::isfinite(seconds) && seconds >= 0;
}

bool isCoordinate(const pemdor::CLLocationCoordinate2D& c) {
  return std::isfinite(c.latitude) && std::isfinite(c.longitude) && c.latitude >= -90 &&
         c.latitude <= 90 && c.longitude >= -180 && c.longitude <= 180;
}

void checkScenario(const pemdor::SimScenario& scenario) {
  require(!scenario.clockStart || isTime(*scenario.clockStart), "clock start out of range");
  for (const pemdor::SimStreamScript& stream : scenario.streams) {
    if (!stream.readings) continue;
    for (const auto& reading : *stream.readings) {
      require(!reading || (std::isfinite(reading->x) && std::isfinite(reading->y) &&
                           std::isfinite(reading->z)),
              "a reading holds a non-finite number");
    }
  }
  require(scenario.authorizationStatus >= 0 && scenario.authorizationStatus <= 4,
          "authorization status out of range");
  if (!scenario.events) return;
  for (const pemdor::SimLocationEvent& event : *scenario.events) {
    require(isTime(event.after), "event time out of range");
    for (const auto& location : event.locations) {
      require(isCoordinate(location), "a location is out of range");
    }
    if (event.kind == pemdor::SimLocationEvent::Kind::location) {
      require(isCoordinate(event.location), "a location is out of range");
      require(!event.from || isCoordinate(*event.from), "a previous location is out of range");
    }
  }
}

void checkMessage(const std::string& message) {
  require(message.starts_with(std::string(kSource) + ": "),
          "the message does not start with the source name");
  require(message.size() > kSource.size() + 2, "the message says nothing after the source");
  for (const char c : message) {
    const auto byte = static_cast<unsigned char>(c);
    require(byte >= 0x20 && byte < 0x7F, "the message holds a line break or unprintable byte");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const pemdor::SimScenarioResult result = pemdor::parseSimScenario(text, kSource);
  if (result) {
    require(text.find('\0') == std::string_view::npos,
            "a text holding a zero byte was read as a scenario");
    checkScenario(*result.scenario);
  } else {
    checkMessage(result.error);
  }
  return 0;
}
