// SPDX-License-Identifier: MIT
// Reading scenarios: JSON text or a JSON value into a SimScenario, refusing anything that does
// not fit with a message that names the source and the place in it.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include <nlohmann/json.hpp>

#include "pemdor/internal/JsonPreScan.h"
#include "pemdor/platform/SimulatedDevice.h"

namespace pemdor {
namespace {

using nlohmann::json;

// A scenario is a few kilobytes; anything near this size is a wrong file.
constexpr std::size_t kMaxScenarioBytes = std::size_t{16} << 20;
// A scenario nests five levels deep; the bound keeps the parser and every later walk over the
// value shallow whatever the input.
constexpr std::size_t kMaxNesting = 64;
// Parse messages quote the input; long quotes are cut.
constexpr std::size_t kMaxQuotedBytes = 160;

// A place in a scenario value: a chain of keys and indices through stack frames of the reader,
// rendered ("motion.gyroscope.readings[2]") only when a message needs it.
class Path {
 public:
  Path() = default;
  Path(const Path& parent, std::string_view key) : parent_(&parent), key_(key), isIndex_(false) {}
  Path(const Path& parent, std::size_t index) : parent_(&parent), index_(index), isIndex_(true) {}

  std::string str() const {
    if (!parent_) return "top level";
    std::string out;
    append(out);
    return out;
  }

 private:
  void append(std::string& out) const {
    if (!parent_) return;
    parent_->append(out);
    if (isIndex_) {
      out += '[';
      out += std::to_string(index_);
      out += ']';
      return;
    }
    if (!out.empty()) out += '.';
    out += plainKey(key_) ? std::string(key_)
                          : json(key_).dump(-1, ' ', true, json::error_handler_t::replace);
  }

  static bool plainKey(std::string_view key) {
    if (key.empty()) return false;
    for (char c : key) {
      const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
      if (!alnum && c != '_') return false;
    }
    return true;
  }

  const Path* parent_ = nullptr;
  std::string_view key_;
  std::size_t index_ = 0;
  bool isIndex_ = false;
};

// Thrown inside the reader only; every entry point turns it into a message.
struct Refusal {
  Refusal(const Path& path, std::string problem) : where(path.str()), what(std::move(problem)) {}
  std::string where;
  std::string what;
};

// Control characters and bytes outside ASCII become \xNN so that a message stays one readable
// line whatever the input held.
std::string printable(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, kMaxQuotedBytes)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f) {
      out += c;
    } else {
      constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xf];
    }
  }
  if (text.size() > kMaxQuotedBytes) out += "...";
  return out;
}

// Line and column (both from 1) of byte `offset` (from 0); an offset past the end is the place
// just after the last character.
std::string lineAndColumn(std::string_view text, std::size_t offset) {
  if (offset > text.size()) offset = text.size();
  std::size_t line = 1;
  std::size_t lineStart = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      lineStart = i + 1;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(offset - lineStart + 1);
}

// The problem part of a parser message, without the exception name and the parser's own
// position (which counts a line break as the start of the next line).
std::string parserProblem(const char* what) {
  std::string_view text(what);
  if (const auto at = text.find("parse error"); at != std::string_view::npos) {
    if (const auto colon = text.find(": ", at); colon != std::string_view::npos) {
      return printable(text.substr(colon + 2));
    }
  }
  if (text.starts_with("[json.exception.")) {
    if (const auto close = text.find("] "); close != std::string_view::npos) {
      text.remove_prefix(close + 2);
    }
  }
  return printable(text);
}

// The reader of a scenario value, one function per kind of place.
class Reader {
 public:
  SimScenario scenario(const json& root) {
    SimScenario out;
    const Path top;
    object(root, top, {"clock", "motion", "location"});
    if (const auto* clock = member(root, "clock")) {
      const Path p(top, "clock");
      object(*clock, p, {"start"});
      if (const auto* start = member(*clock, "start"))
        out.clockStart = time(*start, Path(p, "start"));
    }
    if (const auto* motion = member(root, "motion")) {
      const Path p(top, "motion");
      object(*motion, p,
             {motionStreamName(MotionStream::accelerometer), motionStreamName(MotionStream::gyro),
              motionStreamName(MotionStream::magnetometer),
              motionStreamName(MotionStream::deviceMotion)});
      for (MotionStream s : kAllMotionStreams) {
        const char* name = motionStreamName(s);
        if (const auto* stream = member(*motion, name)) {
          out.streams[static_cast<std::size_t>(s)] = streamScript(*stream, Path(p, name));
        }
      }
    }
    if (const auto* location = member(root, "location"))
      locationPart(*location, Path(top, "location"), out);
    return out;
  }

 private:
  static const json* member(const json& object, std::string_view key) {
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
  }

  static void object(const json& value, const Path& path,
                     std::initializer_list<std::string_view> keys) {
    if (!value.is_object()) throw Refusal(path, "expected an object");
    for (const auto& [key, unused] : value.items()) {
      bool known = false;
      for (std::string_view k : keys) known = known || k == key;
      if (!known) throw Refusal(Path(path, key), "unknown key");
    }
  }

  static bool boolean(const json& value, const Path& path) {
    if (!value.is_boolean()) throw Refusal(path, "expected true or false");
    return value.get<bool>();
  }

  static double finite(const json& value, const Path& path) {
    if (!value.is_number()) throw Refusal(path, "expected a number");
    const double v = value.get<double>();
    if (!std::isfinite(v)) throw Refusal(path, "expected a finite number");
    return v;
  }

  static double time(const json& value, const Path& path) {
    const double seconds = finite(value, path);
    if (seconds < 0)
      throw Refusal(path, "expected a time of 0 seconds or more, got " + value.dump());
    return seconds;
  }

  static std::optional<CMVector> reading(const json& value, const Path& path) {
    if (value.is_null()) return std::nullopt;
    if (!value.is_array() || value.size() != 3) {
      throw Refusal(path, "expected an array of 3 numbers or null");
    }
    for (std::size_t i = 0; i < 3; ++i) {
      if (!value[i].is_number()) throw Refusal(path, "expected an array of 3 numbers or null");
    }
    return CMVector{finite(value[0], Path(path, std::size_t{0})),
                    finite(value[1], Path(path, std::size_t{1})),
                    finite(value[2], Path(path, std::size_t{2}))};
  }

  static CLLocationCoordinate2D coordinate(const json& value, const Path& path) {
    if (!value.is_array() || value.size() != 2 || !value[0].is_number() || !value[1].is_number()) {
      throw Refusal(path, "expected an array of 2 numbers [latitude, longitude]");
    }
    const Path latPath(path, std::size_t{0});
    const Path lonPath(path, std::size_t{1});
    const double lat = finite(value[0], latPath);
    const double lon = finite(value[1], lonPath);
    if (lat < -90 || lat > 90) {
      throw Refusal(latPath, "latitude " + value[0].dump() + " is outside [-90, 90]");
    }
    if (lon < -180 || lon > 180) {
      throw Refusal(lonPath, "longitude " + value[1].dump() + " is outside [-180, 180]");
    }
    return {lat, lon};
  }

  static SimStreamScript streamScript(const json& value, const Path& path) {
    SimStreamScript out;
    object(value, path, {"available", "readings", "repeat"});
    if (const auto* v = member(value, "available"))
      out.available = boolean(*v, Path(path, "available"));
    if (const auto* v = member(value, "repeat")) out.repeat = boolean(*v, Path(path, "repeat"));
    if (const auto* v = member(value, "readings")) {
      const Path p(path, "readings");
      if (!v->is_array()) throw Refusal(p, "expected an array of readings");
      auto& readings = out.readings.emplace();
      readings.reserve(v->size());
      for (std::size_t i = 0; i < v->size(); ++i) readings.push_back(reading((*v)[i], Path(p, i)));
    }
    return out;
  }

  static void locationPart(const json& value, const Path& path, SimScenario& out) {
    object(value, path, {"servicesEnabled", "authorizationStatus", "events"});
    if (const auto* v = member(value, "servicesEnabled")) {
      out.servicesEnabled = boolean(*v, Path(path, "servicesEnabled"));
    }
    if (const auto* v = member(value, "authorizationStatus")) {
      out.authorizationStatus = status(*v, Path(path, "authorizationStatus"));
    }
    if (const auto* v = member(value, "events")) {
      const Path p(path, "events");
      if (!v->is_array()) throw Refusal(p, "expected an array of events");
      auto& events = out.events.emplace();
      events.reserve(v->size());
      for (std::size_t i = 0; i < v->size(); ++i) events.push_back(event((*v)[i], Path(p, i)));
    }
  }

  static CLAuthorizationStatus status(const json& value, const Path& path) {
    if (!value.is_number_integer()) throw Refusal(path, "expected an integer from 0 to 4");
    const bool inRange = value.is_number_unsigned()
                             ? value.get<std::uint64_t>() <= 4
                             : value.get<std::int64_t>() >= 0 && value.get<std::int64_t>() <= 4;
    if (!inRange) {
      throw Refusal(path, "authorization status " + value.dump() + " is outside 0 to 4");
    }
    return static_cast<CLAuthorizationStatus>(value.get<std::int64_t>());
  }

  static std::string providerName(const json& value, const Path& path) {
    static constexpr const char* kExpected =
        "expected a provider name: 1 to 64 letters, digits, '-', '_' or '.'";
    if (!value.is_string()) throw Refusal(path, kExpected);
    const auto& text = value.get_ref<const std::string&>();
    const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
      return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
             c == '-' || c == '_' || c == '.';
    });
    if (text.empty() || text.size() > 64 || !plain) throw Refusal(path, kExpected);
    return text;
  }

  static SimLocationEvent event(const json& value, const Path& path) {
    SimLocationEvent out;
    object(value, path, {"after", "locations", "location", "from", "fail", "source"});
    if (const auto* v = member(value, "after")) out.after = time(*v, Path(path, "after"));
    const auto* locations = member(value, "locations");
    const auto* location = member(value, "location");
    const auto* fail = member(value, "fail");
    const int kinds = (locations ? 1 : 0) + (location ? 1 : 0) + (fail ? 1 : 0);
    if (kinds != 1) {
      throw Refusal(path, "expected exactly one of \"locations\", \"location\" or \"fail\"");
    }
    if (const auto* from = member(value, "from"); from && !location) {
      throw Refusal(Path(path, "from"), "allowed only together with \"location\"");
    }
    if (const auto* source = member(value, "source")) {
      const Path p(path, "source");
      if (fail) throw Refusal(p, "allowed only together with \"locations\" or \"location\"");
      out.source = providerName(*source, p);
    }
    if (locations) {
      const Path p(path, "locations");
      if (!locations->is_array()) throw Refusal(p, "expected an array of [latitude, longitude]");
      out.kind = SimLocationEvent::Kind::locations;
      out.locations.reserve(locations->size());
      for (std::size_t i = 0; i < locations->size(); ++i) {
        out.locations.push_back(coordinate((*locations)[i], Path(p, i)));
      }
    } else if (location) {
      out.kind = SimLocationEvent::Kind::location;
      out.location = coordinate(*location, Path(path, "location"));
      if (const auto* from = member(value, "from"))
        out.from = coordinate(*from, Path(path, "from"));
    } else {
      const Path p(path, "fail");
      if (!boolean(*fail, p)) {
        throw Refusal(p, "expected true (leave the key out for an event that does not fail)");
      }
      out.kind = SimLocationEvent::Kind::fail;
    }
    return out;
  }
};

SimScenarioResult refused(std::string_view source, std::string message) {
  SimScenarioResult result;
  result.error = std::string(source) + ": " + message;
  return result;
}

std::string systemMessage(int error) {
  return std::system_category().message(error);
}

}  // namespace

SimScenarioResult simScenarioFromJson(const nlohmann::json& value, std::string_view source) {
  try {
    SimScenarioResult result;
    result.scenario = Reader().scenario(value);
    return result;
  } catch (const Refusal& refusal) {
    return refused(source, refusal.where + ": " + refusal.what);
  } catch (const std::bad_alloc&) {
    return refused(source, "out of memory while reading the scenario");
  } catch (const std::exception& e) {
    return refused(source, printable(e.what()));
  }
}

SimScenarioResult parseSimScenario(std::string_view text, std::string_view source) {
  if (const auto problem = preScanJson(text, kMaxNesting)) {
    if (problem->kind == JsonPreScanProblem::Kind::zeroByte) {
      return refused(source, "binary data (a zero byte at offset " +
                                 std::to_string(problem->offset) + "), not a JSON text");
    }
    return refused(source, lineAndColumn(text, problem->offset) + ": nested deeper than " +
                               std::to_string(kMaxNesting) + " levels");
  }
  json value;
  try {
    value = json::parse(text.begin(), text.end());
  } catch (const json::parse_error& e) {
    // The parser counts bytes read, the failing one included.
    const std::size_t offset = e.byte > 0 ? e.byte - 1 : 0;
    return refused(source, lineAndColumn(text, offset) + ": " + parserProblem(e.what()));
  } catch (const std::bad_alloc&) {
    return refused(source, "out of memory while parsing the scenario");
  } catch (const std::exception& e) {
    return refused(source, parserProblem(e.what()));
  }
  return simScenarioFromJson(value, source);
}

SimScenarioResult loadSimScenarioFile(const std::string& path) {
  // The kind and size are checked on the path first so that a FIFO or a device is never opened
  // (opening a FIFO blocks) and an oversized file is refused without reading it.
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    const int error = errno;
    if (error == ENOENT) return refused(path, "no such file");
    return refused(path, "cannot read: " + systemMessage(error));
  }
  if (S_ISDIR(info.st_mode)) return refused(path, "is a directory, not a scenario file");
  if (!S_ISREG(info.st_mode)) return refused(path, "is not a regular file");
  const auto tooLarge = [&](std::uintmax_t size) {
    return refused(path, "file of " + std::to_string(size) + " bytes is larger than the " +
                             std::to_string(kMaxScenarioBytes >> 20) + " MiB a scenario may have");
  };
  if (static_cast<std::uintmax_t>(info.st_size) > kMaxScenarioBytes) {
    return tooLarge(static_cast<std::uintmax_t>(info.st_size));
  }

  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return refused(path, "cannot open: " + systemMessage(errno));
  std::string text;
  int readError = 0;
  try {
    // The buffer starts one byte over the size stat() gave, so a file that grew since is seen,
    // and grows up to one byte over the limit.
    text.resize(static_cast<std::size_t>(info.st_size) + 1);
    std::size_t used = 0;
    for (;;) {
      if (used == text.size()) {
        if (text.size() > kMaxScenarioBytes) break;
        text.resize(std::min(text.size() * 2, kMaxScenarioBytes + 1));
      }
      const ssize_t n = ::read(fd, text.data() + used, text.size() - used);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        readError = errno;
        break;
      }
      if (n == 0) break;
      used += static_cast<std::size_t>(n);
    }
    text.resize(used);
  } catch (const std::bad_alloc&) {
    ::close(fd);
    return refused(path, "out of memory while reading the file");
  }
  ::close(fd);
  if (readError != 0) return refused(path, "cannot read: " + systemMessage(readError));
  if (text.size() > kMaxScenarioBytes) return tooLarge(text.size());
  if (text.empty()) return refused(path, "the file is empty");
  return parseSimScenario(text, path);
}

}  // namespace pemdor
