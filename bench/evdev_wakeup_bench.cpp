// SPDX-License-Identifier: MIT
// What a sync run on an input device costs in wake-ups: a collector's streams at 0.1 s on the
// input-device provider, reading a game controller's motion node (faked by umockdev) that sends
// 250 reports a second, each a full frame of six axes. umockdev plays those events into the node
// from threads of its own inside this process, so the figures are per thread, from
// /proc/self/task/*/status (voluntary and involuntary context switches): the provider's I/O
// thread ("pemdor-evdev"), every thread of pemdor and the host (all but umockdev's and GLib's,
// which exist before the collector starts), and the whole process for comparison. The argument
// is the device's reports per second; 0 is a still device that sends nothing.
//
// Under umockdev every read() and ioctl() of the emulated node is a round trip to umockdev's own
// thread, on which the reading thread blocks: each costs a context switch that a kernel node,
// whose read of queued events never blocks, does not. The provider thread's figure therefore
// counts its one wake-up per tick plus those round trips; its sleeps (one per tick) can be
// counted with a debugger breakpoint on pthread_cond_clockwait in the "pemdor-evdev" thread.
//
// Run it under umockdev's preload:
//   umockdev-wrapper build/default/bench/pemdor_evdev_wakeup_bench

#include <benchmark/benchmark.h>
#include <linux/input-event-codes.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <variant>

#include "InputTestbed.h"
#include "pemdor/PemdorDeviceSensorInfo.h"
#include "pemdor/platform/Providers.h"
#include "pemdor/platform/RealDispatcher.h"

namespace pemdor {
namespace {

using namespace std::chrono_literals;

constexpr auto kSettle = 1s;
constexpr auto kWindow = 5s;
constexpr int kSeconds = 30;

struct ThreadUsage {
  std::string name;
  long switches = 0;
};

// Every thread of this process now: its name and its context switches so far.
std::map<std::string, ThreadUsage> threads() {
  std::map<std::string, ThreadUsage> result;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    ThreadUsage usage;
    std::ifstream(entry.path() / "comm") >> usage.name;
    std::ifstream status(entry.path() / "status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.starts_with("voluntary_ctxt_switches:") ||
          line.starts_with("nonvoluntary_ctxt_switches:")) {
        usage.switches += std::stol(line.substr(line.find(':') + 1));
      }
    }
    result[entry.path().filename().string()] = usage;
  }
  return result;
}

std::size_t recordsSoFar(PemdorDeviceSensorInfo& collector) {
  std::size_t total = 0;
  for (const auto& [key, value] : collector.getSensorData()) {
    if (const auto* list = std::get_if<PemdorRecordListRef>(&value)) total += (*list)->count();
  }
  return total;
}

void BM_SyncRunEvdevController(benchmark::State& state) {
  if (!evdev_test::InputTestbed::inMockEnvironment()) {
    state.SkipWithError("run under umockdev-wrapper");
    return;
  }
  evdev_test::InputTestbed testbed;
  evdev_test::InputDevice controller{7,
                                     "Wireless Controller Motion Sensors",
                                     {{ABS_X, 0, 8192},
                                      {ABS_Y, 0, 8192},
                                      {ABS_Z, 8192, 8192},
                                      {ABS_RX, 0, 1024},
                                      {ABS_RY, 0, 1024},
                                      {ABS_RZ, 0, 1024}}};
  if (testbed.add(controller).empty()) {
    state.SkipWithError(testbed.error().c_str());
    return;
  }
  const auto reportsPerSecond = static_cast<int>(state.range(0));
  std::vector<evdev_test::Frame> frames;
  for (int i = 0; i < reportsPerSecond * kSeconds; ++i) {
    const int wobble = i % 7;
    frames.push_back({static_cast<double>(i) / reportsPerSecond,
                      {{ABS_X, wobble},
                       {ABS_Y, -wobble},
                       {ABS_Z, 8192 + wobble},
                       {ABS_RX, 100 + wobble},
                       {ABS_RY, 50 - wobble},
                       {ABS_RZ, wobble}}});
  }
  if (!frames.empty()) testbed.play(7, evdev_test::evemuEvents(frames));

  const auto before = threads();
  std::set<std::string> foreign;
  for (const auto& [tid, usage] : before) foreign.insert(tid);
  auto dispatcher = RealDispatcher::create();
  auto collector = PemdorDeviceSensorInfo::init(
      Platform::create({dispatcher, nullptr, makeEvdevMotionService(dispatcher), nullptr}));
  collector->startSensors(INT32_MAX);
  std::this_thread::sleep_for(kSettle);
  // The benchmark's own thread sleeps through the window: one wake-up of its own.
  foreign.erase(std::to_string(gettid()));

  double seconds = 0, provider = 0, ours = 0, process = 0, records = 0;
  for (auto _ : state) {
    const auto start = threads();
    const std::size_t recordsBefore = recordsSoFar(*collector);
    const auto begun = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(kWindow);
    const auto end = threads();
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    records += static_cast<double>(recordsSoFar(*collector) - recordsBefore);
    state.SetIterationTime(elapsed);
    seconds += elapsed;
    for (const auto& [tid, usage] : end) {
      const auto was = start.find(tid);
      const long switches = usage.switches - (was == start.end() ? 0 : was->second.switches);
      process += static_cast<double>(switches);
      if (foreign.count(tid) == 0) ours += static_cast<double>(switches);
      if (usage.name == "pemdor-evdev") provider += static_cast<double>(switches);
    }
  }
  collector->finishSensors();
  state.counters["provider_thread_wakeups_per_s"] = provider / seconds;
  state.counters["pemdor_and_host_wakeups_per_s"] = ours / seconds;
  state.counters["process_wakeups_per_s"] = process / seconds;
  state.counters["records_per_s"] = records / seconds;
  state.counters["device_reports_per_s"] = reportsPerSecond;
}
BENCHMARK(BM_SyncRunEvdevController)
    ->Arg(0)
    ->Arg(250)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace pemdor
