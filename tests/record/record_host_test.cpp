// SPDX-License-Identifier: MIT
// pemdor-sensors record and --plot, end to end: refusals that leave no file behind, the scenario
// on standard output, the progress line, and the pictures.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "ChildRun.h"
#include "Plot.h"
#include "SkipOrFail.h"

namespace pemdor::test {
namespace {

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

constexpr double kLimitSeconds = 120.0;

// An absent accelerometer reading, no magnetometer, and a fix at 0.3 s.
constexpr const char* kDevice = R"({"clock": {"start": 1449000000.1234},
    "motion": {"accelerometer": {"readings": [[0.5, -0.25, -1.0], null, [0.25, 0.5, -0.75]]},
               "magnetometer": {"available": false}},
    "location": {"events": [{"after": 0.3, "locations": [[12.5, -45.25]]}]}})";

class RecordHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "pemdor-record-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    device_ = writeFile("device.json", kDevice);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string writeFile(const std::string& name, const std::string& content) {
    const auto path = dir_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  static std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

  // The names in the test's folder, to see that nothing was left behind.
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  static ChildRun run(const std::vector<std::string>& args, const ChildRunOptions& options = {}) {
    return runChild(PEMDOR_SENSORS_BINARY, args, kLimitSeconds, options);
  }

  // Runs pemdor-sensors through the shell, for limits and redirections set up there.
  static ChildRun runInShell(const std::string& setup, const std::vector<std::string>& args) {
    std::vector<std::string> shellArgs{"-c", setup + "; exec \"$0\" \"$@\"", PEMDOR_SENSORS_BINARY};
    shellArgs.insert(shellArgs.end(), args.begin(), args.end());
    return runChild("/bin/sh", shellArgs, kLimitSeconds);
  }

  std::vector<std::string> virtualRecord(std::vector<std::string> extra) const {
    std::vector<std::string> args{"record", "--virtual-time", "--scenario", device_};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  std::filesystem::path dir_;
  std::string device_;
};

// Exit 2, nothing on stdout, one line on stderr that says `what`.
void expectRefusal(const ChildRun& run, const std::string& what) {
  EXPECT_EQ(run.status(), 2) << describe(run) << ": " << run.err;
  EXPECT_THAT(run.out, IsEmpty());
  EXPECT_THAT(run.err, AllOf(StartsWith("pemdor-sensors: "), HasSubstr(what)));
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
}

TEST_F(RecordHostTest, RefusalsExit2AndLeaveNoFileBehind) {
  const std::string out = (dir_ / "out.json").string();
  const std::string existing = writeFile("existing.json", "keep me");
  const std::string notAFolder = writeFile("plain", "");
  const std::vector<std::string> before{"device.json", "existing.json", "plain"};

  // Durations: negative, not finite, zero, over an hour, not a number; and missing options.
  for (const char* duration : {"-1", "nan", "inf", "-inf", "0", "3601", "1e400", "ten"}) {
    SCOPED_TRACE(duration);
    expectRefusal(run(virtualRecord({"--duration", duration, "--out", out})), "--duration");
  }
  expectRefusal(run(virtualRecord({"--out", out})), "--duration");
  expectRefusal(run(virtualRecord({"--duration", "1"})), "--out");

  // An existing file is kept as it was.
  expectRefusal(run(virtualRecord({"--duration", "1", "--out", existing})),
                "exists; not replacing it without --force");
  expectRefusal(run(virtualRecord({"--duration", "1", "--out", out, "--plot", existing})),
                "exists; not replacing it without --force");
  EXPECT_EQ(readFile(existing), "keep me");

  // Places that cannot be written: found before the recording starts.
  expectRefusal(run(virtualRecord({"--duration", "1", "--out", (dir_ / "no/such/dir.json")})),
                "cannot write the scenario to " + (dir_ / "no/such/dir.json").string() +
                    ": No such file or directory");
  expectRefusal(run(virtualRecord({"--duration", "1", "--out", notAFolder + "/out.json"})),
                "Not a directory");
  expectRefusal(run(virtualRecord({"--duration", "1", "--out", dir_.string()})), "is a directory");
  expectRefusal(run(virtualRecord({"--duration", "1", "--out", out, "--plot", "/proc/x.svg"})),
                "cannot write the picture to /proc/x.svg");

  // A file system that runs out of room while the scenario is written (a file size limit of
  // 2 KiB: the write fails with EFBIG, as a full disk fails with ENOSPC), and a full standard
  // output.
  expectRefusal(
      runInShell("ulimit -f 4; trap '' XFSZ", virtualRecord({"--duration", "3", "--out", out})),
      "cannot write the scenario to " + out + ": File too large");
  expectRefusal(runInShell("exec >/dev/full", virtualRecord({"--duration", "3", "--out", "-"})),
                "cannot write the scenario to standard output: No space left on device");

  EXPECT_EQ(files(), before);

  // --force replaces, and only then.
  const ChildRun forced = run(virtualRecord({"--duration", "1", "--out", existing, "--force"}));
  ASSERT_EQ(forced.status(), 0) << forced.err;
  EXPECT_THAT(readFile(existing), StartsWith("{\n  \"clock\": {\"start\": 1449000000.1234},"));
  EXPECT_EQ(files(), before);
}

TEST_F(RecordHostTest, ScenarioOnStandardOutputReplaysLikeTheDevice) {
  const ChildRun recorded = run(virtualRecord({"--duration", "2", "--out", "-"}));
  ASSERT_EQ(recorded.status(), 0) << recorded.err;
  EXPECT_THAT(recorded.err, IsEmpty());
  const auto scenario = nlohmann::json::parse(recorded.out);
  EXPECT_EQ(scenario["motion"]["accelerometer"]["readings"].size(), 20U);
  EXPECT_TRUE(scenario["motion"]["accelerometer"]["readings"][1].is_null());
  EXPECT_EQ(scenario["motion"]["magnetometer"],
            nlohmann::json({{"available", false}, {"repeat", false}}));
  EXPECT_EQ(scenario["location"]["events"],
            nlohmann::json::parse(R"([{"after": 0.3, "locations": [[12.5, -45.25]]}])"));

  const std::string replay = writeFile("replay.json", recorded.out);
  const std::vector<std::string> sync{"sync", "--virtual-time", "--format", "json",      "--limit",
                                      "15",   "--read-after",   "1.8",      "--scenario"};
  auto onDevice = sync;
  onDevice.push_back(device_);
  auto onReplay = sync;
  onReplay.push_back(replay);
  const ChildRun expected = run(onDevice);
  const ChildRun replayed = run(onReplay);
  ASSERT_EQ(expected.status(), 0) << expected.err;
  EXPECT_EQ(replayed.out, expected.out);
  EXPECT_THAT(expected.out, AllOf(HasSubstr("\"la\":\"12.500000\""),
                                  HasSubstr("\"0.500000,-0.250000,-1.000000,1449000000223\"")));
}

TEST_F(RecordHostTest, RealTimeRecordingShowsProgressOnATerminalOnly) {
  ChildRunOptions onTerminal;
  onTerminal.stderrIsTerminal = true;
  const std::string out = (dir_ / "real.json").string();
  const ChildRun drawn =
      run({"record", "--scenario", device_, "--duration", "0.6", "--out", out}, onTerminal);
  ASSERT_EQ(drawn.status(), 0) << drawn.err;
  EXPECT_THAT(drawn.err, AllOf(HasSubstr("\rrecording "), HasSubstr("/0.6 s  accelerometer "),
                               HasSubstr("magnetometer n/a"), HasSubstr("location events ")));
  EXPECT_EQ(drawn.err.back(), '\r');
  const auto scenario = nlohmann::json::parse(readFile(out));
  // Real time: about six readings per stream; the device's clock, which started at the
  // scenario's start when the device was made, a moment before the recording.
  EXPECT_GE(scenario["motion"]["gyroscope"]["readings"].size(), 3U);
  EXPECT_GE(scenario["clock"]["start"].get<double>(), 1449000000.1234);
  EXPECT_LT(scenario["clock"]["start"].get<double>(), 1449000000.1234 + 5.0);

  const ChildRun plain = run({"record", "--scenario", device_, "--duration", "0.3", "--out", "-"});
  ASSERT_EQ(plain.status(), 0) << plain.err;
  EXPECT_THAT(plain.err, IsEmpty());
}

// What svg_series.py found in a picture.
struct Picture {
  nlohmann::json lines;
  std::vector<std::string> texts;
};

Picture readPicture(const std::string& path) {
  const ChildRun parsed =
      runChild("/usr/bin/python3", {PEMDOR_SOURCE_DIR "/tests/record/svg_series.py", path}, 60.0);
  EXPECT_EQ(parsed.status(), 0) << "not a well-formed SVG file: " << parsed.err;
  if (parsed.status() != 0) return {};
  const auto json = nlohmann::json::parse(parsed.out);
  return {json["lines"], json["texts"].get<std::vector<std::string>>()};
}

// The colours of the x, y and z series and of the fix marker.
constexpr const char* kX = "#D62728";
constexpr const char* kY = "#008C3C";
constexpr const char* kZ = "#1F5AC8";
constexpr const char* kFix = "#E67800";

TEST_F(RecordHostTest, PicturesHoldEachPanelsThreeSeriesAndTheFix) {
  if (!host::plotsBuilt()) {
    PEMDOR_SKIP_OR_FAIL_IN_CI("this build has no pictures (PLplot not found)");
  }
  if (::access("/usr/bin/python3", X_OK) != 0) {
    PEMDOR_SKIP_OR_FAIL_IN_CI("python3 is needed to read the pictures");
  }
  // A German locale must not put commas into the numbers of the SVG.
  ChildRunOptions german;
  german.environment["LC_ALL"] = "de_DE.UTF-8";

  const std::string recordPicture = (dir_ / "record.svg").string();
  const ChildRun recorded =
      run(virtualRecord({"--duration", "2.05", "--out", "-", "--plot", recordPicture}), german);
  ASSERT_EQ(recorded.status(), 0) << recorded.err;
  const Picture record = readPicture(recordPicture);
  // Twenty readings per stream; one accelerometer reading in three is absent; no magnetometer.
  for (const char* colour : {kX, kY, kZ}) {
    EXPECT_EQ(record.lines[colour], nlohmann::json({13, 20, 20})) << colour;
  }
  EXPECT_TRUE(record.lines.contains(kFix));
  EXPECT_THAT(record.texts,
              AllOf(Contains("pemdor-sensors record, 2015-12-01 20:00:00 UTC"),
                    Contains("motion: simulated, location: simulated"),
                    Contains("fix 12.500000, -45.250000 at 0.30 s"), Contains("not available"),
                    Contains("accelerometer"), Contains("gyroscope"), Contains("magnetometer"),
                    Contains("gravity (device motion)"), Contains("time since the start (s)"),
                    Contains("g"), Contains("rad/s"), Contains("µT")));

  const std::string syncPicture = (dir_ / "sync.svg").string();
  const ChildRun synced =
      run({"sync", "--virtual-time", "--scenario", device_, "--limit", "7", "--plot", syncPicture},
          german);
  ASSERT_EQ(synced.status(), 0) << synced.err;
  const Picture sync = readPicture(syncPicture);
  // A sync run records an absent reading as zeros, so every stream has its seven.
  for (const char* colour : {kX, kY, kZ}) {
    EXPECT_EQ(sync.lines[colour], nlohmann::json({7, 7, 7})) << colour;
  }
  EXPECT_THAT(sync.texts, AllOf(Contains("pemdor-sensors sync, 2015-12-01 20:00:00 UTC"),
                                Contains("fix 12.500000, -45.250000 at 0.30 s")));

  // The picture follows the same rules as the scenario: not replaced without --force.
  const ChildRun again =
      run({"sync", "--virtual-time", "--scenario", device_, "--plot", syncPicture});
  EXPECT_EQ(again.status(), 2);
  EXPECT_THAT(again.err, HasSubstr("not replacing it without --force"));
}

}  // namespace
}  // namespace pemdor::test
