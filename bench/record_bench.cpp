// SPDX-License-Identifier: MIT
// A ten-minute recording (6,000 readings per stream), made in virtual time from the simulated
// device: how long recording and writing take, the size of the scenario, how long loading it
// takes, and how long a sync run over all of it takes on the replay.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <string>

#include "Record.h"
#include "ScenarioWriter.h"
#include "pemdor/PemdorDeviceSensorInfo.h"
#include "pemdor/platform/SimulatedDevice.h"
#include "pemdor/platform/VirtualDispatcher.h"

namespace pemdor {
namespace {

constexpr double kTenMinutes = 600.0;
constexpr std::int32_t kReadingsPerStream = 6000;

// The still phone of the simulated device with a fix after half a second, recorded for ten
// virtual minutes.
host::Recording recordTenMinutes() {
  auto dispatcher = VirtualDispatcher::create();
  SimScenario scenario;
  scenario.clockStart = 1765184400.25;
  auto device = SimulatedDevice::create(scenario, dispatcher);
  auto recorder = host::Recorder::start(device->platform());
  dispatcher->advanceBy(kTenMinutes);
  return recorder->stop();
}

const std::string& tenMinuteText() {
  static const std::string text = host::scenarioText(recordTenMinutes().scenario);
  return text;
}

void BM_RecordAndWriteTenMinutes(benchmark::State& state) {
  std::size_t bytes = 0;
  std::size_t readings = 0;
  for (auto _ : state) {
    const host::Recording recording = recordTenMinutes();
    readings = recording.scenario.streams[0].readings->size();
    bytes = host::scenarioText(recording.scenario).size();
  }
  state.counters["readings_per_stream"] = static_cast<double>(readings);
  state.counters["file_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_RecordAndWriteTenMinutes)->Unit(benchmark::kMillisecond);

void BM_LoadTenMinuteRecording(benchmark::State& state) {
  const std::string& text = tenMinuteText();
  for (auto _ : state) {
    auto loaded = parseSimScenario(text, "ten minutes");
    if (!loaded) state.SkipWithError(loaded.error.c_str());
    benchmark::DoNotOptimize(loaded);
  }
  state.counters["file_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_LoadTenMinuteRecording)->Unit(benchmark::kMillisecond);

// Loading, then a sync run that keeps every reading of the ten minutes, in virtual time.
void BM_LoadAndReplayTenMinutes(benchmark::State& state) {
  const std::string& text = tenMinuteText();
  std::size_t records = 0;
  for (auto _ : state) {
    auto loaded = parseSimScenario(text, "ten minutes");
    auto dispatcher = VirtualDispatcher::create();
    auto device = SimulatedDevice::create(std::move(*loaded.scenario), dispatcher);
    auto collector = PemdorDeviceSensorInfo::init(device->platform());
    collector->startSensors(kReadingsPerStream);
    dispatcher->advanceBy(kTenMinutes + 1.0);
    records = collector->gravityRecords()->count();
    collector->finishSensors();
    dispatcher->advanceBy(PemdorDeviceSensorInfo::kLocationTimeout + 1.0);
  }
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  state.counters["gravity_records"] = static_cast<double>(records);
  // The whole benchmark process's peak so far; the sample host's own peak is measured by command
  // (see the README).
  state.counters["process_peak_rss_kib"] = static_cast<double>(usage.ru_maxrss);
}
BENCHMARK(BM_LoadAndReplayTenMinutes)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pemdor
