// SPDX-License-Identifier: MIT
// Round trips in virtual time: a scenario, recorded, gives a scenario whose replay the collector
// cannot tell from the original, and recording that replay gives back the same text.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "Record.h"
#include "ScenarioWriter.h"
#include "collector_rig.h"
#include "pemdor/PemdorDeviceSensorInfo.h"
#include "pemdor/platform/SimulatedDevice.h"
#include "pemdor/platform/VirtualDispatcher.h"

namespace pemdor::host {
namespace {

using pemdor::testing::VirtualRig;

// Long enough for every shipped scenario's last event (12 s) and a sync run of 130 readings.
constexpr double kRecordSeconds = 15.0;
constexpr double kSyncReadAfter = 13.5;
constexpr std::int32_t kSyncLimit = 130;

SimScenario load(const std::string& text, const std::string& source) {
  auto result = parseSimScenario(text, source);
  EXPECT_TRUE(result) << result.error;
  return result.scenario.value_or(SimScenario{});
}

Recording record(const SimScenario& scenario, double seconds) {
  auto dispatcher = VirtualDispatcher::create();
  auto device = SimulatedDevice::create(scenario, dispatcher);
  auto recorder = Recorder::start(device->platform());
  EXPECT_NE(recorder, nullptr);
  if (!recorder) return {};
  dispatcher->advanceBy(seconds);
  Recording recording = recorder->stop();
  // Nothing of the recording is left running on the device.
  EXPECT_EQ(device->activeStreams(), 0U);
  EXPECT_EQ(device->locationUpdatesRunning(), 0U);
  return recording;
}

// What getSensorData gave, as plain values: the strings and the lists' contents.
using SyncTexts = std::map<std::string, std::variant<std::string, std::vector<std::string>>>;

SyncTexts syncRun(const SimScenario& scenario) {
  VirtualRig rig(scenario);
  rig.collector->startSensors(kSyncLimit);
  rig.advance(kSyncReadAfter);
  SyncTexts out;
  for (const auto& [key, value] : rig.collector->getSensorData()) {
    if (const auto* text = std::get_if<std::string>(&value)) {
      out[key] = *text;
    } else {
      out[key] = std::get<std::shared_ptr<PemdorRecordList>>(value)->snapshot();
    }
  }
  return out;
}

struct CallbackResult {
  std::size_t calls = 0;
  std::string latitude, longitude;
  std::optional<std::string> json;
  double at = 0.0;
  bool operator==(const CallbackResult&) const = default;
};

CallbackResult callbackRun(const SimScenario& scenario) {
  VirtualRig rig(scenario);
  rig.callbackRun();
  rig.advance(kRecordSeconds - 1.0);
  CallbackResult out;
  out.calls = rig.log.size();
  if (out.calls > 0) {
    const auto call = rig.log.at(0);
    out = {out.calls, call.latitude, call.longitude, call.json, call.at};
  }
  return out;
}

std::string describe(const SyncTexts& texts) {
  std::ostringstream out;
  for (const auto& [key, value] : texts) {
    out << key << ": ";
    if (const auto* text = std::get_if<std::string>(&value)) {
      out << *text;
    } else {
      const auto& list = std::get<std::vector<std::string>>(value);
      out << list.size() << " records, first " << (list.empty() ? "-" : list.front());
    }
    out << "\n";
  }
  return out.str();
}

// Checks everything a replay must keep, for one scenario.
void expectExactReplay(const SimScenario& original, const std::string& name) {
  SCOPED_TRACE(name);
  const Recording recording = record(original, kRecordSeconds);
  const std::string text = scenarioText(recording.scenario);
  const SimScenario replay = load(text, name + " (recorded)");

  const SyncTexts expected = syncRun(original);
  const SyncTexts replayed = syncRun(replay);
  EXPECT_EQ(replayed, expected) << "original:\n"
                                << describe(expected) << "replay:\n"
                                << describe(replayed);
  EXPECT_EQ(callbackRun(replay), callbackRun(original));

  // Recording the replay gives back the same text.
  EXPECT_EQ(scenarioText(record(replay, kRecordSeconds).scenario), text);
}

TEST(RecordRoundTrip, EveryShippedScenarioReplaysExactly) {
  std::size_t scenarios = 0;
  for (const auto& entry : std::filesystem::directory_iterator(PEMDOR_SOURCE_DIR "/scenarios")) {
    if (entry.path().extension() != ".json") continue;
    std::ifstream file(entry.path());
    std::stringstream text;
    text << file.rdbuf();
    const SimScenario original = load(text.str(), entry.path().filename().string());
    expectExactReplay(original, entry.path().filename().string());
    ++scenarios;
  }
  EXPECT_GE(scenarios, 15U);
}

TEST(RecordRoundTrip, NumbersAbsentReadingsAndEveryKindOfEventSurvive) {
  // Values whose shortest text is long, tiny, huge or negative zero; an absent reading; a stream
  // that stalls; a stream that stalls at once; locations with and without a previous one, an
  // empty list, and a failure, some at the same moment.
  const SimScenario original = load(R"({
    "clock": {"start": 1765180800.123456789},
    "motion": {
      "accelerometer": {"readings": [[0.1, -0.0, 0.30000000000000004], null,
                                      [5e-324, -1.7976931348623157e308, 0.3333333333333333]]},
      "gyroscope": {"readings": [[1e-7, 2.5, -3.25], [4, 5, 6]], "repeat": false},
      "magnetometer": {"readings": [], "repeat": false},
      "deviceMotion": {"available": false}
    },
    "location": {"authorizationStatus": 3, "events": [
      {"after": 0.25, "locations": []},
      {"after": 0.25, "fail": true},
      {"after": 1.0000000000000002, "location": [-89.999999, 179.999999], "from": [0.1, -0.2]},
      {"after": 1.1, "location": [1.5, 2.5], "source": "geoclue"},
      {"after": 2.0, "locations": [[12.5, -45.25], [12.6, -45.26]], "source": "gpsd"}
    ]}
  })",
                                    "numbers");
  expectExactReplay(original, "numbers");

  const Recording recording = record(original, 2.05);
  const SimScenario replay = load(scenarioText(recording.scenario), "numbers (recorded)");
  EXPECT_EQ(*replay.clockStart, 1765180800.123456789);
  const auto& accelerometer = *replay.streams[0].readings;
  ASSERT_EQ(accelerometer.size(), 20U);
  EXPECT_FALSE(accelerometer[1].has_value());
  EXPECT_TRUE(std::signbit(accelerometer[0]->y));
  EXPECT_EQ(accelerometer[2]->x, 5e-324);
  EXPECT_EQ(accelerometer[2]->y, -1.7976931348623157e308);
  EXPECT_EQ(accelerometer[3], accelerometer[0]);
  EXPECT_FALSE(replay.streams[0].repeat);
  EXPECT_EQ(replay.streams[1].readings->size(), 2U);
  EXPECT_TRUE(replay.streams[2].available);
  EXPECT_TRUE(replay.streams[2].readings->empty());
  EXPECT_FALSE(replay.streams[3].available);
  EXPECT_EQ(replay.authorizationStatus, 3);
  ASSERT_EQ(replay.events->size(), 5U);
  EXPECT_EQ((*replay.events)[2].after, 1.0000000000000002);
  EXPECT_EQ((*replay.events)[2].from, (CLLocationCoordinate2D{0.1, -0.2}));
  EXPECT_FALSE((*replay.events)[3].from.has_value());
  // Each fix event keeps the provider that delivered it; the simulated device's own is left out.
  EXPECT_EQ((*replay.events)[2].source, "");
  EXPECT_EQ((*replay.events)[3].source, "geoclue");
  EXPECT_EQ((*replay.events)[4].source, "gpsd");
  // The arrival times the pictures use are those of the virtual clock.
  EXPECT_DOUBLE_EQ(recording.readingTimes[0].front(), 0.1);
  EXPECT_DOUBLE_EQ(recording.duration, 2.05);
}

TEST(RecordRoundTrip, RefusedLocationIsRecordedAsFoundWithoutEvents) {
  // A replay refuses a start by itself; a recorded refusal would be played twice.
  for (const char* location : {R"({"servicesEnabled": false})", R"({"authorizationStatus": 0})"}) {
    const SimScenario original =
        load(std::string(R"({"clock": {"start": 1}, "location": )") + location + "}", location);
    const SimScenario replay =
        load(scenarioText(record(original, 1.0).scenario), std::string(location) + " (recorded)");
    EXPECT_EQ(replay.servicesEnabled, original.servicesEnabled);
    EXPECT_EQ(replay.authorizationStatus, original.authorizationStatus);
    ASSERT_TRUE(replay.events.has_value());
    EXPECT_TRUE(replay.events->empty());
  }
}

}  // namespace
}  // namespace pemdor::host
