// SPDX-License-Identifier: MIT
#include "RecordCommand.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "Output.h"
#include "OutputFile.h"
#include "Plot.h"
#include "Record.h"
#include "ScenarioWriter.h"

namespace pemdor::host {
namespace {

// How often the progress line is redrawn while a recording runs in real time.
constexpr double kProgressInterval = 0.25;

std::unique_ptr<OutputFile> reserve(const std::string& path, bool force, const char* what) {
  try {
    return OutputFile::create(path, force, what);
  } catch (const OutputError& error) {
    throw UsageError(error.what(), false);
  }
}

std::unique_ptr<OutputFile> reservePlot(const std::string& path, bool force) {
  if (path == "-") throw UsageError("--plot: the picture cannot go to standard output");
  if (!plotsBuilt()) {
    throw UsageError("--plot: this build has no pictures (PLplot was not found when it was built)",
                     false);
  }
  return reserve(path, force, "the picture");
}

void drawAndCommit(const PlotData& data, OutputFile& file) {
  if (const std::string problem = drawPlot(data, file.temporaryPath()); !problem.empty()) {
    throw UsageError("cannot draw the picture " + file.path() + ": " + problem, false);
  }
  try {
    file.commit();
  } catch (const OutputError& error) {
    throw UsageError(error.what(), false);
  }
}

std::string progressLine(const Recorder& recorder, double elapsed, double duration) {
  std::string line =
      "recording " + formatFixed(elapsed, 1) + "/" + formatFixed(duration, 1) + " s ";
  const auto counts = recorder.counts();
  for (MotionStream stream : kAllMotionStreams) {
    const auto& count = counts[static_cast<std::size_t>(stream)];
    line += std::string(" ") + motionStreamName(stream) + " " +
            (count ? std::to_string(*count) : std::string("n/a"));
  }
  return line + "  location events " + std::to_string(recorder.eventCount());
}

// Lets the recording run to `end`, redrawing the progress line on a terminal in real time.
void waitWithProgress(HostSession& session, const Recorder& recorder, double end, double duration) {
  const bool show = !session.virtualTime() && ::isatty(STDERR_FILENO) == 1;
  if (!show) {
    session.waitUntil(end);
    return;
  }
  std::size_t drawn = 0;
  for (;;) {
    const double now = session.now();
    const std::string line =
        progressLine(recorder, std::min(now - recorder.startedAt(), duration), duration);
    std::string text = "\r" + line;
    if (line.size() < drawn) text.append(drawn - line.size(), ' ');
    drawn = std::max(drawn, line.size());
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
    if (now >= end) break;
    session.waitUntil(std::min(end, now + kProgressInterval));
  }
  std::fputs(("\r" + std::string(drawn, ' ') + "\r").c_str(), stderr);
  std::fflush(stderr);
}

// A recording's duration is read as any number, so that a negative or non-finite one gets its
// own message.
double parseDuration(std::string_view text) {
  double value = 0.0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec == std::errc::invalid_argument || ptr != end) {
    throw UsageError("--duration: " + quoteArgument(text) + " is not a number of seconds");
  }
  if (ec == std::errc::result_out_of_range) value = text.starts_with('-') ? -HUGE_VAL : HUGE_VAL;
  checkRecordingDuration(value, std::string(text));
  return value;
}

std::string fileName(const std::string& option, const std::string& text) {
  if (text.empty()) throw UsageError(option + ": expected a file name, got ''");
  return text;
}

}  // namespace

void declarePlotOptions(CLI::App& command, Options& options) {
  command
      .add_option_function<std::string>(
          "--plot",
          [&options](const std::string& value) { options.plotPath = fileName("--plot", value); })
      ->trigger_on_parse();
  command.add_flag_callback("--force", [&options] { options.force = true; })
      ->disable_flag_override()
      ->trigger_on_parse();
}

void declareRecordOptions(CLI::App& command, Options& options) {
  declareProviderOptions(command, options);
  command
      .add_option_function<std::string>(
          "--duration",
          [&options](const std::string& value) { options.durationSeconds = parseDuration(value); })
      ->trigger_on_parse()
      ->required();
  command
      .add_option_function<std::string>(
          "--out",
          [&options](const std::string& value) { options.outPath = fileName("--out", value); })
      ->trigger_on_parse()
      ->required();
  declarePlotOptions(command, options);
}

int runRecordCommand(const Options& options, HostSession& session) {
  RecordRequest request;
  request.durationSeconds = options.durationSeconds.value_or(0.0);
  request.out = options.outPath.value_or("-");
  request.force = options.force;
  request.plot = options.plotPath;
  return runRecord(request, session);
}

void checkRecordingDuration(double seconds, const std::string& text) {
  if (!std::isfinite(seconds)) {
    throw UsageError("--duration: " + quoteArgument(text) + " is not a finite number of seconds");
  }
  if (seconds <= 0.0) {
    throw UsageError("--duration: " + quoteArgument(text) + " is not a positive number of seconds");
  }
  if (seconds > kMaxRecordingSeconds) {
    throw UsageError("--duration: " + quoteArgument(text) +
                     " is longer than a recording may be (at most " +
                     formatFixed(kMaxRecordingSeconds, 0) + " s)");
  }
}

int runRecord(const RecordRequest& request, HostSession& session) {
  checkRecordingDuration(request.durationSeconds, formatNumber(request.durationSeconds));
  // Every output is reserved before the recording, so that a bad path costs no recording.
  std::unique_ptr<OutputFile> out;
  if (request.out != "-") out = reserve(request.out, request.force, "the scenario");
  std::unique_ptr<OutputFile> plot;
  if (request.plot) plot = reservePlot(*request.plot, request.force);

  const auto recorder = Recorder::start(session.platform());
  if (!recorder) throw HostFailure("the recorder could not be started on this platform");
  const double end = recorder->startedAt() + request.durationSeconds;
  waitWithProgress(session, *recorder, end, request.durationSeconds);
  const Recording recording = recorder->stop();

  const std::string text = scenarioText(recording.scenario);
  try {
    if (out) {
      out->write(text);
    } else {
      writeStandardOutput(text, "the scenario");
    }
  } catch (const OutputError& error) {
    throw UsageError(error.what(), false);
  }
  if (plot) drawAndCommit(plotOfRecording(recording), *plot);
  return 0;
}

struct SyncPlot::Reserved {
  std::unique_ptr<OutputFile> file;
};

SyncPlot::SyncPlot(const std::string& path, bool force, const HostSession& session)
    : reserved_(std::make_unique<Reserved>()) {
  reserved_->file = reservePlot(path, force);
  const auto& services = session.platform()->services();
  motion_ = services.motion ? services.motion->name() : "none";
  location_ = services.location ? services.location->name() : "none";
}

SyncPlot::~SyncPlot() = default;

void SyncPlot::draw(const PemdorSensorData& data, double startTime) {
  drawAndCommit(plotOfSyncData(data, startTime, motion_, location_), *reserved_->file);
}

}  // namespace pemdor::host
