#include "CommandLine.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include "Output.h"

namespace pemdor::host {
namespace {

using namespace std::string_literals;

constexpr unsigned bit(Command command) {
  return 1U << static_cast<unsigned>(command);
}
constexpr unsigned kRunCommands = bit(Command::info) | bit(Command::snapshot) | bit(Command::sync);

struct CommandName {
  std::string_view name;
  Command command;
};
constexpr std::array<CommandName, 4> kCommands{{{"help", Command::help},
                                                {"info", Command::info},
                                                {"snapshot", Command::snapshot},
                                                {"sync", Command::sync}}};

// Arguments are quoted in messages, cut to a readable length.
std::string quoted(std::string_view text) {
  constexpr std::size_t kShown = 80;
  if (text.size() <= kShown) return "'" + std::string(text) + "'";
  return "'" + std::string(text.substr(0, kShown)) + "...' (" + std::to_string(text.size()) +
         " characters)";
}

double parseSeconds(std::string_view option, std::string_view text) {
  double value = 0.0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec == std::errc::invalid_argument || ptr != end) {
    throw UsageError(std::string(option) + ": " + quoted(text) + " is not a number of seconds");
  }
  if (ec == std::errc{} && !std::isfinite(value)) {
    throw UsageError(std::string(option) + ": " + quoted(text) + " is not a finite number");
  }
  if (ec == std::errc::result_out_of_range || value < 0.0 || value > kMaxSeconds) {
    throw UsageError(std::string(option) + ": " + quoted(text) +
                     " is out of range (seconds from 0 to " + formatFixed(kMaxSeconds, 0) + ")");
  }
  return value + 0.0;  // -0 reads as 0
}

std::int32_t parseLimit(std::string_view text) {
  std::string_view digits = text;
  // One sign at most: a leading '+' is dropped, and what follows must start with a digit or '-'
  // only when there was no '+'.
  if (!digits.empty() && digits.front() == '+') {
    digits.remove_prefix(1);
    if (!digits.empty() && digits.front() == '-') digits = {};
  }
  std::int64_t wide = 0;
  const char* end = digits.data() + digits.size();
  const auto [ptr, ec] = std::from_chars(digits.data(), end, wide);
  if (digits.empty() || ec == std::errc::invalid_argument || ptr != end) {
    throw UsageError("--limit: " + quoted(text) + " is not a whole number");
  }
  if (ec == std::errc::result_out_of_range || wide < std::numeric_limits<std::int32_t>::min() ||
      wide > std::numeric_limits<std::int32_t>::max()) {
    throw UsageError("--limit: " + quoted(text) +
                     " is out of range (a 32-bit signed integer, -2147483648 to 2147483647)");
  }
  return static_cast<std::int32_t>(wide);
}

OutputFormat parseFormat(std::string_view text) {
  if (text == "text") return OutputFormat::text;
  if (text == "json") return OutputFormat::json;
  throw UsageError("--format: expected text or json, got " + quoted(text));
}

MotionChoice parseMotion(std::string_view text) {
  if (text == "auto") return MotionChoice::automatic;
  if (text == "sim") return MotionChoice::sim;
  if (text == "iio") return MotionChoice::iio;
  throw UsageError("--motion: expected auto, sim or iio, got " + quoted(text));
}

// HOST:PORT, or [HOST]:PORT for an IPv6 address; the port is a number from 1 to 65535.
GpsdEndpoint parseEndpoint(std::string_view text) {
  const auto fail = [&]() -> GpsdEndpoint {
    throw UsageError("--location gpsd=HOST:PORT: cannot read " + quoted(text) +
                     " as a host and a port from 1 to 65535");
  };
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return fail();
  std::string_view host = text.substr(0, colon);
  const std::string_view port = text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  unsigned number = 0;
  const auto [ptr, ec] = std::from_chars(port.data(), port.data() + port.size(), number);
  if (host.empty() || port.empty() || ec != std::errc{} || ptr != port.data() + port.size() ||
      number < 1 || number > 65535) {
    return fail();
  }
  return GpsdEndpoint{std::string(host), std::string(port)};
}

void applyLocation(Options& options, std::string_view text) {
  if (text == "auto") {
    options.location = LocationChoice::automatic;
  } else if (text == "sim") {
    options.location = LocationChoice::sim;
  } else if (text == "none") {
    options.location = LocationChoice::none;
  } else if (text == "gpsd") {
    options.location = LocationChoice::gpsd;
    options.gpsd = GpsdEndpoint{};
  } else if (text.starts_with("gpsd=")) {
    options.location = LocationChoice::gpsd;
    options.gpsd = parseEndpoint(text.substr(5));
  } else {
    throw UsageError("--location: expected auto, sim, gpsd[=HOST:PORT] or none, got " +
                     quoted(text));
  }
}

// One row per option: the commands that accept it, whether it takes a value, and how it sets
// the options.
struct OptionRule {
  std::string_view name;
  unsigned commands;
  bool takesValue;
  void (*apply)(Options&, std::string_view);
};

const std::array<OptionRule, 9> kOptionRules{{
    {"--scenario", kRunCommands, true,
     [](Options& o, std::string_view v) {
       if (v.empty()) throw UsageError("--scenario: expected a file name, got ''");
       o.scenarioPath = std::string(v);
     }},
    {"--virtual-time", kRunCommands, false,
     [](Options& o, std::string_view) { o.virtualTime = true; }},
    {"--motion", kRunCommands, true,
     [](Options& o, std::string_view v) { o.motion = parseMotion(v); }},
    {"--location", kRunCommands, true, applyLocation},
    {"--format", bit(Command::snapshot) | bit(Command::sync), true,
     [](Options& o, std::string_view v) { o.format = parseFormat(v); }},
    {"--timeout", bit(Command::snapshot), true,
     [](Options& o, std::string_view v) { o.timeoutSeconds = parseSeconds("--timeout", v); }},
    {"--limit", bit(Command::sync), true,
     [](Options& o, std::string_view v) { o.limit = parseLimit(v); }},
    {"--read-after", bit(Command::sync), true,
     [](Options& o, std::string_view v) { o.readAfterSeconds = parseSeconds("--read-after", v); }},
    {"--watch", bit(Command::sync), true,
     [](Options& o, std::string_view v) {
       const double seconds = parseSeconds("--watch", v);
       if (seconds < kMinWatchSeconds) {
         throw UsageError("--watch: " + quoted(v) + " is too short (at least " +
                          formatNumber(kMinWatchSeconds) + " s, the update interval)");
       }
       o.watchSeconds = seconds;
     }},
}};

std::string_view commandName(Command command) {
  for (const auto& entry : kCommands) {
    if (entry.command == command) return entry.name;
  }
  return "?";
}

}  // namespace

Options parseCommandLine(std::span<const std::string_view> args) {
  Options options;
  if (std::find(args.begin(), args.end(), std::string_view("--help")) != args.end() ||
      std::find(args.begin(), args.end(), std::string_view("-h")) != args.end()) {
    return options;
  }
  if (args.empty()) throw UsageError("expected a command: info, snapshot or sync");

  const auto found = std::find_if(kCommands.begin(), kCommands.end(),
                                  [&](const CommandName& entry) { return entry.name == args[0]; });
  if (found == kCommands.end()) {
    throw UsageError(args[0].starts_with("-")
                         ? "expected a command (info, snapshot or sync) before " + quoted(args[0])
                         : "unknown command " + quoted(args[0]));
  }
  options.command = found->command;
  if (options.command == Command::help) return options;

  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string_view name = args[i];
    std::optional<std::string_view> inlineValue;
    if (const std::size_t equals = name.find('='); name.starts_with("--") && equals != name.npos) {
      inlineValue = name.substr(equals + 1);
      name = name.substr(0, equals);
    }
    const auto rule = std::find_if(kOptionRules.begin(), kOptionRules.end(),
                                   [&](const OptionRule& r) { return r.name == name; });
    if (rule == kOptionRules.end()) {
      throw UsageError(name.starts_with("-") ? "unknown option " + quoted(name)
                                             : "unexpected argument " + quoted(name));
    }
    if ((rule->commands & bit(options.command)) == 0) {
      throw UsageError("option " + quoted(name) + " does not apply to " +
                       std::string(commandName(options.command)));
    }
    std::string_view value;
    if (rule->takesValue) {
      if (inlineValue) {
        value = *inlineValue;
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        throw UsageError("option " + quoted(name) + " needs a value");
      }
    } else if (inlineValue) {
      throw UsageError("option " + quoted(name) + " takes no value");
    }
    rule->apply(options, value);
  }
  checkVirtualSyncSize(options);
  return options;
}

void checkVirtualSyncSize(const Options& options) {
  // In virtual time a sync run gathers at once whatever --read-after and --limit allow; keep
  // that within what a sample host can hold rather than running for minutes into gigabytes.
  if (options.command != Command::sync || !options.virtualTime || !options.readAfterSeconds) {
    return;
  }
  const double perStream = std::min(*options.readAfterSeconds / 0.1,
                                    static_cast<double>(std::max<std::int32_t>(options.limit, 0)));
  const double records = perStream * 4.0;
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
  return std::clamp((readings + 1.0) * 0.1 + 0.5, 1.0, kMaxDefaultReadAfterSeconds);
}

std::string usageText() {
  return R"usage(Usage: pemdor-sensors COMMAND [OPTIONS]

Takes a short sample of the motion sensors and one coarse position with the pemdor collector,
on the real providers where present or on the simulated device, and prints it as text or JSON.

Commands:
  info        Print availableSensors, isLocationServiceAvailable, and which providers are used
              and what was found.
  snapshot    Run one callback run (processSensorsWithCallBack) and print what its completion
              received.
  sync        Start a sync run (startSensors), read its data (getSensorData) after a while,
              print it, then finishSensors.
  help        Print this text.

Options of every command:
  --scenario FILE      Drive the simulated device with the JSON scenario in FILE; motion and
                       location use the simulated device unless --motion or --location say
                       otherwise.
  --virtual-time       Run the simulated device in virtual time: the run finishes at once and
                       the timings it reports are virtual. Only simulated providers.
  --motion auto|sim|iio
                       The motion provider. auto (default): IIO when motion devices are
                       present, otherwise the simulated device.
  --location auto|sim|gpsd[=HOST:PORT]|none
                       The location provider. auto (default): gpsd at localhost:2947 when it
                       answers, otherwise the simulated device; none: location services off.
  --help               Print this text.

Options of snapshot:
  --format text|json   text (default): the lines "latitude: ", "longitude: " and "json: " (the
                       snapshot JSON text as received, or "(absent)"). json: one line
                       {"latitude":...,"longitude":...,"json":...,"elapsed":SECONDS}.
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
                       name. json: the data as one JSON object on one line.

Time values are seconds: finite numbers from 0 to 1000000.

Exit status: 0 done; 1 internal failure; 2 bad arguments, bad scenario, or a provider asked for
that is not there; 3 (snapshot) no completion within --timeout.
)usage";
}

}  // namespace pemdor::host
