// SPDX-License-Identifier: MIT
// What a sync run costs the process while it samples: a collector's four streams at 0.1 s on the
// real dispatcher, on the simulated device and on IIO devices faked by umockdev. Reported per
// second of sampling: wake-ups (the process's voluntary context switches, from getrusage) and
// CPU milliseconds. The window starts once the run has settled, so start-up and exit are not in
// the figures. The benchmark's own thread sleeps through the window (one wake-up of its own).
// Cases for the layers underneath (a bare thread waking ten times a second, the dispatcher's
// timers, the simulated streams) show how much of the figure is the machine's price of a wake-up.
// BM_SideBySide runs the bare thread, those layers and both sync runs at the same time, each in a
// process of its own, and prints the ratios that are comparable from one machine (and one load)
// to another: sim_over_floor, streams_over_floor and iio_over_sim.
//
// The IIO case needs umockdev's preload: run the program as
//   umockdev-wrapper build/default/bench/pemdor_wakeup_bench
// Without it the IIO case reports an error and the simulated one still runs.

#include <benchmark/benchmark.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "pemdor/PemdorDeviceSensorInfo.h"
#include "pemdor/platform/Providers.h"
#include "pemdor/platform/RealDispatcher.h"
#include "pemdor/platform/SimulatedDevice.h"

#ifdef PEMDOR_BENCH_UMOCKDEV
#include "UmockdevTestbed.h"
#endif

namespace pemdor {
namespace {

using namespace std::chrono_literals;

constexpr auto kSettle = 500ms;
constexpr auto kWindow = 4s;

struct Usage {
  double cpuSeconds = 0.0;
  long wakeUps = 0;
  static Usage now(int who = RUSAGE_SELF) {
    rusage r{};
    getrusage(who, &r);
    auto seconds = [](const timeval& t) {
      return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    };
    return {seconds(r.ru_utime) + seconds(r.ru_stime), r.ru_nvcsw};
  }
  // The process's usage without that of the calling thread: what the other threads used.
  static Usage others() {
    const Usage all = now(RUSAGE_SELF);
    const Usage self = now(RUSAGE_THREAD);
    return {all.cpuSeconds - self.cpuSeconds, all.wakeUps - self.wakeUps};
  }
};

// Measures one window per iteration, once what runs in the background has settled. `records`,
// when given, counts what has been collected so far.
void measureWindows(benchmark::State& state,
                    const std::function<std::size_t()>& records = nullptr) {
  std::this_thread::sleep_for(kSettle);
  double seconds = 0.0, cpu = 0.0, wakeUps = 0.0, collected = 0.0;
  for (auto _ : state) {
    const std::size_t recordsBefore = records ? records() : 0;
    const Usage before = Usage::now();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(kWindow);
    const Usage after = Usage::now();
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (records) collected += static_cast<double>(records() - recordsBefore);
    state.SetIterationTime(elapsed);
    seconds += elapsed;
    cpu += after.cpuSeconds - before.cpuSeconds;
    wakeUps += static_cast<double>(after.wakeUps - before.wakeUps);
  }
  state.counters["wakeups_per_s"] = wakeUps / seconds;
  state.counters["cpu_ms_per_s"] = cpu * 1e3 / seconds;
  if (records) state.counters["records_per_s"] = collected / seconds;
}

std::size_t recordsSoFar(PemdorDeviceSensorInfo& collector) {
  std::size_t total = 0;
  for (const auto& [key, value] : collector.getSensorData()) {
    if (const auto* list = std::get_if<PemdorRecordListRef>(&value)) total += (*list)->count();
  }
  return total;
}

// The platforms of the two sync runs, with no location service, as with the sample host's
// --location none.
std::shared_ptr<Platform> simPlatform(const std::shared_ptr<RealDispatcher>& dispatcher,
                                      const std::shared_ptr<SimulatedDevice>& device) {
  return Platform::create({dispatcher, device->clock(), device->motionService(), nullptr});
}

std::shared_ptr<Platform> iioPlatform(const std::shared_ptr<RealDispatcher>& dispatcher) {
  return Platform::create({dispatcher, nullptr, makeIioMotionService(dispatcher), nullptr});
}

// The simulated device's four streams on a dispatcher of their own, with handlers that do
// nothing.
struct EmptySimStreams {
  std::shared_ptr<RealDispatcher> dispatcher = RealDispatcher::create();
  std::shared_ptr<SimulatedDevice> device = SimulatedDevice::create(SimScenario{}, dispatcher);
  std::shared_ptr<CMMotionManager> manager = device->motionService()->makeMotionManager();
  std::shared_ptr<OperationQueue> queue = dispatcher->makeOperationQueue("motion");

  void start() {
    queue->setMaxConcurrentOperationCount(1);
    for (MotionStream stream : kAllMotionStreams) {
      manager->startUpdates(stream, queue, [](const CMVector*, const NSError*) {});
    }
  }
  void stop() {
    for (MotionStream stream : kAllMotionStreams) manager->stopUpdates(stream);
  }
};

// Runs an unlimited sync run on `platform` and measures it.
void measureSyncRun(benchmark::State& state, const std::shared_ptr<Platform>& platform) {
  auto collector = PemdorDeviceSensorInfo::init(platform);
  if (!collector) {
    state.SkipWithError("no collector on this platform");
    return;
  }
  collector->startSensors(INT32_MAX);
  measureWindows(state, [&] { return recordsSoFar(*collector); });
  collector->finishSensors();
}

void BM_SyncRunSimulated(benchmark::State& state) {
  auto dispatcher = RealDispatcher::create();
  auto device = SimulatedDevice::create(SimScenario{}, dispatcher);
  measureSyncRun(state, simPlatform(dispatcher, device));
}
BENCHMARK(BM_SyncRunSimulated)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// The layers under the simulated case, to tell what the library costs from what the machine
// charges for waking a thread ten times a second:
// - a bare thread that waits for the next 0.1 s on a condition variable and does nothing else;
// - the real dispatcher running a task that schedules itself again every 0.1 s on a work queue;
// - the simulated device's four streams with handlers that do nothing.
void BM_BareWakeUps(benchmark::State& state) {
  std::mutex mutex;
  std::condition_variable stopped;
  bool stop = false;
  std::thread waker([&] {
    std::unique_lock lock(mutex);
    for (auto due = std::chrono::steady_clock::now(); !stop;) {
      due += 100ms;
      stopped.wait_until(lock, due, [&] { return stop; });
    }
  });
  measureWindows(state);
  {
    std::lock_guard lock(mutex);
    stop = true;
  }
  stopped.notify_one();
  waker.join();
}
BENCHMARK(BM_BareWakeUps)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

class SelfSchedulingTask : public std::enable_shared_from_this<SelfSchedulingTask> {
 public:
  explicit SelfSchedulingTask(const std::shared_ptr<Dispatcher>& dispatcher)
      : dispatcher_(dispatcher),
        queue_(dispatcher->makeOperationQueue("tick")),
        base_(dispatcher->monotonicNow()) {
    queue_->setMaxConcurrentOperationCount(1);
  }
  void schedule() {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    ++ticks_;
    timer_ = dispatcher_->scheduleAt(base_ + 0.1 * static_cast<double>(ticks_), queue_,
                                     [weak = weak_from_this()] {
                                       if (auto self = weak.lock()) self->schedule();
                                     });
  }
  void stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    if (timer_) timer_->cancel();
  }

 private:
  const std::shared_ptr<Dispatcher> dispatcher_;
  const std::shared_ptr<OperationQueue> queue_;
  const double base_;
  std::mutex mutex_;
  std::uint64_t ticks_ = 0;
  bool stopped_ = false;
  std::shared_ptr<TimerHandle> timer_;
};

void BM_DispatcherTick(benchmark::State& state) {
  auto dispatcher = RealDispatcher::create();
  auto task = std::make_shared<SelfSchedulingTask>(dispatcher);
  task->schedule();
  measureWindows(state);
  task->stop();
}
BENCHMARK(BM_DispatcherTick)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

void BM_SimMotionStreams(benchmark::State& state) {
  EmptySimStreams streams;
  streams.start();
  measureWindows(state);
  streams.stop();
}
BENCHMARK(BM_SimMotionStreams)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

#ifdef PEMDOR_BENCH_UMOCKDEV
// An IMU with an accelerometer, a gyroscope and a magnetometer, read through sysfs.
const iio_test::UmockdevTestbed::Attributes kIioDevice = {
    {"in_accel_x_raw", "0"},    {"in_accel_y_raw", "0"},       {"in_accel_z_raw", "981"},
    {"in_accel_scale", "0.01"}, {"in_anglvel_x_raw", "1"},     {"in_anglvel_y_raw", "2"},
    {"in_anglvel_z_raw", "3"},  {"in_anglvel_scale", "0.001"}, {"in_magn_x_raw", "20"},
    {"in_magn_y_raw", "-5"},    {"in_magn_z_raw", "-40"},      {"in_magn_scale", "0.01"}};
#endif

void BM_SyncRunIio(benchmark::State& state) {
#ifdef PEMDOR_BENCH_UMOCKDEV
  if (!iio_test::UmockdevTestbed::inMockEnvironment()) {
    state.SkipWithError("run under umockdev-wrapper for the IIO case");
    return;
  }
  iio_test::UmockdevTestbed testbed;
  testbed.addDevice("iio:device0", kIioDevice);
  auto dispatcher = RealDispatcher::create();
  measureSyncRun(state, iioPlatform(dispatcher));
#else
  state.SkipWithError("this build has no IIO provider or no umockdev");
#endif
}
BENCHMARK(BM_SyncRunIio)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// The figures that matter side by side, in one run: a bare thread that sleeps on clock_nanosleep
// until its next 0.1 s (the floor), the sync run on the simulated device (sim) and the sync run
// on IIO devices (iio, under umockdev), with the layers under the simulated run beside them: the
// dispatcher's timer alone (tick) and the simulated streams with handlers that do nothing
// (streams). Each runs in a child process of its own, all of them at the same time and over the
// same window, their wake-ups kPhase apart so that none wakes while another is running; each
// child measures its own CPU time and wake-ups over the window, and runs a copy of this program
// of its own (see ProgramCopies). Run together rather than in turns, they all pay the same price
// for a wake-up, which changes with the load of the machine from one second to the next. Reported:
// each one's CPU milliseconds and wake-ups per second, and the ratios of the CPU figures
// sim_over_floor, streams_over_floor and iio_over_sim. With PEMDOR_WAKEUP_WINDOWS set, every
// window's figures go to standard error as well.
//
// The window is cut into kWindows windows of kSlice, and each ratio is the median of its
// ratios window by window: a second in which the machine charged one part for something else
// (the host taking the CPU away, a page-table scan) weighs on one window, not on the figure. All
// the parts run on one CPU, the one the benchmark starts on, so that they pay the same CPU's
// price: on a virtual machine, one CPU's wake-ups can cost half again as much as another's.
constexpr int kWindows = 9;
constexpr auto kSlice = 1s;
constexpr auto kPhase = 20ms;

struct Share {
  std::array<double, kWindows> seconds{};
  std::array<double, kWindows> cpu{};
  std::array<double, kWindows> wakeUps{};
  bool ok = false;
  double total(const std::array<double, kWindows>& values) const {
    double sum = 0.0;
    for (double v : values) sum += v;
    return sum;
  }
  double cpuMsPerSecond() const { return total(cpu) * 1e3 / total(seconds); }
  double wakeUpsPerSecond() const { return total(wakeUps) / total(seconds); }
  double cpuMsPerSecondIn(std::size_t window) const { return cpu[window] * 1e3 / seconds[window]; }
};

// The median over the windows of `a`'s CPU per second over `b`'s.
double medianRatio(const Share& a, const Share& b) {
  std::array<double, kWindows> ratios{};
  for (std::size_t w = 0; w < ratios.size(); ++w) {
    ratios[w] = a.cpuMsPerSecondIn(w) / b.cpuMsPerSecondIn(w);
  }
  std::sort(ratios.begin(), ratios.end());
  return ratios[ratios.size() / 2];
}

using SteadyPoint = std::chrono::steady_clock::time_point;

// What runs in one child: set up at its phase, measured over kWindows windows from `from`, then
// torn down. Returns false when it cannot run here.
using Part = std::function<bool(SteadyPoint phase, SteadyPoint from, Share&)>;

void measureBetween(SteadyPoint from, Share& share) {
  std::this_thread::sleep_until(from);
  // The thread that measures wakes once per window; what it uses is left out.
  Usage before = Usage::others();
  auto start = std::chrono::steady_clock::now();
  for (std::size_t w = 0; w < static_cast<std::size_t>(kWindows); ++w) {
    std::this_thread::sleep_until(from + kSlice * static_cast<int>(w + 1));
    const Usage after = Usage::others();
    const auto end = std::chrono::steady_clock::now();
    share.seconds[w] = std::chrono::duration<double>(end - start).count();
    share.cpu[w] = after.cpuSeconds - before.cpuSeconds;
    share.wakeUps[w] = static_cast<double>(after.wakeUps - before.wakeUps);
    before = after;
    start = end;
  }
  share.ok = true;
}

bool floorPart(SteadyPoint phase, SteadyPoint from, Share& share) {
  std::atomic<bool> stop{false};
  std::this_thread::sleep_until(phase);
  std::thread waker([&stop] {
    timespec due{};
    clock_gettime(CLOCK_MONOTONIC, &due);
    while (!stop.load(std::memory_order_relaxed)) {
      due.tv_nsec += 100'000'000;
      if (due.tv_nsec >= 1'000'000'000) {
        due.tv_nsec -= 1'000'000'000;
        ++due.tv_sec;
      }
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
    }
  });
  measureBetween(from, share);
  stop.store(true);
  waker.join();
  return true;
}

bool tickPart(SteadyPoint phase, SteadyPoint from, Share& share) {
  auto dispatcher = RealDispatcher::create();
  std::this_thread::sleep_until(phase);
  auto task = std::make_shared<SelfSchedulingTask>(dispatcher);
  task->schedule();
  measureBetween(from, share);
  task->stop();
  return true;
}

bool streamsPart(SteadyPoint phase, SteadyPoint from, Share& share) {
  EmptySimStreams streams;
  std::this_thread::sleep_until(phase);
  streams.start();
  measureBetween(from, share);
  streams.stop();
  return true;
}

bool syncRunPart(const std::shared_ptr<Platform>& platform, SteadyPoint phase, SteadyPoint from,
                 Share& share) {
  auto collector = PemdorDeviceSensorInfo::init(platform);
  if (!collector) return false;
  std::this_thread::sleep_until(phase);
  collector->startSensors(INT32_MAX);
  measureBetween(from, share);
  collector->finishSensors();
  return true;
}

bool simPart(SteadyPoint phase, SteadyPoint from, Share& share) {
  auto dispatcher = RealDispatcher::create();
  auto device = SimulatedDevice::create(SimScenario{}, dispatcher);
  return syncRunPart(simPlatform(dispatcher, device), phase, from, share);
}

bool iioPart(SteadyPoint phase, SteadyPoint from, Share& share) {
  return syncRunPart(iioPlatform(RealDispatcher::create()), phase, from, share);
}

// The parts by name, for the child processes that run them.
struct NamedPart {
  const char* name;
  Part run;
};
const std::array<NamedPart, 5> kParts{{{"floor", floorPart},
                                       {"tick", tickPart},
                                       {"streams", streamsPart},
                                       {"sim", simPart},
                                       {"iio", iioPart}}};

// The argument that makes the program run one part instead of the benchmarks.
constexpr std::string_view kPartArgument = "--side-by-side-part";

// A child's program, after the exec: runs the named part and writes what it measured to `fd`.
int runPart(const char* name, const char* phaseNs, const char* fromNs, const char* fd) {
  const auto at = [](const char* ns) {
    return SteadyPoint(std::chrono::nanoseconds(std::strtoll(ns, nullptr, 10)));
  };
  Share share;
  for (const NamedPart& part : kParts) {
    if (std::string_view(name) == part.name && !part.run(at(phaseNs), at(fromNs), share)) {
      share = Share{};
    }
  }
  const ssize_t written = write(std::atoi(fd), &share, sizeof share);
  return written == static_cast<ssize_t>(sizeof share) ? 0 : 1;
}

// A copy of this program per part, in a directory of its own that goes with the object.
// Processes of one program share its code pages, and with them the caches' copies of its code:
// a part running the library's code 20 ms before another would leave that code warm for it.
// Each part runs its own copy, so that each one's code is as cold after a sleep as it would be
// in a host that runs one sync run. The C and C++ runtimes stay shared, as on any machine.
class ProgramCopies {
 public:
  explicit ProgramCopies(const std::vector<const char*>& names) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pemdor-wakeup-XXXXXX";
    if (!mkdtemp(pattern.data())) return;
    dir_ = pattern;
    std::error_code error;
    for (const char* name : names) {
      const std::filesystem::path copy = dir_ / name;
      if (!std::filesystem::copy_file("/proc/self/exe", copy, error)) return;
      paths_.push_back(copy.string());
    }
  }
  ~ProgramCopies() {
    std::error_code error;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, error);
  }
  ProgramCopies(const ProgramCopies&) = delete;
  ProgramCopies& operator=(const ProgramCopies&) = delete;

  // Empty unless every copy was made.
  const std::vector<std::string>& paths() const { return paths_; }

 private:
  std::filesystem::path dir_;
  std::vector<std::string> paths_;
};

// Runs every named part in a child process of its own, each its own copy of this program, at
// once, and collects what each measured.
std::vector<Share> runTogether(const std::vector<const char*>& names) {
  std::vector<Share> shares(names.size());
  const ProgramCopies copies(names);
  if (copies.paths().size() != names.size()) return shares;
  const SteadyPoint begin = std::chrono::steady_clock::now() + 200ms;
  // The windows end halfway between two parts' wake-ups: every part's measuring thread wakes at
  // a window's end, and six threads woken by one timer interrupt would share what a wake-up
  // costs, which would make the part whose wake-ups fall there look cheaper.
  const SteadyPoint from = begin + kSettle + kPhase / 2;
  const auto ns = [](SteadyPoint point) {
    return std::to_string(
        std::chrono::duration_cast<std::chrono::nanoseconds>(point.time_since_epoch()).count());
  };
  // Every part on the CPU this thread runs on now.
  const int cpu = sched_getcpu();
  std::vector<std::pair<pid_t, int>> children;
  for (std::size_t i = 0; i < names.size(); ++i) {
    int fds[2];
    if (pipe(fds) != 0) break;
    // Made before the fork: the child only calls what is safe between a fork and an exec.
    const std::string& program = copies.paths()[i];
    const std::string phaseNs = ns(begin + kPhase * static_cast<int>(i));
    const std::string fromNs = ns(from);
    const std::string fd = std::to_string(fds[1]);
    const pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      if (cpu >= 0) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(static_cast<std::size_t>(cpu), &one);
        sched_setaffinity(0, sizeof one, &one);
      }
      execl(program.c_str(), program.c_str(), kPartArgument.data(), names[i], phaseNs.c_str(),
            fromNs.c_str(), fd.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    if (pid < 0) {
      close(fds[0]);
      break;
    }
    children.emplace_back(pid, fds[0]);
  }
  for (std::size_t i = 0; i < children.size(); ++i) {
    const auto [pid, fd] = children[i];
    if (read(fd, &shares[i], sizeof shares[i]) != static_cast<ssize_t>(sizeof shares[i])) {
      shares[i] = Share{};
    }
    close(fd);
    int status = 0;
    waitpid(pid, &status, 0);
  }
  return shares;
}

void BM_SideBySide(benchmark::State& state) {
  std::vector<const char*> parts = {"floor", "tick", "streams", "sim"};
  bool withIio = false;
#ifdef PEMDOR_BENCH_UMOCKDEV
  // Made before the children, which inherit it.
  std::optional<iio_test::UmockdevTestbed> testbed;
  if (iio_test::UmockdevTestbed::inMockEnvironment()) {
    testbed.emplace();
    testbed->addDevice("iio:device0", kIioDevice);
    parts.push_back("iio");
    withIio = true;
  }
#endif
  std::vector<Share> shares;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    shares = runTogether(parts);
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  const Share& floor = shares[0];
  const Share& tick = shares[1];
  const Share& streams = shares[2];
  const Share& sim = shares[3];
  if (!floor.ok || !tick.ok || !streams.ok || !sim.ok) {
    state.SkipWithError("a part of the side-by-side run failed");
    return;
  }
  if (std::getenv("PEMDOR_WAKEUP_WINDOWS")) {
    for (std::size_t w = 0; w < static_cast<std::size_t>(kWindows); ++w) {
      std::fprintf(stderr, "window %zu: floor %.3f sim %.3f%s%.3f\n", w, floor.cpuMsPerSecondIn(w),
                   sim.cpuMsPerSecondIn(w), withIio ? " iio " : " ",
                   withIio ? shares[4].cpuMsPerSecondIn(w) : 0.0);
    }
  }
  state.counters["floor_cpu_ms_per_s"] = floor.cpuMsPerSecond();
  state.counters["floor_wakeups_per_s"] = floor.wakeUpsPerSecond();
  state.counters["tick_cpu_ms_per_s"] = tick.cpuMsPerSecond();
  state.counters["streams_cpu_ms_per_s"] = streams.cpuMsPerSecond();
  state.counters["sim_cpu_ms_per_s"] = sim.cpuMsPerSecond();
  state.counters["sim_wakeups_per_s"] = sim.wakeUpsPerSecond();
  state.counters["sim_over_floor"] = medianRatio(sim, floor);
  // The timer and the simulated device with handlers that do nothing: what the layers under the
  // collector cost on their own, against which sim_over_floor shows the collector's share.
  state.counters["streams_over_floor"] = medianRatio(streams, floor);
  if (withIio && shares[4].ok) {
    const Share& iio = shares[4];
    state.counters["iio_cpu_ms_per_s"] = iio.cpuMsPerSecond();
    state.counters["iio_wakeups_per_s"] = iio.wakeUpsPerSecond();
    state.counters["iio_over_sim"] = medianRatio(iio, sim);
  }
}
BENCHMARK(BM_SideBySide)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace pemdor

// The benchmarks, or one part of the side-by-side run in a child process.
int main(int argc, char** argv) {
  if (argc == 6 && argv[1] == pemdor::kPartArgument) {
    return pemdor::runPart(argv[2], argv[3], argv[4], argv[5]);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
