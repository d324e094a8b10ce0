// SPDX-License-Identifier: MIT
// The GeoClue2 provider, alone and in the combined location service, against the fake GeoClue2
// of the tests on a private bus, in real time: how long a position takes from the service's
// LocationUpdated signal to the delegate call, and how often the process's threads other than
// the benchmark's own wake up while a manager waits for a position that does not come. The
// combination is the GeoClue2 provider (its consent member, whose start has been allowed) with a
// simulated device that is running but has nothing to give.

#include <benchmark/benchmark.h>
#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "GeoclueFake.h"
#include "location_recording.h"
#include "pemdor/platform/Providers.h"
#include "pemdor/platform/RealDispatcher.h"
#include "pemdor/platform/SimulatedDevice.h"

namespace pemdor {
namespace {

using geoclue_testing::GeoclueFake;
using location_conformance::runOnMain;

/// Notes the moment of every fix on the steady clock.
class TimingDelegate final : public CLLocationManagerDelegate {
 public:
  void locationManagerDidUpdateLocations(CLLocationManager&,
                                         const std::vector<CLLocationRef>&) override {
    const auto now = std::chrono::steady_clock::now();
    {
      std::lock_guard lock(mutex_);
      ++fixes_;
      last_ = now;
    }
    changed_.notify_all();
  }
  /// Waits for fix number `count` and returns its moment (nullopt after 10 s).
  std::optional<std::chrono::steady_clock::time_point> waitFor(long count) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(10), [&] { return fixes_ >= count; })) {
      return std::nullopt;
    }
    return last_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  long fixes_ = 0;
  std::chrono::steady_clock::time_point last_;
};

/// A fake service, a real dispatcher and one started manager: of GeoClue2 alone, or of GeoClue2
/// combined with a silent simulated device.
struct Rig {
  std::unique_ptr<GeoclueFake> fake;
  std::shared_ptr<RealDispatcher> dispatcher;
  std::shared_ptr<SimulatedDevice> silent;
  std::shared_ptr<LocationService> service;
  std::shared_ptr<CLLocationManager> manager;
  std::shared_ptr<TimingDelegate> delegate = std::make_shared<TimingDelegate>();
  std::string problem;

  explicit Rig(bool combined) {
    fake = GeoclueFake::start({}, problem);
    if (!fake) return;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", fake->address().c_str(), 1);
    dispatcher = RealDispatcher::create();
    service = makeGeoclueLocationService(dispatcher, {"pemdor-bench"});
    if (combined) {
      SimScenario nothing;
      nothing.events.emplace();
      silent = SimulatedDevice::create(nothing, dispatcher);
      service = makeCombinedLocationService({service, silent->locationService()});
    }
    runOnMain(*dispatcher, [&] {
      manager = service->makeLocationManager();
      manager->setDelegate(delegate);
      manager->startUpdatingLocation();
    });
    if (!fake->waitFor("started ")) problem = "the client did not start:\n" + fake->output();
  }
  ~Rig() {
    if (dispatcher) {
      runOnMain(*dispatcher, [&] { manager.reset(); });
      service.reset();
      dispatcher->shutdown();
    }
    fake.reset();
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  }
};

// Argument 0: GeoClue2 alone; 1: combined.
void BM_FixToDelegate(benchmark::State& state) {
  Rig rig(state.range(0) == 1);
  if (!rig.problem.empty()) {
    state.SkipWithError(rig.problem.c_str());
    return;
  }
  state.SetLabel(state.range(0) == 1 ? "combined" : "geoclue alone");
  long fixes = 0;
  std::vector<double> samples;
  for (auto _ : state) {
    rig.fake->send("emit 47.3769 8.5417");
    const auto delivered = rig.delegate->waitFor(++fixes);
    const auto emitted = rig.fake->waitFor("emitted ");
    std::int64_t signalled = 0;
    if (!delivered || !emitted ||
        std::from_chars(emitted->data(), emitted->data() + emitted->size(), signalled).ec !=
            std::errc()) {
      state.SkipWithError("a position did not arrive");
      return;
    }
    const double seconds = std::chrono::duration<double>(delivered->time_since_epoch() -
                                                         std::chrono::nanoseconds(signalled))
                               .count();
    state.SetIterationTime(seconds);
    samples.push_back(seconds);
  }
  std::sort(samples.begin(), samples.end());
  double total = 0.0;
  for (const double sample : samples) total += sample;
  state.counters["fix_to_delegate_us_mean"] = total * 1e6 / static_cast<double>(samples.size());
  state.counters["fix_to_delegate_us_median"] = samples[samples.size() / 2] * 1e6;
  state.counters["fix_to_delegate_us_worst"] = samples.back() * 1e6;
}
BENCHMARK(BM_FixToDelegate)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(200)
    ->Unit(benchmark::kMicrosecond);

/// Voluntary and involuntary context switches of every thread of this process but the caller.
long otherThreadsSwitches() {
  const long self = static_cast<long>(::syscall(SYS_gettid));
  long total = 0;
  DIR* tasks = ::opendir("/proc/self/task");
  if (tasks == nullptr) return -1;
  while (const dirent* entry = ::readdir(tasks)) {
    if (entry->d_name[0] == '.' || std::atol(entry->d_name) == self) continue;
    std::ifstream status(std::string("/proc/self/task/") + entry->d_name + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
          line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
        total += std::atol(line.substr(line.find(':') + 1).c_str());
      }
    }
  }
  ::closedir(tasks);
  return total;
}

// The benchmark's own thread sleeps; every other thread (the dispatcher's and the bus thread)
// should sleep through the wait, with or without the combination. Argument as above.
void BM_WakeUpsWhileWaitingForAFix(benchmark::State& state) {
  Rig rig(state.range(0) == 1);
  if (!rig.problem.empty()) {
    state.SkipWithError(rig.problem.c_str());
    return;
  }
  state.SetLabel(state.range(0) == 1 ? "combined" : "geoclue alone");
  constexpr auto kWait = std::chrono::seconds(3);
  // Lets the threads settle after the start before counting.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  for (auto _ : state) {
    const long before = otherThreadsSwitches();
    std::this_thread::sleep_for(kWait);
    const long after = otherThreadsSwitches();
    state.counters["other_threads_wakeups_per_s"] =
        static_cast<double>(after - before) / std::chrono::duration<double>(kWait).count();
  }
}
BENCHMARK(BM_WakeUpsWhileWaitingForAFix)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace pemdor
