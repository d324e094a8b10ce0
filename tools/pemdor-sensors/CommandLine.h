// SPDX-License-Identifier: MIT
#pragma once

// The command line of pemdor-sensors: the commands, their options and the usage text. Arguments
// are parsed with CLI11; every refusal is a UsageError whose message names the option or the
// argument and quotes the bad value.

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "pemdor/PemdorSensorTable.h"
#include "pemdor/platform/Providers.h"

namespace CLI {
class App;
}

namespace pemdor::host {

class HostSession;

enum class Command { help, version, info, snapshot, sync, record };
enum class OutputFormat { text, json };
enum class MotionChoice { automatic, sim, iio, evdev };
/// combined: several services at once, listed in Options::locationMembers.
enum class LocationChoice { automatic, sim, gpsd, geoclue, none, combined };

/// Every value the command line can set, with its default.
struct Options {
  Command command = Command::help;
  std::optional<std::string> scenarioPath;
  bool virtualTime = false;
  MotionChoice motion = MotionChoice::automatic;
  LocationChoice location = LocationChoice::automatic;
  /// For LocationChoice::combined: the services used together (sim, gpsd or geoclue, each at
  /// most once), in the order of the command line.
  std::vector<LocationChoice> locationMembers;
  GpsdEndpoint gpsd;
  OutputFormat format = OutputFormat::text;
  double timeoutSeconds = 30.0;
  std::int32_t limit = kDefaultSyncLimit;
  /// nullopt: defaultReadAfterSeconds(limit).
  std::optional<double> readAfterSeconds;
  std::optional<double> watchSeconds;
  /// record: how long, and where the scenario goes ("-": standard output).
  std::optional<double> durationSeconds;
  std::optional<std::string> outPath;
  /// sync and record: where the picture goes, and whether existing outputs may be replaced.
  std::optional<std::string> plotPath;
  bool force = false;
};

/// One command of the host. A new command is one more row of the host's command table: its
/// name, a function declaring its options and a function running it.
struct CommandEntry {
  Command command;
  const char* name;
  /// Declares the command's options on its CLI11 subcommand, writing into `options`.
  void (*declareOptions)(CLI::App& command, Options& options);
  /// Runs the command on the session built for it and returns the exit status.
  int (*run)(const Options& options, HostSession& session);
};

/// The options every command that runs the collector takes: --scenario, --virtual-time,
/// --motion and --location.
void declareProviderOptions(CLI::App& command, Options& options);
/// The provider options and that of info: --format.
void declareInfoOptions(CLI::App& command, Options& options);
/// The provider options and those of snapshot: --format and --timeout.
void declareSnapshotOptions(CLI::App& command, Options& options);
/// The provider options and those of sync: --limit, --read-after, --watch and --format.
void declareSyncOptions(CLI::App& command, Options& options);

/// A command line that cannot be run (exit status 2). `hint` asks the caller to point at --help.
class UsageError : public std::runtime_error {
 public:
  explicit UsageError(const std::string& message, bool hint = true)
      : std::runtime_error(message), hint_(hint) {}
  bool hint() const { return hint_; }

 private:
  bool hint_;
};

/// Time options accept finite seconds from 0 up to this.
inline constexpr double kMaxSeconds = 1e6;
/// A sync run in virtual time prints at most this many --watch lines.
inline constexpr double kMaxWatchLines = 10000;
/// A sync run in virtual time gathers at most this many records in all.
inline constexpr double kMaxVirtualSyncRecords = 4e6;
/// The default read-after time is never longer than this, whatever the limit.
inline constexpr double kMaxDefaultReadAfterSeconds = 60.0;
/// --watch intervals shorter than the update interval would only repeat the same data.
inline constexpr double kMinWatchSeconds = kSensorUpdateInterval;

/// Parses the arguments after the program name against `commands`. A "--help" or "-h"
/// anywhere, or the command "help", gives Command::help. Given twice, an option's last value
/// counts. Throws UsageError.
Options parseCommandLine(const std::vector<std::string>& args,
                         std::span<const CommandEntry> commands);

/// Quotes an argument for a message, cut to 80 characters with its length after it.
std::string quoteArgument(std::string_view text);

/// How long a sync run waits before reading when --read-after is not given: long enough for
/// `limit` readings per stream ((limit + 1) x the update interval + 0.5 s, a negative limit
/// counting as 0), at least 1 s and at most kMaxDefaultReadAfterSeconds.
double defaultReadAfterSeconds(std::int32_t limit);

/// Throws UsageError for a virtual-time sync run that would gather more than
/// kMaxVirtualSyncRecords records.
void checkVirtualSyncSize(const Options& options);

/// The text printed by --help.
std::string usageText();

}  // namespace pemdor::host
