// SPDX-License-Identifier: MIT
#include "Plot.h"

#include <time.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <string_view>

#include "ReadingFormat.h"

#if PEMDOR_HAVE_PLPLOT
#include <plstream.h>
#endif

namespace pemdor::host {
namespace {

// The panels, indexed by MotionStream: the name shown, the unit of the values, and the key of
// the stream's list in getSensorData.
struct PanelKind {
  const char* title;
  const char* unit;
  const char* syncKey;
};
constexpr std::array<PanelKind, kMotionStreamCount> kPanels{{
    {"accelerometer", "g", "Accelerometer"},
    {"gyroscope", "rad/s", "Gyroscope"},
    {"magnetometer", "µT", "Magnetometer"},
    {"gravity (device motion)", "g", "Gravity"},
}};

std::string twoDigits(int value) {
  // Built in place: GCC 12 at -O3 reports a false -Wrestrict overlap inside libstdc++ for a
  // string literal concatenated with a temporary string.
  std::string text = std::to_string(value);
  if (value < 10) text.insert(text.begin(), '0');
  return text;
}

std::optional<double> number(std::string_view text) {
  double value = 0.0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || ptr != text.data() + text.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

// A sync record "x,y,z,milliseconds".
struct SyncRecord {
  CMVector value;
  double milliseconds;
};

std::optional<SyncRecord> syncRecord(std::string_view text) {
  std::array<double, 4> parts{};
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const auto comma = i + 1 < parts.size() ? text.find(',') : text.size();
    if (comma == std::string_view::npos) return std::nullopt;
    const auto part = number(text.substr(0, comma));
    if (!part) return std::nullopt;
    parts[i] = *part;
    text.remove_prefix(std::min(text.size(), comma + 1));
  }
  return SyncRecord{{parts[0], parts[1], parts[2]}, parts[3]};
}

const std::string* stringEntry(const PemdorSensorData& data, const char* key) {
  const auto found = data.find(key);
  if (found == data.end()) return nullptr;
  return std::get_if<std::string>(&found->second);
}

}  // namespace

std::string utcDate(double secondsSince1970) {
  const auto whole = static_cast<time_t>(std::floor(secondsSince1970));
  struct tm parts {};
  if (!std::isfinite(secondsSince1970) || ::gmtime_r(&whole, &parts) == nullptr) return "?";
  return std::to_string(parts.tm_year + 1900) + "-" + twoDigits(parts.tm_mon + 1) + "-" +
         twoDigits(parts.tm_mday) + " " + twoDigits(parts.tm_hour) + ":" + twoDigits(parts.tm_min) +
         ":" + twoDigits(parts.tm_sec) + " UTC";
}

PlotData plotOfRecording(const Recording& recording) {
  PlotData data;
  data.run = "record";
  data.motionProvider = recording.motionProvider;
  data.locationProvider = recording.locationProvider;
  data.startTime = recording.scenario.clockStart.value_or(0.0);
  data.duration = recording.duration;
  for (std::size_t i = 0; i < kMotionStreamCount; ++i) {
    const SimStreamScript& script = recording.scenario.streams[i];
    PlotStream& stream = data.streams[i];
    if (!script.available || !script.readings) {
      stream.note = "not available";
      continue;
    }
    const auto& readings = *script.readings;
    for (std::size_t k = 0; k < readings.size() && k < recording.readingTimes[i].size(); ++k) {
      if (!readings[k]) continue;
      stream.times.push_back(recording.readingTimes[i][k]);
      stream.values.push_back(*readings[k]);
    }
    if (stream.values.empty()) stream.note = "no readings";
  }
  if (recording.scenario.events) {
    for (const SimLocationEvent& event : *recording.scenario.events) {
      const CLLocationCoordinate2D* position = nullptr;
      if (event.kind == SimLocationEvent::Kind::locations && !event.locations.empty()) {
        position = &event.locations.back();
      } else if (event.kind == SimLocationEvent::Kind::location) {
        position = &event.location;
      }
      if (position) {
        data.fix = PlotFix{event.after, position->latitude, position->longitude};
        break;
      }
    }
  }
  return data;
}

PlotData plotOfSyncData(const PemdorSensorData& sensorData, double startTime,
                        const std::string& motionProvider, const std::string& locationProvider) {
  PlotData data;
  data.run = "sync";
  data.motionProvider = motionProvider;
  data.locationProvider = locationProvider;
  data.startTime = startTime;
  for (std::size_t i = 0; i < kMotionStreamCount; ++i) {
    PlotStream& stream = data.streams[i];
    const auto found = sensorData.find(kPanels[i].syncKey);
    const auto* list = found == sensorData.end()
                           ? nullptr
                           : std::get_if<std::shared_ptr<PemdorRecordList>>(&found->second);
    if (list && *list) {
      for (const std::string& text : (*list)->snapshot()) {
        if (const auto record = syncRecord(text)) {
          stream.times.push_back(record->milliseconds / 1000.0 - startTime);
          stream.values.push_back(record->value);
        }
      }
    }
    if (stream.values.empty()) stream.note = "no readings";
    if (!stream.times.empty()) data.duration = std::max(data.duration, stream.times.back());
  }
  const auto* latitude = stringEntry(sensorData, "la");
  const auto* longitude = stringEntry(sensorData, "lo");
  const auto* time = stringEntry(sensorData, "Time");
  if (latitude && longitude) {
    const auto lat = number(*latitude);
    const auto lon = number(*longitude);
    const auto at = time ? number(*time) : std::nullopt;
    if (lat && lon) data.fix = PlotFix{at ? *at / 1000.0 - startTime : 0.0, *lat, *lon};
  }
  if (data.fix) data.duration = std::max(data.duration, data.fix->at);
  return data;
}

#if PEMDOR_HAVE_PLPLOT

bool plotsBuilt() {
  return true;
}

namespace {

// Colour map 0: background, frame and text, then the x, y and z series, then the fix marker.
// Each series colour is used by nothing else, so that a reader of the SVG can tell them apart.
enum Colour : PLINT { kBackground = 0, kInk, kX, kY, kZ, kFix, kColourCount };
constexpr std::array<PLINT, kColourCount> kRed{255, 0, 214, 0, 31, 230};
constexpr std::array<PLINT, kColourCount> kGreen{255, 0, 39, 140, 90, 120};
constexpr std::array<PLINT, kColourCount> kBlue{255, 0, 40, 60, 200, 0};

// Page layout, in normalised page coordinates.
constexpr double kLeft = 0.13;
constexpr double kRight = 0.92;
constexpr double kTop = 0.89;
constexpr double kBottom = 0.07;
constexpr double kGap = 0.05;

struct Range {
  double low;
  double high;
};

Range valueRange(const PlotStream& stream) {
  if (stream.values.empty()) return {-1.0, 1.0};
  double low = stream.values.front().x;
  double high = low;
  for (const CMVector& v : stream.values) {
    low = std::min({low, v.x, v.y, v.z});
    high = std::max({high, v.x, v.y, v.z});
  }
  const double margin = high > low ? (high - low) * 0.08 : std::max(std::abs(high) * 0.1, 0.01);
  return {low - margin, high + margin};
}

void drawPanel(plstream& pls, const PlotData& data, std::size_t index, double duration) {
  const PanelKind& kind = kPanels[index];
  const PlotStream& stream = data.streams[index];
  const double height = (kTop - kBottom - kGap * (kMotionStreamCount - 1)) / kMotionStreamCount;
  const double top = kTop - static_cast<double>(index) * (height + kGap);
  pls.vpor(kLeft, kRight, top - height, top);
  const Range range = valueRange(stream);
  pls.wind(0.0, duration, range.low, range.high);
  pls.col0(kInk);
  pls.lsty(1);
  pls.box("bcnst", 0.0, 0, "bcnstv", 0.0, 0);
  pls.mtex("t", 0.7, 0.0, 0.0, kind.title);
  pls.mtex("l", 4.2, 0.5, 0.5, kind.unit);
  if (index + 1 == kMotionStreamCount) pls.mtex("b", 2.8, 0.5, 0.5, "time since the start (s)");

  if (!stream.note.empty()) {
    pls.ptex(duration / 2.0, (range.low + range.high) / 2.0, 1.0, 0.0, 0.5, stream.note.c_str());
  } else {
    std::vector<PLFLT> t(stream.times.begin(), stream.times.end());
    std::vector<PLFLT> v(t.size());
    const auto n = static_cast<PLINT>(t.size());
    const std::array<double CMVector::*, 3> axes{&CMVector::x, &CMVector::y, &CMVector::z};
    const std::array<const char*, 3> names{"x", "y", "z"};
    for (std::size_t a = 0; a < axes.size(); ++a) {
      for (std::size_t k = 0; k < v.size(); ++k) v[k] = stream.values[k].*axes[a];
      pls.col0(kX + static_cast<PLINT>(a));
      pls.lsty(1);
      pls.line(n, t.data(), v.data());
      pls.mtex("rv", 1.0, 0.8 - 0.3 * static_cast<double>(a), 0.0, names[a]);
    }
  }

  if (data.fix) {
    const double at = data.fix->at;
    std::array<PLFLT, 2> x{at, at};
    std::array<PLFLT, 2> y{range.low, range.high};
    pls.col0(kFix);
    pls.lsty(2);
    pls.line(2, x.data(), y.data());
    pls.lsty(1);
    if (index == 0) {
      const std::string label = "fix " + detail::formatCoordinate(data.fix->latitude) + ", " +
                                detail::formatCoordinate(data.fix->longitude) + " at " +
                                detail::formatFixed(at, 2) + " s";
      pls.mtex("t", 0.7, 1.0, 1.0, label.c_str());
    }
  }
}

}  // namespace

std::string drawPlot(const PlotData& data, const std::string& path) {
  double duration = data.duration;
  for (const PlotStream& stream : data.streams) {
    if (!stream.times.empty()) duration = std::max(duration, stream.times.back());
  }
  if (data.fix) duration = std::max(duration, data.fix->at);
  if (!(duration > 0.0)) duration = 1.0;

  {
    plstream pls;
    pls.sdev("svg");
    pls.sfnam(path.c_str());
    pls.spage(0.0, 0.0, 1000, 1300, 0, 0);
    pls.scmap0(kRed.data(), kGreen.data(), kBlue.data(), kColourCount);
    pls.init();
    pls.adv(0);
    pls.schr(0.0, 0.75);

    pls.vpor(kLeft, kRight, kTop, 0.98);
    pls.col0(kInk);
    const std::string title = "pemdor-sensors " + data.run + ", " + utcDate(data.startTime);
    const std::string providers = "motion: " + data.motionProvider +
                                  ", location: " + data.locationProvider +
                                  (data.fix ? "" : ", no position fix");
    pls.schr(0.0, 0.95);
    pls.mtex("t", -1.2, 0.5, 0.5, title.c_str());
    pls.schr(0.0, 0.75);
    pls.mtex("t", -3.0, 0.5, 0.5, providers.c_str());

    for (std::size_t i = 0; i < kMotionStreamCount; ++i) drawPanel(pls, data, i, duration);
  }

  // PLplot does not report failed writes; a picture that does not end as SVG ends was cut off.
  std::ifstream written(path, std::ios::binary | std::ios::ate);
  const auto size = written ? static_cast<std::int64_t>(written.tellg()) : -1;
  if (size < 16) return "the plotting library wrote no picture";
  std::string tail(16, '\0');
  written.seekg(size - 16);
  written.read(tail.data(), 16);
  if (tail.find("</svg>") == std::string::npos) return "the picture was cut off (disk full?)";
  return "";
}

#else

bool plotsBuilt() {
  return false;
}

std::string drawPlot(const PlotData&, const std::string&) {
  return "this build has no pictures (PLplot was not found when it was built)";
}

#endif

}  // namespace pemdor::host
