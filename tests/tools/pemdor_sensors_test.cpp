// SPDX-License-Identifier: MIT
// End-to-end tests of pemdor-sensors on the simulated device, almost all in virtual time.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <locale.h>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "ChildRun.h"
#include "SkipOrFail.h"
#include "pemdor/version.h"

namespace pemdor::test {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

// A guard against hangs, not a speed target: the runs here end within seconds.
constexpr double kLimitSeconds = 120.0;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) result.push_back(line);
  return result;
}

std::vector<std::string> keysOf(const nlohmann::ordered_json& object) {
  std::vector<std::string> keys;
  for (const auto& item : object.items()) keys.push_back(item.key());
  return keys;
}

class PemdorSensorsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "pemdor-sensors-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string writeFile(const std::string& name, const std::string& content) {
    const auto path = dir_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  static ChildRun run(std::vector<std::string> args, const ChildRunOptions& options = {}) {
    return runChild(PEMDOR_SENSORS_BINARY, args, kLimitSeconds, options);
  }

  // Runs a command in virtual time on a scenario.
  ChildRun runVirtual(std::vector<std::string> args, const std::string& scenario,
                      const ChildRunOptions& options = {}) {
    args.insert(args.end(), {"--virtual-time", "--scenario", writeFile("scenario.json", scenario)});
    return run(args, options);
  }

  std::filesystem::path dir_;
};

constexpr const char* kNoMagnetometer = R"({"motion": {"magnetometer": {"available": false}}})";
constexpr const char* kStalledGyroscope = R"({"motion": {"gyroscope":
    {"readings": [[0.1, 0.2, 0.3], [0.1, 0.2, 0.3], [0.1, 0.2, 0.3]], "repeat": false}}})";
constexpr const char* kFixAt = R"({"clock": {"start": 1449000000.1234},
    "location": {"events": [{"after": 0.3, "locations": [[12.5, -45.25]]}]}})";

TEST_F(PemdorSensorsTest, InfoReportsSensorsLocationAndProviders) {
  const ChildRun noMagnetometer = runVirtual({"info"}, kNoMagnetometer);
  EXPECT_EQ(noMagnetometer.status(), 0) << noMagnetometer.err;
  const auto out = lines(noMagnetometer.out);
  ASSERT_GE(out.size(), 4U) << noMagnetometer.out;
  EXPECT_EQ(out[0], "availableSensors: SensorsAccelerometerGyro");
  EXPECT_EQ(out[1], "isLocationServiceAvailable: true");
  EXPECT_THAT(out[2], StartsWith("motion: simulated (IIO: "));
  EXPECT_THAT(out[3], StartsWith("location: simulated (GeoClue2: "));
  EXPECT_THAT(out[3], HasSubstr("; gpsd localhost:2947: "));
  EXPECT_THAT(noMagnetometer.out, HasSubstr("time: virtual\n"));
  EXPECT_THAT(noMagnetometer.err, IsEmpty());

  const ChildRun switchedOff = runVirtual({"info"}, R"({"location": {"servicesEnabled": false}})");
  EXPECT_THAT(switchedOff.out, HasSubstr("isLocationServiceAvailable: false\n"));
  const ChildRun noLocation = runVirtual({"info", "--location", "none"}, "{}");
  EXPECT_THAT(noLocation.out, AllOf(HasSubstr("isLocationServiceAvailable: false\n"),
                                    HasSubstr("location: none (")));

  // A scenario chooses the simulated device without a note, in real time too.
  const ChildRun real = run({"info", "--scenario", writeFile("s.json", kNoMagnetometer)});
  EXPECT_EQ(real.status(), 0) << real.err;
  EXPECT_THAT(real.out, AllOf(HasSubstr("SensorsAccelerometerGyro\n"), HasSubstr("time: real\n")));
  EXPECT_THAT(real.err, IsEmpty());
}

TEST_F(PemdorSensorsTest, SnapshotTextIsFourLinesWithTheSourceAndTheJsonAsReceived) {
  const ChildRun result = runVirtual({"snapshot"}, kFixAt);
  ASSERT_EQ(result.status(), 0) << result.err;
  EXPECT_THAT(result.err, IsEmpty());
  const auto out = lines(result.out);
  ASSERT_EQ(out.size(), 4U) << result.out;
  EXPECT_EQ(out[0], "latitude: 12.500000");
  EXPECT_EQ(out[1], "longitude: -45.250000");
  EXPECT_EQ(out[2], "source: simulated");
  ASSERT_THAT(out[3], StartsWith("json: "));
  const auto json = nlohmann::json::parse(out[3].substr(6));
  ASSERT_EQ(json.size(), 3U);
  for (const char* key : {"Acceleration", "Gyroscope", "Magnetic"}) {
    ASSERT_TRUE(json.contains(key)) << key;
    EXPECT_EQ(json[key].size(), 10U) << key;
  }

  // Without a magnetometer and without authorisation: the placeholder and empty coordinates.
  const ChildRun bare = runVirtual(
      {"snapshot"},
      R"({"motion": {"magnetometer": {"available": false}}, "location": {"authorizationStatus": 2}})");
  ASSERT_EQ(bare.status(), 0) << bare.err;
  const auto bareOut = lines(bare.out);
  ASSERT_EQ(bareOut.size(), 4U);
  EXPECT_EQ(bareOut[0], "latitude:");
  EXPECT_EQ(bareOut[1], "longitude:");
  EXPECT_EQ(bareOut[2], "source: (none)");
  EXPECT_EQ(nlohmann::json::parse(bareOut[3].substr(6))["Magnetic"], nlohmann::json::array({""}));
}

TEST_F(PemdorSensorsTest, SnapshotJsonIsOneLineInKeyOrderWithVirtualElapsed) {
  const ChildRun result = runVirtual({"snapshot", "--format", "json"}, kFixAt);
  ASSERT_EQ(result.status(), 0) << result.err;
  ASSERT_EQ(lines(result.out).size(), 1U) << result.out;
  const auto line = nlohmann::ordered_json::parse(result.out);
  EXPECT_THAT(keysOf(line), ElementsAre("latitude", "longitude", "source", "json", "elapsed"));
  EXPECT_EQ(line["latitude"], "12.500000");
  EXPECT_EQ(line["source"], "simulated");
  ASSERT_TRUE(line["json"].is_string());
  EXPECT_EQ(nlohmann::json::parse(line["json"].get<std::string>()).size(), 3U);
  // The eleventh reading of each sensor, 0.1 s apart, ends the run.
  ASSERT_TRUE(line["elapsed"].is_number());
  EXPECT_NEAR(line["elapsed"].get<double>(), 1.1, 0.05);
}

TEST_F(PemdorSensorsTest, SnapshotWithoutCompletionExits3AndNamesWhatIsMissing) {
  const ChildRun stalled = runVirtual({"snapshot"}, kStalledGyroscope);
  EXPECT_EQ(stalled.status(), 3);
  EXPECT_THAT(stalled.out, IsEmpty());
  EXPECT_THAT(stalled.err, AllOf(HasSubstr("no completion within 30 s"),
                                 HasSubstr("gyroscope has 3/10 readings and has stalled"),
                                 HasSubstr("the run has no motion timeout")));
  EXPECT_THAT(stalled.err, ::testing::Not(HasSubstr("accelerometer")));

  // Cut short while everything still streams: nothing is called stalled.
  const ChildRun early = runVirtual({"snapshot", "--timeout", "0.35"}, "{}");
  EXPECT_EQ(early.status(), 3);
  EXPECT_THAT(early.err, AllOf(HasSubstr("within 0.35 s"), HasSubstr("accelerometer has 3/10"),
                               HasSubstr("magnetometer has 3/10"),
                               HasSubstr("the position wait has not ended")));
  EXPECT_THAT(early.err, ::testing::Not(HasSubstr("stalled")));
}

TEST_F(PemdorSensorsTest, BadInputExits2WithAOneLineMessage) {
  const std::string directory = dir_.string();
  const std::string malformed = writeFile("malformed.json", "{\n  \"motion\": [1,\n");
  const std::string garbage = writeFile("garbage.json", std::string("\x00\xff\xfe{\x01", 5));
  const std::string huge = (dir_ / "huge.json").string();
  {
    std::ofstream(huge) << "{}";
    std::filesystem::resize_file(huge, 100U * 1024U * 1024U);
  }
  const std::string missing = (dir_ / "missing.json").string();
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"snapshot", "--bogus"}, "unknown option '--bogus'"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"--virtual-time"}, "expected a command"},
      {{"sync", "--limit", "abc"}, "--limit: 'abc' is not a whole number"},
      {{"sync", "--limit", "99999999999"}, "out of range"},
      {{"sync", "--limit", "2147483648"}, "out of range"},
      {{"sync", "--limit"}, "needs a value"},
      {{"snapshot", "--timeout", "-1"}, "--timeout: '-1' is out of range"},
      {{"snapshot", "--timeout", "nan"}, "--timeout"},
      {{"snapshot", "--timeout", "1e7"}, "out of range"},
      {{"snapshot", "--timeout", "1,5"}, "not a number"},
      {{"sync", "--read-after", "inf"}, "--read-after"},
      {{"sync", "--watch", "0"}, "--watch"},
      {{"snapshot", "--format", "xml"}, "--format"},
      {{"snapshot", "--limit", "3"}, "does not apply to snapshot"},
      {{"info", "extra"}, "unexpected argument 'extra'"},
      {{"info", "--virtual-time", "--motion", "iio"}, "--virtual-time"},
      {{"info", "--virtual-time", "--location", "gpsd"}, "--virtual-time"},
      {{"info", "--location", "gpsd=nohost"}, "HOST:PORT"},
      {{"info", "--scenario", missing}, "missing.json"},
      {{"info", "--scenario", directory}, directory},
      {{"info", "--scenario", malformed}, "line 3, column 1"},
      {{"snapshot", "--virtual-time", "--scenario", garbage}, "garbage.json"},
      {{"snapshot", "--virtual-time", "--scenario", huge}, "huge.json"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const ChildRun result = run(c.args);
    EXPECT_EQ(result.status(), 2);
    EXPECT_THAT(result.out, IsEmpty());
    EXPECT_THAT(result.err, AllOf(StartsWith("pemdor-sensors: "), HasSubstr(c.message)));
    EXPECT_EQ(lines(result.err).size(), 1U) << result.err;
  }
}

TEST_F(PemdorSensorsTest, HelpAndVersionPrintAndNoArgumentsIsAUsageError) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"help"}, {"sync", "--limit", "3", "--help"}}) {
    const ChildRun help = run(args);
    EXPECT_EQ(help.status(), 0);
    EXPECT_THAT(help.out, AllOf(StartsWith("Usage: pemdor-sensors"), HasSubstr("--read-after"),
                                HasSubstr("at most 60 s")));
  }
  // The version is the one of the library the host was built with, as major.minor.patch.
  const std::string version = std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) +
                              "." + std::to_string(kVersionPatch);
  EXPECT_EQ(kVersionText, version);
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"--version"}, {"info", "--version"}}) {
    const ChildRun printed = run(args);
    EXPECT_EQ(printed.status(), 0);
    EXPECT_EQ(printed.out, "pemdor-sensors " + version + "\n");
    EXPECT_THAT(printed.err, IsEmpty());
  }

  const ChildRun none = run({});
  EXPECT_EQ(none.status(), 2);
  EXPECT_THAT(none.out, IsEmpty());
  EXPECT_THAT(none.err, StartsWith("Usage: pemdor-sensors"));
}

TEST_F(PemdorSensorsTest, SyncPrintsTimestampedRecordsUpToTheLimit) {
  const ChildRun json = runVirtual({"sync", "--limit", "3", "--format", "json"}, kFixAt);
  ASSERT_EQ(json.status(), 0) << json.err;
  ASSERT_EQ(lines(json.out).size(), 1U);
  const auto data = nlohmann::ordered_json::parse(json.out);
  EXPECT_THAT(keysOf(data), ElementsAre("la", "lo", "Time", "source", "Accelerometer", "Gyroscope",
                                        "Magnetometer", "Gravity"));
  EXPECT_EQ(data["la"], "12.500000");
  EXPECT_EQ(data["source"], "simulated");
  EXPECT_THAT(data["Time"].get<std::string>(), StartsWith("1449000000"));
  const std::regex record(R"(-?\d+\.\d{6},-?\d+\.\d{6},-?\d+\.\d{6},1449000000\d{3})");
  for (const char* key : {"Accelerometer", "Gyroscope", "Magnetometer", "Gravity"}) {
    ASSERT_EQ(data[key].size(), 3U) << key;
    for (const auto& entry : data[key]) {
      EXPECT_TRUE(std::regex_match(entry.get<std::string>(), record)) << entry;
    }
  }

  const ChildRun text = runVirtual({"sync", "--limit", "2"}, kNoMagnetometer);
  ASSERT_EQ(text.status(), 0) << text.err;
  const auto out = lines(text.out);
  ASSERT_EQ(out.size(), 13U) << text.out;
  EXPECT_THAT(out[0], StartsWith("la: "));
  EXPECT_THAT(out[2], StartsWith("Time: "));
  EXPECT_EQ(out[3], "source: simulated");
  EXPECT_EQ(out[4], "Accelerometer:");
  EXPECT_THAT(out[5], StartsWith("  "));
  EXPECT_EQ(out[7], "Gyroscope:");
  EXPECT_EQ(out[10], "Gravity:");

  // A negative limit keeps nothing; a huge one is bounded by the capped default read time
  // (60 virtual seconds: 600 records per stream).
  const ChildRun negative = runVirtual({"sync", "--limit", "-5", "--format", "json"}, "{}");
  ASSERT_EQ(negative.status(), 0) << negative.err;
  EXPECT_THAT(keysOf(nlohmann::ordered_json::parse(negative.out)),
              ElementsAre("la", "lo", "Time", "source"));
  const ChildRun huge = runVirtual({"sync", "--limit", "2147483647", "--format", "json"}, "{}");
  ASSERT_EQ(huge.status(), 0) << huge.err;
  const auto hugeData = nlohmann::json::parse(huge.out);
  EXPECT_NEAR(static_cast<double>(hugeData["Accelerometer"].size()), 600.0, 2.0);
}

// A run without a fix says so; a fix replayed from a recording names the provider recorded.
TEST_F(PemdorSensorsTest, SyncAndSnapshotSayWhereTheFixCameFrom) {
  const std::string refused = R"({"location": {"authorizationStatus": 2}})";
  const ChildRun json = runVirtual({"sync", "--limit", "1", "--format", "json"}, refused);
  ASSERT_EQ(json.status(), 0) << json.err;
  const auto data = nlohmann::ordered_json::parse(json.out);
  EXPECT_THAT(keysOf(data), ElementsAre("source", "Accelerometer", "Gyroscope", "Magnetometer",
                                        "Gravity"));
  EXPECT_TRUE(data["source"].is_null());
  const ChildRun text = runVirtual({"sync", "--limit", "1"}, refused);
  EXPECT_THAT(lines(text.out), ::testing::Contains("source: (none)")) << text.out;
  const ChildRun snapshot = runVirtual({"snapshot", "--format", "json"}, refused);
  EXPECT_TRUE(nlohmann::json::parse(snapshot.out)["source"].is_null()) << snapshot.out;

  const ChildRun replayed = runVirtual(
      {"snapshot"},
      R"({"location": {"events": [{"after": 0.2, "locations": [[1, 2]], "source": "gpsd"}]}})");
  EXPECT_THAT(lines(replayed.out), ::testing::Contains("source: gpsd")) << replayed.out;
}

TEST_F(PemdorSensorsTest, SyncWatchPrintsTheGrowingDataUntilTheRead) {
  const ChildRun result =
      runVirtual({"sync", "--watch", "0.25", "--read-after", "1", "--format", "json"}, "{}");
  ASSERT_EQ(result.status(), 0) << result.err;
  const auto out = lines(result.out);
  // Watch lines at 0.25, 0.5 and 0.75 s, then the read at 1 s.
  ASSERT_EQ(out.size(), 4U) << result.out;
  std::vector<std::size_t> counts;
  for (const auto& line : out) {
    const auto data = nlohmann::json::parse(line);
    counts.push_back(data.contains("Gyroscope") ? data["Gyroscope"].size() : 0U);
  }
  EXPECT_THAT(counts, ElementsAre(2U, 5U, 7U, 10U));
}

TEST_F(PemdorSensorsTest, RealTimeSnapshotCompletesAndDrawsProgressOnATerminalOnly) {
  // Real time, for the handover from the completion's thread; the assertions do not depend on
  // how long it takes.
  const std::string scenario = writeFile("real.json", "{}");
  ChildRunOptions onTerminal;
  onTerminal.stderrIsTerminal = true;
  const ChildRun drawn = run({"snapshot", "--scenario", scenario}, onTerminal);
  ASSERT_EQ(drawn.status(), 0) << drawn.err;
  EXPECT_EQ(lines(drawn.out).size(), 4U);
  EXPECT_THAT(drawn.err, AllOf(HasSubstr("\raccelerometer "), HasSubstr("/10  gyroscope "),
                               HasSubstr("/10 s")));
  // The display is cleared at the end: the last thing written returns to the line's start.
  EXPECT_EQ(drawn.err.back(), '\r');

  const ChildRun plain = run({"snapshot", "--format", "json", "--scenario", scenario});
  ASSERT_EQ(plain.status(), 0) << plain.err;
  EXPECT_THAT(plain.err, IsEmpty());
  EXPECT_EQ(nlohmann::json::parse(plain.out)["json"].is_string(), true);
}

// Builds de_DE.UTF-8 into `dir` when the system does not have it; false when it cannot.
bool germanLocaleIn(const std::filesystem::path& dir, std::map<std::string, std::string>& env) {
  env["LC_ALL"] = "de_DE.UTF-8";
  if (locale_t installed = ::newlocale(LC_ALL_MASK, "de_DE.UTF-8", nullptr)) {
    ::freelocale(installed);
    return true;
  }
  const std::string command =
      "localedef -i de_DE -f UTF-8 '" + (dir / "de_DE.UTF-8").string() + "' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) return false;
  env["LOCPATH"] = dir.string();
  return true;
}

TEST_F(PemdorSensorsTest, OutputUsesADecimalPointInAGermanLocale) {
  ChildRunOptions options;
  if (!germanLocaleIn(dir_, options.environment)) {
    PEMDOR_SKIP_OR_FAIL_IN_CI("no de_DE.UTF-8 locale and localedef cannot make one");
  }

  const ChildRun snapshot = runVirtual({"snapshot", "--format", "json"}, kFixAt, options);
  ASSERT_EQ(snapshot.status(), 0) << snapshot.err;
  const auto line = nlohmann::json::parse(snapshot.out);
  EXPECT_EQ(line["latitude"], "12.500000");
  EXPECT_THAT(line["json"].get<std::string>(),
              AllOf(HasSubstr("."), ::testing::Not(HasSubstr("0,0"))));
  EXPECT_THAT(snapshot.out, HasSubstr("\"elapsed\":1.1"));

  const ChildRun sync = runVirtual({"sync", "--limit", "1"}, kFixAt, options);
  ASSERT_EQ(sync.status(), 0) << sync.err;
  EXPECT_THAT(sync.out, HasSubstr("la: 12.500000\n"));
  EXPECT_TRUE(std::regex_search(sync.out, std::regex(R"(\n  -?\d+\.\d{6},-?\d+\.\d{6},)")))
      << sync.out;

  const ChildRun bad = run({"snapshot", "--timeout", "1,5"}, options);
  EXPECT_EQ(bad.status(), 2);
}

}  // namespace
}  // namespace pemdor::test
