// SPDX-License-Identifier: MIT
#include "Commands.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "DeviceReport.h"
#include "Output.h"
#include "Progress.h"
#include "RecordCommand.h"

namespace pemdor::host {
namespace {

// A sensor whose count did not move over this last stretch of the wait is reported as stalled.
constexpr double kStallWindowSeconds = 1.0;

void print(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

// Why the completion did not come: each part of the run that has not finished, and whether a
// motion sensor has stopped delivering.
std::string unfinishedParts(const PemdorDeviceSensorInfo& collector,
                            const std::array<std::size_t, kCallbackStreams.size()>* countsBefore,
                            bool nothingLeft, double positionWait) {
  const auto counts = readingCounts(collector);
  std::string parts;
  bool anyStalled = false;
  const auto add = [&](const std::string& part) { parts += (parts.empty() ? "" : "; ") + part; };
  for (std::size_t i = 0; i < kCallbackStreams.size(); ++i) {
    if (sensorFinished(collector, kCallbackStreams[i])) continue;
    const bool stalled = nothingLeft || (countsBefore && (*countsBefore)[i] == counts[i]);
    anyStalled = anyStalled || stalled;
    add(std::string(sensorOf(kCallbackStreams[i]).name) + " has " + std::to_string(counts[i]) +
        "/" + std::to_string(kCallbackReadingsPerSensor) + " readings" +
        (stalled ? " and has stalled" : ""));
  }
  if (!collector.locationServiceFinished()) {
    add("the position wait has not ended after " + formatFixed(positionWait, 1) +
        " s (it ends after at most " + formatNumber(kLocationWaitSeconds) + " s)");
  }
  if (parts.empty()) parts = "every part has finished, but the completion has not been called";
  if (anyStalled) {
    parts += " (a stalled sensor keeps a run from completing; the run has no motion timeout)";
  }
  return parts;
}

int runInfo(const Options& options, HostSession& session) {
  const auto collector = session.makeCollector();
  const std::vector<IioDeviceReport> devices = iioDeviceReport();
  const std::vector<EvdevDeviceReport> inputDevices = evdevDeviceReport();
  if (options.format == OutputFormat::json) {
    nlohmann::ordered_json report = nlohmann::ordered_json::object();
    report["availableSensors"] = collector->availableSensors();
    report["isLocationServiceAvailable"] = collector->isLocationServiceAvailable();
    report["motion"] = session.motionReport();
    report["location"] = session.locationReport();
    if (!session.scenarioReport().empty()) report["scenario"] = session.scenarioReport();
    report["time"] = session.virtualTime() ? "virtual" : "real";
    report["iioDevices"] = iioReportJson(devices);
    report["inputDevices"] = inputReportJson(inputDevices);
    print(report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
    return 0;
  }
  std::string text = "availableSensors: " + collector->availableSensors() + "\n";
  text += std::string("isLocationServiceAvailable: ") +
          (collector->isLocationServiceAvailable() ? "true" : "false") + "\n";
  text += "motion: " + session.motionReport() + "\n";
  text += "location: " + session.locationReport() + "\n";
  if (!session.scenarioReport().empty()) text += "scenario: " + session.scenarioReport() + "\n";
  text += std::string("time: ") + (session.virtualTime() ? "virtual" : "real") + "\n";
  text += iioReportText(devices);
  text += inputReportText(inputDevices);
  print(text);
  return 0;
}

int runSnapshot(const Options& options, HostSession& session) {
  const auto collector = session.makeCollector();
  auto box = std::make_shared<CompletionBox>();
  Dispatcher* dispatcher = &collector->platform()->dispatcher();

  const double start = session.now();
  const double deadline = start + options.timeoutSeconds;
  // The completion keeps the box, not the dispatcher: the session outlives every task. It holds
  // the collector weakly (the collector keeps the completion). The run stops location updates
  // at its first fix, so the stored fix is the one whose coordinates the completion received.
  collector->processSensorsWithCallBack([box, dispatcher, start, weak = std::weak_ptr(collector)](
                                            const std::string& latitude,
                                            const std::string& longitude,
                                            const std::optional<std::string>& json) {
    std::optional<std::string> source;
    if (const auto self = weak.lock(); self && !latitude.empty()) {
      source = sourceOf(self->currentLocation());
    }
    box->deliver(SnapshotResult{latitude, longitude, json, std::move(source),
                                dispatcher->monotonicNow() - start});
  });

  std::shared_ptr<ProgressDisplay> progress;
  if (!session.virtualTime() && ::isatty(STDERR_FILENO) == 1) {
    progress = ProgressDisplay::start(collector, start);
  }

  // The wait ends in two steps so that a sensor whose count stood still over the last stretch
  // can be named as stalled.
  std::optional<std::array<std::size_t, kCallbackStreams.size()>> countsBefore;
  WaitOutcome outcome = WaitOutcome::timedOut;
  if (options.timeoutSeconds > kStallWindowSeconds) {
    outcome = session.waitFor(*box, deadline - kStallWindowSeconds);
  }
  if (outcome == WaitOutcome::timedOut) {
    countsBefore = readingCounts(*collector);
    outcome = session.waitFor(*box, deadline);
  }
  const double waited = session.now() - start;
  if (progress) progress->stop();

  const int status = [&] {
    if (const auto result = box->result()) {
      print(options.format == OutputFormat::json ? snapshotJson(*result) : snapshotText(*result));
      return 0;
    }
    const bool nothingLeft = outcome == WaitOutcome::idle;
    const std::string message =
        "pemdor-sensors: no completion within " + formatNumber(options.timeoutSeconds) + " s" +
        (nothingLeft ? " (nothing left that could finish the run after " + formatFixed(waited, 1) +
                           " virtual s)"
                     : "") +
        ": " +
        unfinishedParts(*collector, countsBefore ? &*countsBefore : nullptr, nothingLeft, waited) +
        "\n";
    std::fputs(message.c_str(), stderr);
    return kExitNoCompletion;
  }();
  // Streams that never finished are stopped so that nothing keeps running past the command.
  collector->finishSensors();
  return status;
}

int runSync(const Options& options, HostSession& session) {
  const auto collector = session.makeCollector();
  const double readAfter =
      options.readAfterSeconds.value_or(defaultReadAfterSeconds(options.limit));

  // The picture's file is reserved first, so that a bad path is refused before the run.
  std::unique_ptr<SyncPlot> plot;
  if (options.plotPath)
    plot = std::make_unique<SyncPlot>(*options.plotPath, options.force, session);

  const double start = session.now();
  const double startTime = collector->platform()->timeIntervalSince1970();
  collector->startSensors(options.limit);
  if (options.watchSeconds) {
    const double every = *options.watchSeconds;
    for (std::uint64_t tick = 1; static_cast<double>(tick) * every < readAfter; ++tick) {
      session.waitUntil(start + static_cast<double>(tick) * every);
      print(sensorDataJson(collector->getSensorData()));
    }
  }
  session.waitUntil(start + readAfter);
  const PemdorSensorData data = collector->getSensorData();
  // The source is that of the stored fix, and only where the data shows a position.
  const SyncSource source{data.count("la") != 0 ? sourceOf(collector->currentLocation())
                                                : std::nullopt};
  print(options.format == OutputFormat::json ? sensorDataJson(data, source)
                                             : sensorDataText(data, source));
  collector->finishSensors();
  if (plot) plot->draw(data, startTime);
  return 0;
}

void declareSyncAndPlotOptions(CLI::App& command, Options& options) {
  declareSyncOptions(command, options);
  declarePlotOptions(command, options);
}

constexpr std::array<CommandEntry, 4> kCommands{{
    {Command::info, "info", declareInfoOptions, runInfo},
    {Command::snapshot, "snapshot", declareSnapshotOptions, runSnapshot},
    {Command::sync, "sync", declareSyncAndPlotOptions, runSync},
    {Command::record, "record", declareRecordOptions, runRecordCommand},
}};

}  // namespace

std::span<const CommandEntry> hostCommands() {
  return kCommands;
}

}  // namespace pemdor::host
