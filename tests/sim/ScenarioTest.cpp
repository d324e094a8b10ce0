// SPDX-License-Identifier: MIT
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "pemdor/platform/SimulatedDevice.h"

namespace pemdor {
namespace {

namespace fs = std::filesystem;

constexpr const char* kFullScenario = R"({
  "clock": {"start": 1449000000.1234},
  "motion": {
    "accelerometer": {"available": true, "readings": [[0.1234, -0.5, 9.81], null], "repeat": true},
    "gyroscope":     {"available": true},
    "magnetometer":  {"available": false},
    "deviceMotion":  {"available": true, "readings": [[0.0, 0.0, -1.0]], "repeat": false}
  },
  "location": {
    "servicesEnabled": false,
    "authorizationStatus": 2,
    "events": [
      {"after": 2.0, "locations": [[12.5, -45.25]]},
      {"after": 3.0, "fail": true},
      {"after": 4.0, "location": [1.0, 2.0], "from": [0.5, 0.5]},
      {"location": [-90, 180]},
      {"after": 5, "locations": []}
    ]
  }
})";

const SimStreamScript& stream(const SimScenario& s, MotionStream m) {
  return s.streams[static_cast<std::size_t>(m)];
}

TEST(SimScenario, ReadsEveryKeyAndDefaultsTheRest) {
  const auto full = parseSimScenario(kFullScenario, "s.json");
  ASSERT_TRUE(full) << full.error;
  const SimScenario& s = *full.scenario;
  EXPECT_EQ(s.clockStart, 1449000000.1234);

  const auto& accel = stream(s, MotionStream::accelerometer);
  EXPECT_TRUE(accel.available);
  EXPECT_TRUE(accel.repeat);
  ASSERT_TRUE(accel.readings);
  ASSERT_EQ(accel.readings->size(), 2u);
  EXPECT_EQ((*accel.readings)[0], (CMVector{0.1234, -0.5, 9.81}));
  EXPECT_FALSE((*accel.readings)[1]);
  EXPECT_TRUE(stream(s, MotionStream::gyro).available);
  EXPECT_FALSE(stream(s, MotionStream::gyro).readings);
  EXPECT_FALSE(stream(s, MotionStream::magnetometer).available);
  EXPECT_FALSE(stream(s, MotionStream::deviceMotion).repeat);

  EXPECT_FALSE(s.servicesEnabled);
  EXPECT_EQ(s.authorizationStatus, 2);
  ASSERT_TRUE(s.events);
  const auto& e = *s.events;
  ASSERT_EQ(e.size(), 5u);
  EXPECT_EQ(e[0].kind, SimLocationEvent::Kind::locations);
  EXPECT_EQ(e[0].after, 2.0);
  EXPECT_EQ(e[0].locations, (std::vector<CLLocationCoordinate2D>{{12.5, -45.25}}));
  EXPECT_EQ(e[1].kind, SimLocationEvent::Kind::fail);
  EXPECT_EQ(e[2].kind, SimLocationEvent::Kind::location);
  EXPECT_EQ(e[2].location, (CLLocationCoordinate2D{1.0, 2.0}));
  EXPECT_EQ(e[2].from, (CLLocationCoordinate2D{0.5, 0.5}));
  EXPECT_EQ(e[3].after, 0.0);
  EXPECT_EQ(e[3].location, (CLLocationCoordinate2D{-90, 180}));
  EXPECT_FALSE(e[3].from);
  EXPECT_TRUE(e[4].locations.empty());

  for (const char* empty : {"{}", " {\"motion\": {}, \"location\": {}, \"clock\": {}} "}) {
    const auto none = parseSimScenario(empty);
    ASSERT_TRUE(none) << none.error;
    EXPECT_FALSE(none.scenario->clockStart);
    EXPECT_FALSE(none.scenario->events);
    EXPECT_TRUE(none.scenario->servicesEnabled);
    EXPECT_EQ(none.scenario->authorizationStatus, kCLAuthorizationStatusAuthorizedWhenInUse);
    for (const auto& st : none.scenario->streams) {
      EXPECT_TRUE(st.available);
      EXPECT_TRUE(st.repeat);
      EXPECT_FALSE(st.readings);
    }
  }
}

struct BadScenario {
  std::string text;
  std::string message;
};

TEST(SimScenario, RefusesWithTheSourceAndThePlace) {
  const std::vector<BadScenario> cases = {
      // Malformed text: the line and column of the failing byte.
      {"{\n  \"clock\": {\"start\": 1,}\n}",
       "s.json: line 2, column 24: syntax error while parsing object key - unexpected '}'; "
       "expected string literal"},
      {"{\"clock\": ",
       "s.json: line 1, column 11: syntax error while parsing value - unexpected "
       "end of input; expected '[', '{', or a literal"},
      {"",
       "s.json: line 1, column 1: syntax error while parsing value - unexpected end of input; "
       "expected '[', '{', or a literal"},
      {"\xff\x01garbage",
       "s.json: line 1, column 1: syntax error while parsing value - invalid "
       "literal; last read: '\\xff'"},
      {"[1e999]", "s.json: number overflow parsing '1e999'"},
      // The parser would stop at a zero byte and take what follows for the end of the text.
      {std::string("{}\0{\"colour\": 1}", 16),
       "s.json: binary data (a zero byte at offset 2), not a JSON text"},
      {std::string(100000, '['), "s.json: line 1, column 65: nested deeper than 64 levels"},
      // Brackets inside strings do not count as nesting.
      {"{\"" + std::string(100, '[') + "\": 1}",
       "s.json: \"" + std::string(100, '[') + "\": unknown key"},
      // The shape of the value.
      {"[1]", "s.json: top level: expected an object"},
      {R"({"location": {"colour": "red"}})", "s.json: location.colour: unknown key"},
      {R"({"motion": {"gyro": {}}})", "s.json: motion.gyro: unknown key"},
      {R"({"motion": {"gyroscope": []}})", "s.json: motion.gyroscope: expected an object"},
      {R"({"motion": {"gyroscope": {"available": 1}}})",
       "s.json: motion.gyroscope.available: expected true or false"},
      {R"({"motion": {"magnetometer": {"repeat": "no"}}})",
       "s.json: motion.magnetometer.repeat: expected true or false"},
      {R"({"motion": {"gyroscope": {"readings": [[1, 2, 3], null, [1, 2]]}}})",
       "s.json: motion.gyroscope.readings[2]: expected an array of 3 numbers or null"},
      {R"({"motion": {"deviceMotion": {"readings": [[1, "2", 3]]}}})",
       "s.json: motion.deviceMotion.readings[0]: expected an array of 3 numbers or null"},
      {R"({"motion": {"accelerometer": {"readings": {"x": 1}}}})",
       "s.json: motion.accelerometer.readings: expected an array of readings"},
      // Times.
      {R"({"clock": {"start": -0.5}})",
       "s.json: clock.start: expected a time of 0 seconds or more, got -0.5"},
      {R"({"clock": {"start": "now"}})", "s.json: clock.start: expected a number"},
      {R"({"location": {"events": [{"after": -1, "fail": true}]}})",
       "s.json: location.events[0].after: expected a time of 0 seconds or more, got -1"},
      // Positions.
      {R"({"location": {"events": [{"locations": [[0, 0], [91, 0]]}]}})",
       "s.json: location.events[0].locations[1][0]: latitude 91 is outside [-90, 90]"},
      {R"({"location": {"events": [{"fail": true}, {"location": [0, -180.5]}]}})",
       "s.json: location.events[1].location[1]: longitude -180.5 is outside [-180, 180]"},
      {R"({"location": {"events": [{"location": [1, 2], "from": [1]}]}})",
       "s.json: location.events[0].from: expected an array of 2 numbers [latitude, longitude]"},
      {R"({"location": {"events": [{"locations": [1, 2]}]}})",
       "s.json: location.events[0].locations[0]: expected an array of 2 numbers [latitude, "
       "longitude]"},
      // Events.
      {R"({"location": {"events": {}}})", "s.json: location.events: expected an array of events"},
      {R"({"location": {"events": [{"after": 1}]}})",
       "s.json: location.events[0]: expected exactly one of \"locations\", \"location\" or "
       "\"fail\""},
      {R"({"location": {"events": [{"fail": true, "locations": []}]}})",
       "s.json: location.events[0]: expected exactly one of \"locations\", \"location\" or "
       "\"fail\""},
      {R"({"location": {"events": [{"locations": [], "from": [0, 0]}]}})",
       "s.json: location.events[0].from: allowed only together with \"location\""},
      {R"({"location": {"events": [{"fail": false}]}})",
       "s.json: location.events[0].fail: expected true (leave the key out for an event that does "
       "not fail)"},
      {R"({"location": {"events": [{"fail": true, "when": 2}]}})",
       "s.json: location.events[0].when: unknown key"},
      // The source of a fix event.
      {R"({"location": {"events": [{"fail": true, "source": "gpsd"}]}})",
       "s.json: location.events[0].source: allowed only together with \"locations\" or "
       "\"location\""},
      {R"({"location": {"events": [{"locations": [], "source": ""}]}})",
       "s.json: location.events[0].source: expected a provider name: 1 to 64 letters, digits, "
       "'-', '_' or '.'"},
      {R"({"location": {"events": [{"location": [0, 0], "source": "g ps"}]}})",
       "s.json: location.events[0].source: expected a provider name: 1 to 64 letters, digits, "
       "'-', '_' or '.'"},
      {R"({"location": {"events": [{"location": [0, 0], "source": 7}]}})",
       "s.json: location.events[0].source: expected a provider name: 1 to 64 letters, digits, "
       "'-', '_' or '.'"},
      // Status and switches.
      {R"({"location": {"authorizationStatus": 5}})",
       "s.json: location.authorizationStatus: authorization status 5 is outside 0 to 4"},
      {R"({"location": {"authorizationStatus": -1}})",
       "s.json: location.authorizationStatus: authorization status -1 is outside 0 to 4"},
      {R"({"location": {"authorizationStatus": 3.5}})",
       "s.json: location.authorizationStatus: expected an integer from 0 to 4"},
      {R"({"location": {"authorizationStatus": "4"}})",
       "s.json: location.authorizationStatus: expected an integer from 0 to 4"},
      {R"({"location": {"servicesEnabled": null}})",
       "s.json: location.servicesEnabled: expected true or false"},
  };
  for (const auto& c : cases) {
    const auto result = parseSimScenario(c.text, "s.json");
    EXPECT_FALSE(result) << c.text.substr(0, 80);
    EXPECT_EQ(result.error, c.message) << c.text.substr(0, 80);
  }

  // Values built in code may hold what JSON text cannot.
  nlohmann::json value = {{"motion", {{"accelerometer", {{"readings", {{0.0, NAN, 1.0}}}}}}}};
  EXPECT_EQ(simScenarioFromJson(value).error,
            "scenario: motion.accelerometer.readings[0][1]: expected a finite number");
  value = {{"clock", {{"start", std::numeric_limits<double>::infinity()}}}};
  EXPECT_EQ(simScenarioFromJson(value, "code").error,
            "code: clock.start: expected a finite number");
}

class ScenarioFile : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::path(::testing::TempDir()) /
           ("pemdor-sim-" + std::string(info->name()) + "-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& content) {
    const auto path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  fs::path dir_;
};

TEST_F(ScenarioFile, RoundTripsAndNamesTheFileInMessages) {
  const auto path = write("full.json", kFullScenario);
  const auto loaded = loadSimScenarioFile(path);
  ASSERT_TRUE(loaded) << loaded.error;
  const auto parsed = parseSimScenario(kFullScenario);
  EXPECT_EQ(loaded.scenario->clockStart, parsed.scenario->clockStart);
  EXPECT_EQ(loaded.scenario->events->size(), parsed.scenario->events->size());
  EXPECT_EQ(loaded.scenario->streams[0].readings, parsed.scenario->streams[0].readings);

  const auto bad = write("bad.json", "{\n  \"location\": {\"colour\": 1}\n}\n");
  EXPECT_EQ(loadSimScenarioFile(bad).error, bad + ": location.colour: unknown key");
}

TEST_F(ScenarioFile, RefusesFilesThatAreNotScenarios) {
  const auto missing = (dir_ / "missing.json").string();
  EXPECT_EQ(loadSimScenarioFile(missing).error, missing + ": no such file");
  EXPECT_EQ(loadSimScenarioFile(dir_.string()).error,
            dir_.string() + ": is a directory, not a scenario file");

  const auto empty = write("empty.json", "");
  EXPECT_EQ(loadSimScenarioFile(empty).error, empty + ": the file is empty");

  const auto binary = write("binary.json", std::string("{\"a\0\x01\x02", 7));
  EXPECT_EQ(loadSimScenarioFile(binary).error,
            binary + ": binary data (a zero byte at offset 3), not a JSON text");

  // A sparse file: refused by its size, without reading 100 MB.
  const auto huge = write("huge.json", "{}");
  fs::resize_file(huge, 100u << 20);
  EXPECT_EQ(loadSimScenarioFile(huge).error,
            huge + ": file of 104857600 bytes is larger than the 16 MiB a scenario may have");

  // Just at the limit is read (and then refused for what it holds, not for its size).
  const auto limit = write("limit.json", "{}");
  fs::resize_file(limit, 16u << 20);
  EXPECT_EQ(loadSimScenarioFile(limit).error,
            limit + ": binary data (a zero byte at offset 2), not a JSON text");

  EXPECT_EQ(loadSimScenarioFile("/dev/null").error, "/dev/null: is not a regular file");
}

// The example scenarios at the top of the repository are read by the sample host and quoted in
// the README; each must load.
TEST(SimScenario, ExampleScenariosLoad) {
  std::size_t seen = 0;
  for (const auto& entry : fs::directory_iterator(fs::path(PEMDOR_SOURCE_DIR) / "scenarios")) {
    if (entry.path().extension() != ".json") continue;
    ++seen;
    const auto result = loadSimScenarioFile(entry.path().string());
    EXPECT_TRUE(result) << result.error;
  }
  EXPECT_GE(seen, 5u);
}

}  // namespace
}  // namespace pemdor
