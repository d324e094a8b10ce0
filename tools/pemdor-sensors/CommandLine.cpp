// SPDX-License-Identifier: MIT
#include "CommandLine.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <initializer_list>
#include <limits>
#include <system_error>
#include <utility>

#include "Output.h"

namespace pemdor::host {
namespace {

double parseSeconds(const std::string& option, std::string_view text) {
  double value = 0.0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec == std::errc::invalid_argument || ptr != end) {
    throw UsageError(option + ": " + quoteArgument(text) + " is not a number of seconds");
  }
  if (ec == std::errc{} && !std::isfinite(value)) {
    throw UsageError(option + ": " + quoteArgument(text) + " is not a finite number");
  }
  if (ec == std::errc::result_out_of_range || value < 0.0 || value > kMaxSeconds) {
    throw UsageError(option + ": " + quoteArgument(text) + " is out of range (seconds from 0 to " +
                     formatFixed(kMaxSeconds, 0) + ")");
  }
  return value + 0.0;  // -0 reads as 0
}

std::int32_t parseLimit(std::string_view text) {
  std::string_view digits = text;
  // One sign at most: a leading '+' is dropped, and a '-' may not follow it.
  if (digits.starts_with('+')) {
    digits.remove_prefix(1);
    if (digits.starts_with('-')) digits = {};
  }
  std::int64_t wide = 0;
  const char* end = digits.data() + digits.size();
  const auto [ptr, ec] = std::from_chars(digits.data(), end, wide);
  if (digits.empty() || ec == std::errc::invalid_argument || ptr != end) {
    throw UsageError("--limit: " + quoteArgument(text) + " is not a whole number");
  }
  if (ec == std::errc::result_out_of_range || wide < std::numeric_limits<std::int32_t>::min() ||
      wide > std::numeric_limits<std::int32_t>::max()) {
    throw UsageError("--limit: " + quoteArgument(text) +
                     " is out of range (a 32-bit signed integer, -2147483648 to 2147483647)");
  }
  return static_cast<std::int32_t>(wide);
}

// "a, b or c": how a list of names reads in a message.
template <typename Items, typename NameOf>
std::string spokenList(const Items& items, NameOf nameOf) {
  std::string text;
  std::size_t left = std::size(items);
  for (const auto& item : items) {
    text += std::string(nameOf(item)) + (--left > 1 ? ", " : left == 1 ? " or " : "");
  }
  return text;
}

// The value of an option that takes one of a few words. What a name shows in brackets is for
// the message only ("gpsd[=HOST:PORT]").
template <typename T>
T choose(const std::string& option, std::string_view text,
         std::initializer_list<std::pair<std::string_view, T>> choices) {
  for (const auto& [name, value] : choices) {
    if (name.substr(0, name.find('[')) == text) return value;
  }
  throw UsageError(option + ": expected " +
                   spokenList(choices, [](const auto& choice) { return choice.first; }) + ", got " +
                   quoteArgument(text));
}

// HOST:PORT, or [HOST]:PORT for an IPv6 address; the port is a number from 1 to 65535.
GpsdEndpoint parseEndpoint(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  std::string_view host = text.substr(0, colon == std::string_view::npos ? 0 : colon);
  const std::string_view port =
      colon == std::string_view::npos ? std::string_view{} : text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  unsigned number = 0;
  const auto [ptr, ec] = std::from_chars(port.data(), port.data() + port.size(), number);
  if (host.empty() || port.empty() || ec != std::errc{} || ptr != port.data() + port.size() ||
      number < 1 || number > 65535) {
    throw UsageError("--location gpsd=HOST:PORT: cannot read " + quoteArgument(text) +
                     " as a host and a port from 1 to 65535");
  }
  return GpsdEndpoint{std::string(host), std::string(port)};
}

// The items of a comma-separated list; one item when there is no comma.
std::vector<std::string_view> splitList(std::string_view text) {
  std::vector<std::string_view> items;
  for (;;) {
    const std::size_t comma = text.find(',');
    items.push_back(text.substr(0, comma));
    if (comma == std::string_view::npos) return items;
    text.remove_prefix(comma + 1);
  }
}

// One service of --location; gpsd=HOST:PORT also sets `endpoint`.
LocationChoice locationItem(std::string_view item, GpsdEndpoint& endpoint) {
  if (item.starts_with("gpsd=")) {
    endpoint = parseEndpoint(item.substr(5));
    return LocationChoice::gpsd;
  }
  return choose<LocationChoice>("--location", item,
                                {{"auto", LocationChoice::automatic},
                                 {"sim", LocationChoice::sim},
                                 {"gpsd[=HOST:PORT]", LocationChoice::gpsd},
                                 {"geoclue", LocationChoice::geoclue},
                                 {"none", LocationChoice::none}});
}

// Declares an option taking one value. Its handler runs as each occurrence is read, in the
// order of the command line, so the first bad value is the one reported and the last good one
// counts.
void valueOption(CLI::App& command, const std::string& name,
                 std::function<void(const std::string&)> handle) {
  command.add_option_function<std::string>(name, std::move(handle))->trigger_on_parse();
}

// Declares an option that takes no value; "--flag=value" is refused.
void flagOption(CLI::App& command, const std::string& name, std::function<void()> handle) {
  command.add_flag_callback(name, std::move(handle))->disable_flag_override()->trigger_on_parse();
}

void declareFormat(CLI::App& command, Options& options) {
  valueOption(command, "--format", [&options](const std::string& value) {
    options.format = choose<OutputFormat>(
        "--format", value, {{"text", OutputFormat::text}, {"json", OutputFormat::json}});
  });
}

// The first extra argument CLI11 left of `command` (plain arguments are collected apart), as a
// refusal: an option that another command takes, or an unknown option.
[[noreturn]] void refuseExtra(const CLI::App& app, const CLI::App& command,
                              std::span<const CommandEntry> commands) {
  std::string extra = command.remaining().front();
  if (extra.starts_with("--")) extra = extra.substr(0, extra.find('='));
  for (const CommandEntry& entry : commands) {
    if (app.get_subcommand(entry.name)->get_option_no_throw(extra) != nullptr) {
      throw UsageError("option " + quoteArgument(extra) + " does not apply to " +
                       command.get_name());
    }
  }
  throw UsageError("unknown option " + quoteArgument(extra));
}

}  // namespace

std::string quoteArgument(std::string_view text) {
  constexpr std::size_t kShown = 80;
  if (text.size() <= kShown) return "'" + std::string(text) + "'";
  return "'" + std::string(text.substr(0, kShown)) + "...' (" + std::to_string(text.size()) +
         " characters)";
}

void declareProviderOptions(CLI::App& command, Options& options) {
  valueOption(command, "--scenario", [&options](const std::string& value) {
    if (value.empty()) throw UsageError("--scenario: expected a file name, got ''");
    options.scenarioPath = value;
  });
  flagOption(command, "--virtual-time", [&options] { options.virtualTime = true; });
  valueOption(command, "--motion", [&options](const std::string& value) {
    options.motion = choose<MotionChoice>("--motion", value,
                                          {{"auto", MotionChoice::automatic},
                                           {"sim", MotionChoice::sim},
                                           {"iio", MotionChoice::iio},
                                           {"evdev", MotionChoice::evdev}});
  });
  valueOption(command, "--location", [&options](const std::string& value) {
    options.gpsd = GpsdEndpoint{};
    options.locationMembers.clear();
    const std::vector<std::string_view> items = splitList(value);
    if (items.size() == 1) {
      options.location = locationItem(value, options.gpsd);
      return;
    }
    // A list: the services used together.
    for (const std::string_view item : items) {
      const LocationChoice member = locationItem(item, options.gpsd);
      if (member == LocationChoice::automatic || member == LocationChoice::none) {
        throw UsageError("--location: " + quoteArgument(item) +
                         " cannot be listed with other services (a list takes sim, "
                         "gpsd[=HOST:PORT] and geoclue)");
      }
      if (std::find(options.locationMembers.begin(), options.locationMembers.end(), member) !=
          options.locationMembers.end()) {
        throw UsageError("--location: " + quoteArgument(item) + " is listed twice in " +
                         quoteArgument(value));
      }
      options.locationMembers.push_back(member);
    }
    options.location = LocationChoice::combined;
  });
}

void declareInfoOptions(CLI::App& command, Options& options) {
  declareProviderOptions(command, options);
  declareFormat(command, options);
}

void declareSnapshotOptions(CLI::App& command, Options& options) {
  declareProviderOptions(command, options);
  declareFormat(command, options);
  valueOption(command, "--timeout", [&options](const std::string& value) {
    options.timeoutSeconds = parseSeconds("--timeout", value);
  });
}

void declareSyncOptions(CLI::App& command, Options& options) {
  declareProviderOptions(command, options);
  declareFormat(command, options);
  valueOption(command, "--limit",
              [&options](const std::string& value) { options.limit = parseLimit(value); });
  valueOption(command, "--read-after", [&options](const std::string& value) {
    options.readAfterSeconds = parseSeconds("--read-after", value);
  });
  valueOption(command, "--watch", [&options](const std::string& value) {
    const double seconds = parseSeconds("--watch", value);
    if (seconds < kMinWatchSeconds) {
      throw UsageError("--watch: " + quoteArgument(value) + " is too short (at least " +
                       formatNumber(kMinWatchSeconds) + " s, the update interval)");
    }
    options.watchSeconds = seconds;
  });
}

Options parseCommandLine(const std::vector<std::string>& args,
                         std::span<const CommandEntry> commands) {
  Options options;
  if (std::find(args.begin(), args.end(), "--help") != args.end() ||
      std::find(args.begin(), args.end(), "-h") != args.end()) {
    return options;
  }
  if (std::find(args.begin(), args.end(), "--version") != args.end()) {
    options.command = Command::version;
    return options;
  }

  // CLI11 only reads the arguments here: the usage text is our own, and extra arguments are
  // kept so that they can be refused in this host's words.
  CLI::App app("pemdor-sensors");
  app.set_help_flag();
  app.allow_extras();
  app.require_subcommand(0, 1);
  // "help" ends the command line: whatever follows it is not looked at.
  app.add_subcommand("help")->prefix_command();
  std::vector<std::string> strays;
  for (const CommandEntry& entry : commands) {
    CLI::App* command = app.add_subcommand(entry.name);
    entry.declareOptions(*command, options);
    // No command takes plain arguments. Collecting them keeps "--" among the extras (CLI11
    // drops it as the end of the options where nothing could follow it); they are refused
    // after the extras.
    command->add_option("arguments", strays);
    command->parse_complete_callback([&options, &entry] { options.command = entry.command; });
  }

  try {
    app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
  } catch (const CLI::ArgumentMismatch& error) {
    // CLI11 names the option first in both cases: "--limit: 1 required TEXT missing" and
    // "virtual-time was given a disallowed flag override".
    const std::string_view what = error.what();
    std::string name(what.substr(0, what.find_first_of(": ")));
    if (!name.starts_with('-')) name = "--" + name;
    const bool flag = what.find("flag override") != std::string_view::npos;
    throw UsageError("option " + quoteArgument(name) +
                     (flag ? " takes no value" : " needs a value"));
  } catch (const CLI::ParseError& error) {
    throw UsageError(error.what());
  }

  const std::string commandNames =
      spokenList(commands, [](const CommandEntry& entry) { return std::string(entry.name); });
  if (const auto extras = app.remaining(); !extras.empty()) {
    const std::string& first = extras.front();
    throw UsageError(first.starts_with('-') ? "expected a command (" + commandNames + ") before " +
                                                  quoteArgument(first)
                                            : "unknown command " + quoteArgument(first));
  }
  const auto parsed = app.get_subcommands();
  if (parsed.empty()) throw UsageError("expected a command: " + commandNames);
  if (parsed.front()->get_name() == "help") return Options{};
  if (!parsed.front()->remaining().empty()) refuseExtra(app, *parsed.front(), commands);
  if (!strays.empty()) throw UsageError("unexpected argument " + quoteArgument(strays.front()));
  checkVirtualSyncSize(options);
  return options;
}

void checkVirtualSyncSize(const Options& options) {
  // In virtual time a sync run gathers at once whatever --read-after and --limit allow; keep
  // that within what a sample host can hold rather than running for minutes into gigabytes.
  if (options.command != Command::sync || !options.virtualTime || !options.readAfterSeconds) {
    return;
  }
  const double perStream = std::min(*options.readAfterSeconds / kSensorUpdateInterval,
                                    static_cast<double>(std::max<std::int32_t>(options.limit, 0)));
  const double records = perStream * static_cast<double>(kPemdorSensors.size());
  if (options.watchSeconds && *options.readAfterSeconds / *options.watchSeconds > kMaxWatchLines) {
    throw UsageError("--watch " + formatFixed(*options.watchSeconds, 1) + " with --read-after " +
                     formatFixed(*options.readAfterSeconds, 1) +
                     " and --virtual-time would print " +
                     formatFixed(*options.readAfterSeconds / *options.watchSeconds, 0) +
                     " lines; at most " + formatFixed(kMaxWatchLines, 0));
  }
  if (records > kMaxVirtualSyncRecords) {
    throw UsageError("--read-after " + formatFixed(*options.readAfterSeconds, 1) +
                     " with --virtual-time would gather about " + formatFixed(records, 0) +
                     " records; at most " + formatFixed(kMaxVirtualSyncRecords, 0) +
                     " (use a smaller --read-after or --limit)");
  }
}

double defaultReadAfterSeconds(std::int32_t limit) {
  const double readings = limit < 0 ? 0.0 : static_cast<double>(limit);
  return std::clamp((readings + 1.0) * kSensorUpdateInterval + 0.5, 1.0,
                    kMaxDefaultReadAfterSeconds);
}

std::string usageText() {
  return R"usage(Usage: pemdor-sensors COMMAND [OPTIONS]

Takes a short sample of the motion sensors and one coarse position with the pemdor collector,
on the real providers where present or on the simulated device, and prints it as text or JSON.

Commands:
  info        Print availableSensors, isLocationServiceAvailable, which providers are used and
              what was found, and each IIO device: its name and label, its kinds of channel,
              whether it was chosen and for which stream, its mount matrix and where that came
              from (udev, sysfs or none), and whether it is read through sysfs or its buffer.
              Then each input motion device (/dev/input/event*): its name, its accelerometer
              and gyroscope axes with their resolutions and where those came from (driver,
              udev, calibrated or none), its mount matrix and its source (udev or none),
              whether each was chosen and for which stream, or why the node cannot be opened.
  snapshot    Run one callback run (processSensorsWithCallBack) and print what its completion
              received.
  sync        Start a sync run (startSensors), read its data (getSensorData) after a while,
              print it, then finishSensors.
  record      Record every available motion stream at 0.1 s and the location service for
              --duration seconds, and write a scenario that the simulated device replays.
  help        Print this text.

Options of every command:
  --scenario FILE      Drive the simulated device with the JSON scenario in FILE; motion and
                       location use the simulated device unless --motion or --location say
                       otherwise.
  --virtual-time       Run the simulated device in virtual time: the run finishes at once and
                       the timings it reports are virtual. Only simulated providers.
  --motion auto|sim|iio|evdev
                       The motion provider. auto (default): when IIO or input motion devices
                       are present, each stream from an IIO device where one serves it and
                       otherwise from an input device; otherwise the simulated device. iio:
                       IIO devices only; evdev: input devices (/dev/input) only.
  --location auto|sim|gpsd[=HOST:PORT]|geoclue|none|LIST
                       The location provider. auto (default): every service that is there,
                       together (GeoClue2 when it is on the system bus, gpsd at localhost:2947
                       when it answers), otherwise the simulated device; geoclue: GeoClue2 on
                       the system bus (or the bus at DBUS_SYSTEM_BUS_ADDRESS), as the
                       application "pemdor-sensors"; none: location services off. LIST: several
                       of sim, gpsd[=HOST:PORT] and geoclue separated by commas, used together
                       (geoclue,gpsd=127.0.0.1:2948): the first fix of any of them wins, and a
                       refusal by GeoClue2 means no position from any.
  --help               Print this text.
  --version            Print the version of pemdor-sensors and of the pemdor it was built with.

Options of info:
  --format text|json   text (default): one line per finding, then the IIO devices. json: the
                       same as one JSON object on one line, the devices under "iioDevices"
                       and "inputDevices".

Options of snapshot:
  --format text|json   text (default): the lines "latitude: ", "longitude: ", "source: " (the
                       provider that delivered the fix, or "(none)") and "json: " (the snapshot
                       JSON text as received, or "(absent)"). json: one line
                       {"latitude":...,"longitude":...,"source":NAME or null,"json":...,
                       "elapsed":SECONDS}.
  --timeout SECONDS    How long to wait for the completion (default 30; virtual seconds with
                       --virtual-time, where the wait also ends when nothing is left to run).

Options of sync:
  --limit N            Records kept per stream, a 32-bit signed integer (default 10; a negative
                       limit keeps none).
  --read-after SECONDS When to read the data. Default: (limit + 1) x 0.1 s + 0.5 s, at least 1 s
                       and at most 60 s (so a huge limit is read after 60 s unless this is given).
  --watch SECONDS      Also print the data as one JSON line every SECONDS until then (at least
                       0.1).
  --format text|json   text (default): one line per key, records indented below their list's
                       name, with "source: " (the provider of the fix, or "(none)") after the
                       position. json: the data as one JSON object on one line, with "source"
                       (a name or null) after the position.
  --plot FILE.svg      Also draw the run: x, y and z of each stream against time, and the fix.
  --force              Replace an existing --plot file.

Options of record:
  --duration SECONDS   How long to record: more than 0, at most 3600 (required).
  --out FILE           Where the scenario goes, - for standard output (required). Written whole
                       or not at all; an existing file is kept unless --force is given.
  --plot FILE.svg      Also draw the recording.
  --force              Replace existing --out and --plot files.

Time values are seconds: finite numbers from 0 to 1000000.

Exit status: 0 done; 1 internal failure; 2 bad arguments, bad scenario, a provider asked for
that is not there, or an output that cannot be written; 3 (snapshot) no completion within
--timeout.
)usage";
}

}  // namespace pemdor::host
