// SPDX-License-Identifier: MIT
// The sample host given absurd arguments and inputs. Every run must end by itself within a
// wall-clock limit and never by a signal. A refusal is exit status 2, nothing on stdout, and
// one line on stderr that names what was wrong.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "ChildRun.h"

namespace pemdor::test {
namespace {

namespace fs = std::filesystem;

const std::string kHost = PEMDOR_SENSORS_BINARY;
// util-linux's setpriv, which runs a program as another user (Debian installs it everywhere).
constexpr const char* kSetpriv = "/usr/bin/setpriv";
// A guard against hangs, not a speed target: each run here ends in well under a second.
constexpr double kLimitSeconds = 20.0;

struct Refusal {
  std::vector<std::string> args;
  /// Text the message must hold: the option, the file or the problem it is about.
  std::string mentions;
};

std::string shown(const std::vector<std::string>& args) {
  std::string text;
  for (const auto& arg : args) {
    // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict overlap inside
    // libstdc++ for a string literal concatenated with a temporary string.
    if (!text.empty()) text += ' ';
    text += arg.substr(0, 40);
  }
  return text.substr(0, 200);
}

// Runs the host with the refusal's arguments and checks that it refuses them. A non-empty
// `launcher` (a program and its arguments) runs the host in its place, as its last argument.
void expectRefused(const Refusal& refusal, const std::vector<std::string>& launcher = {}) {
  SCOPED_TRACE(shown(refusal.args));
  std::string program = kHost;
  std::vector<std::string> args = refusal.args;
  if (!launcher.empty()) {
    program = launcher.front();
    args.assign(launcher.begin() + 1, launcher.end());
    args.push_back(kHost);
    args.insert(args.end(), refusal.args.begin(), refusal.args.end());
  }
  const ChildRun run = runChild(program, args, kLimitSeconds);
  ASSERT_EQ(run.end, ChildRun::End::exited) << describe(run);
  const std::string err = run.err.substr(0, 400);
  EXPECT_EQ(run.code, 2) << err;
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(run.err.starts_with("pemdor-sensors: ")) << err;
  EXPECT_TRUE(run.err.ends_with("\n")) << err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << err;
  EXPECT_NE(run.err.find(refusal.mentions), std::string::npos) << err;
}

// Runs a command that must succeed and print one JSON object.
nlohmann::json runForJson(const std::vector<std::string>& args) {
  const ChildRun run = runChild(kHost, args, kLimitSeconds);
  EXPECT_EQ(run.end, ChildRun::End::exited) << describe(run);
  EXPECT_EQ(run.code, 0) << run.err.substr(0, 400);
  const auto value = nlohmann::json::parse(run.out, nullptr, false);
  EXPECT_TRUE(value.is_object()) << run.out.substr(0, 400);
  return value;
}

TEST(AbsurdHost, RefusesAbsurdNumbers) {
  const std::vector<Refusal> cases = {
      {{"sync", "--limit", "99999999999999"}, "--limit: '99999999999999' is out of range"},
      {{"sync", "--limit", "-99999999999"}, "--limit: '-99999999999' is out of range"},
      {{"sync", "--limit=99999999999999999999999"}, "--limit"},
      {{"sync", "--limit", "1e9"}, "--limit: '1e9'"},
      {{"sync", "--limit", ""}, "--limit: ''"},
      {{"sync", "--limit", "0x10"}, "--limit"},
      {{"sync", "--limit", " 5"}, "--limit"},
      {{"sync", "--virtual-time", "--read-after", "1000000", "--watch", "0.1"},
       "would print 10000000 lines"},
      {{"sync", "--limit", "+-5"}, "--limit: '+-5' is not a whole number"},
      {{"sync", "--limit", std::string(1000, '7')}, "...' (1000 characters)"},
      {{"snapshot", "--timeout", "1e300"}, "--timeout: '1e300' is out of range"},
      {{"snapshot", "--timeout", "-1"}, "--timeout: '-1' is out of range"},
      {{"snapshot", "--timeout", "nan"}, "--timeout: 'nan'"},
      {{"snapshot", "--timeout", "-inf"}, "--timeout: '-inf'"},
      {{"snapshot", "--timeout", "1e-400"}, "--timeout"},
      {{"snapshot", "--timeout", "1000000.5"}, "--timeout"},
      {{"sync", "--read-after", "inf"}, "--read-after: 'inf'"},
      {{"sync", "--read-after", "NaN"}, "--read-after"},
      {{"sync", "--read-after", "-0.001"}, "--read-after"},
      {{"sync", "--watch", "0"}, "--watch: '0'"},
      {{"sync", "--watch", "-0.1"}, "--watch"},
      {{"sync", "--watch", "nan"}, "--watch"},
      // Valid one by one, but in virtual time together they would gather 40 million records.
      {{"sync", "--virtual-time", "--limit", "2147483647", "--read-after", "1000000"},
       "--read-after"},
  };
  for (const auto& c : cases) expectRefused(c);
}

TEST(AbsurdHost, RefusesMalformedCommandLines) {
  const std::vector<Refusal> cases = {
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{""}, "unknown command"},
      {{"--limit", "3"}, "expected a command"},
      {{"sync", "--colour", "red"}, "unknown option '--colour'"},
      {{"sync", "stray"}, "unexpected argument 'stray'"},
      {{"sync", "--limit"}, "'--limit' needs a value"},
      {{"snapshot", "--timeout"}, "'--timeout' needs a value"},
      {{"info", "--scenario"}, "'--scenario' needs a value"},
      {{"snapshot", "--limit", "5"}, "does not apply to snapshot"},
      {{"sync", "--virtual-time=yes"}, "takes no value"},
      {{"sync", "--format", "xml"}, "--format"},
      {{"sync", "--virtual-time", "--motion", "iio"}, "--motion iio"},
      {{"sync", "--virtual-time", "--location", "gpsd"}, "--location gpsd"},
      {{"info", "--location", "gpsd=localhost:99999"}, "--location gpsd"},
      // No command takes plain arguments: "--" ends nothing, and a second command is a stray.
      {{"sync", "--"}, "unknown option '--'"},
      {{"sync", "--", "x"}, "unknown option '--'"},
      {{"sync", "info"}, "unexpected argument 'info'"},
      {{"sync", "--limit="}, "'--limit' needs a value"},
  };
  for (const auto& c : cases) expectRefused(c);
}

// The largest single argument Linux passes is 128 KiB; ten of 100,000 bytes make 1 MB.
TEST(AbsurdHost, LongArgumentsGetOneLineMessages) {
  const std::string digits(100'000, '7');
  const std::string word(100'000, 'x');
  std::vector<std::string> many(10, word);
  expectRefused({many, "unknown command"});
  many.insert(many.begin(), "sync");
  expectRefused({many, "unexpected argument"});
  expectRefused({{"sync", "--limit", digits}, "--limit"});
  expectRefused({{"sync", "--format", word}, "--format"});
  expectRefused({{"sync", "--scenario", "/tmp/" + word}, "cannot read"});

  std::string deepPath;
  for (int i = 0; i < 50'000; ++i) deepPath += "a/";
  expectRefused({{"sync", "--scenario", deepPath}, deepPath.substr(0, 40)});
}

// Given twice, an option's last value counts.
TEST(AbsurdHost, RepeatedOptionsTakeTheLastValue) {
  const auto data =
      runForJson({"sync", "--virtual-time", "--limit", "1", "--limit", "3", "--read-after", "0.2",
                  "--read-after", "5", "--format", "text", "--format", "json"});
  for (const char* list : {"Accelerometer", "Gyroscope", "Magnetometer", "Gravity"}) {
    ASSERT_TRUE(data.contains(list)) << list;
    EXPECT_EQ(data[list].size(), 3u) << list;
  }
}

// The limit bounds the lists, it is not their size: a run of 0.5 virtual seconds holds the five
// or so readings that arrived, whatever the limit.
TEST(AbsurdHost, ExtremeLimitsKeepOnlyWhatArrived) {
  const std::vector<std::string> args = {"sync",         "--limit", "2147483647", "--virtual-time",
                                         "--read-after", "0.5",     "--format",   "json"};
  const ChildRun run = runChild(kHost, args, kLimitSeconds);
  ASSERT_EQ(run.end, ChildRun::End::exited) << describe(run);
  ASSERT_EQ(run.code, 0) << run.err.substr(0, 400);
  EXPECT_LT(run.maxRssKiB, 512 * 1024);
  const auto data = nlohmann::json::parse(run.out, nullptr, false);
  for (const char* list : {"Accelerometer", "Gyroscope", "Magnetometer", "Gravity"}) {
    ASSERT_TRUE(data.contains(list)) << list << ": " << run.out.substr(0, 400);
    EXPECT_GE(data[list].size(), 4u) << list;
    EXPECT_LE(data[list].size(), 6u) << list;
  }

  // The smallest limit keeps none.
  const auto none = runForJson({"sync", "--limit", "-2147483648", "--virtual-time", "--read-after",
                                "0.5", "--format", "json"});
  for (const char* list : {"Accelerometer", "Gyroscope", "Magnetometer", "Gravity"}) {
    EXPECT_FALSE(none.contains(list)) << list;
  }
}

class AbsurdScenarioFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::path(::testing::TempDir()) /
           ("pemdor-absurd-" + std::string(info->name()) + "-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(dir_ / "unreadable.json", fs::perms::owner_all, ignored);
    fs::remove_all(dir_, ignored);
  }

  std::string write(const std::string& name, const std::string& content) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  // Bytes from a fixed shuffle key, so that a failure repeats; zero bytes only when asked.
  static std::string garbage(std::size_t size, bool withZeros) {
    std::mt19937 generator(20240611);
    std::uniform_int_distribution<int> byte(withZeros ? 0 : 1, 255);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(static_cast<unsigned char>(byte(generator)));
    return bytes;
  }

  static Refusal scenario(const std::string& path, const std::string& mentions) {
    return {{"sync", "--virtual-time", "--scenario", path}, mentions};
  }

  fs::path dir_;
};

TEST_F(AbsurdScenarioFiles, RefusesWhatIsNotAScenario) {
  const std::string missing = (dir_ / "missing.json").string();
  expectRefused(scenario(missing, missing + ": no such file"));
  expectRefused(scenario(dir_.string(), dir_.string() + ": is a directory"));
  expectRefused(scenario("", "--scenario: expected a file name"));
  expectRefused(scenario("/dev/zero", "/dev/zero: is not a regular file"));

  // Opening a FIFO for reading blocks until a writer comes: the host must not open it.
  const std::string fifo = (dir_ / "fifo.json").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  expectRefused(scenario(fifo, fifo + ": is not a regular file"));

  const std::string loop = (dir_ / "loop.json").string();
  fs::create_symlink(loop, loop);
  expectRefused(scenario(loop, loop + ": cannot read"));

  // A sparse file of 100 MB is refused by its size, not read.
  const std::string huge = write("huge.json", "");
  ASSERT_EQ(::truncate(huge.c_str(), off_t{100} << 20), 0);
  expectRefused(scenario(huge, huge + ": file of 104857600 bytes is larger than"));

  expectRefused(scenario(write("empty.json", ""), "empty"));
  std::string binary = garbage(65536, true);
  binary[1000] = '\0';
  expectRefused(scenario(write("binary.json", binary), "binary data"));
  // Line breaks and control bytes in the text must not break the message into lines.
  const std::string noise = write("noise.json", garbage(65536, false));
  expectRefused(scenario(noise, noise + ": line 1, column 1:"));
  expectRefused(scenario(write("deep.json", std::string(100'000, '[')), "nested deeper"));
  std::string deepObjects;
  for (int i = 0; i < 50'000; ++i) deepObjects += "{\"a\":";
  expectRefused(scenario(write("deep-objects.json", deepObjects), "nested deeper"));
  expectRefused(scenario(write("array.json", "[1, 2, 3]"), "expected an object"));
}

TEST_F(AbsurdScenarioFiles, RefusesAnUnreadableScenario) {
  const std::string path = write("unreadable.json", "{}");
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  if (::geteuid() != 0) {
    expectRefused(scenario(path, path + ": cannot open"));
    return;
  }
  // Root reads a file whatever its mode, so as root the host runs as the unprivileged user
  // "nobody" instead. The folder is opened up for it, so that only the file's own mode stands
  // in the way.
  ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
  ASSERT_EQ(::access(kSetpriv, X_OK), 0) << kSetpriv << " is needed to run the host as nobody";
  const std::vector<std::string> asNobody = {kSetpriv, "--reuid=65534", "--regid=65534",
                                             "--clear-groups", "--"};
  expectRefused(scenario(path, path + ": cannot open"), asNobody);
  // The same user plays the same file (an empty object: every default) once its mode allows
  // it, so the refusal came from the mode.
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  std::vector<std::string> args(asNobody.begin() + 1, asNobody.end());
  args.push_back(kHost);
  const auto play = scenario(path, "").args;
  args.insert(args.end(), play.begin(), play.end());
  const ChildRun run = runChild(kSetpriv, args, kLimitSeconds);
  EXPECT_EQ(run.status(), 0) << describe(run) << ": " << run.err.substr(0, 400);
}

}  // namespace
}  // namespace pemdor::test
