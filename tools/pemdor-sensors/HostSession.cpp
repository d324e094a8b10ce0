#include "HostSession.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>
#include <vector>

#include "pemdor/platform/Providers.h"

namespace pemdor::host {
namespace {

// What a look for a real provider found.
enum class Probe { notLooked, notBuilt, absent, present };

Probe probeIio() {
  if (!iioProviderBuilt()) return Probe::notBuilt;
  return iioMotionDevicesPresent() ? Probe::present : Probe::absent;
}

Probe probeGpsd(const GpsdEndpoint& endpoint) {
  if (!gpsdProviderBuilt()) return Probe::notBuilt;
  return gpsdAnswers(endpoint) ? Probe::present : Probe::absent;
}

// What a probe found, in the words of its provider for "absent" and "present".
std::string finding(Probe probe, const char* absent, const char* present) {
  switch (probe) {
    case Probe::notLooked:
      return "not probed";
    case Probe::notBuilt:
      return "not built";
    case Probe::absent:
      return absent;
    case Probe::present:
      return present;
  }
  return "?";
}

std::string iioFinding(Probe probe) {
  return finding(probe, "no devices", "found");
}
std::string gpsdFinding(Probe probe) {
  return finding(probe, "no answer", "answers");
}

std::string endpointText(const GpsdEndpoint& endpoint) {
  const bool ipv6 = endpoint.host.find(':') != std::string::npos;
  return (ipv6 ? "[" + endpoint.host + "]" : endpoint.host) + ":" + endpoint.port;
}

// Real time runs one run, so the end of a wait is near: the host sleeps on its own thread.
void sleepSeconds(double seconds) {
  if (seconds > 0.0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

}  // namespace

void CompletionBox::deliver(SnapshotResult result) {
  {
    std::lock_guard lock(mutex_);
    if (result_) return;
    result_ = std::move(result);
  }
  delivered_.notify_all();
}

bool CompletionBox::ready() const {
  std::lock_guard lock(mutex_);
  return result_.has_value();
}

std::optional<SnapshotResult> CompletionBox::result() const {
  std::lock_guard lock(mutex_);
  return result_;
}

bool CompletionBox::waitFor(double seconds) {
  std::unique_lock lock(mutex_);
  if (seconds > 0.0) {
    delivered_.wait_for(lock, std::chrono::duration<double>(seconds),
                        [&] { return result_.has_value(); });
  }
  return result_.has_value();
}

std::unique_ptr<HostSession> HostSession::open(const Options& options) {
  auto session = std::make_unique<HostSession>();

  std::optional<SimScenario> scenario;
  if (options.scenarioPath) {
    SimScenarioResult loaded = loadSimScenarioFile(*options.scenarioPath);
    if (!loaded) {
      throw UsageError(
          loaded.error.empty() ? "cannot read the scenario " + *options.scenarioPath : loaded.error,
          false);
    }
    scenario = std::move(loaded.scenario);
  }

  // A scenario and virtual time both describe the simulated device: "auto" then means it.
  const bool simulatedByDefault = options.scenarioPath || options.virtualTime;
  MotionChoice motion = options.motion;
  LocationChoice location = options.location;
  if (motion == MotionChoice::automatic && simulatedByDefault) motion = MotionChoice::sim;
  if (location == LocationChoice::automatic && simulatedByDefault) location = LocationChoice::sim;

  if (options.virtualTime && motion == MotionChoice::iio) {
    throw UsageError("--virtual-time runs only the simulated device; it cannot drive --motion iio");
  }
  if (options.virtualTime && location == LocationChoice::gpsd) {
    throw UsageError(
        "--virtual-time runs only the simulated device; it cannot drive --location gpsd");
  }
  if (options.scenarioPath && motion != MotionChoice::sim && location != LocationChoice::sim) {
    throw UsageError(
        "--scenario describes the simulated device, but neither --motion nor "
        "--location uses it");
  }

  const GpsdEndpoint defaultEndpoint;
  const GpsdEndpoint& endpoint = location == LocationChoice::gpsd ? options.gpsd : defaultEndpoint;
  // info reports what every real provider would find; the other commands look only where the
  // choice depends on it.
  const bool reportAll = options.command == Command::info;
  const Probe iio = reportAll || motion == MotionChoice::automatic || motion == MotionChoice::iio
                        ? probeIio()
                        : Probe::notLooked;
  const Probe gpsd =
      reportAll || location == LocationChoice::automatic || location == LocationChoice::gpsd
          ? probeGpsd(endpoint)
          : Probe::notLooked;

  std::vector<std::string> fallbacks;
  if (motion == MotionChoice::automatic) {
    motion = iio == Probe::present ? MotionChoice::iio : MotionChoice::sim;
    if (iio == Probe::notBuilt) fallbacks.push_back("this build has no IIO motion provider");
    if (iio == Probe::absent) fallbacks.push_back("no IIO motion devices found");
  }
  if (location == LocationChoice::automatic) {
    location = gpsd == Probe::present ? LocationChoice::gpsd : LocationChoice::sim;
    if (gpsd == Probe::notBuilt) fallbacks.push_back("this build has no gpsd location provider");
    if (gpsd == Probe::absent) fallbacks.push_back("no gpsd answers at " + endpointText(endpoint));
  }
  if (motion == MotionChoice::iio && iio == Probe::notBuilt) {
    throw UsageError(
        "--motion iio: this build has no IIO motion provider (libiio was not found "
        "when it was built)",
        false);
  }
  if (motion == MotionChoice::iio && iio == Probe::absent) {
    throw UsageError("--motion iio: no IIO motion devices found", false);
  }
  if (location == LocationChoice::gpsd && gpsd == Probe::notBuilt) {
    throw UsageError(
        "--location gpsd: this build has no gpsd location provider (libgps was not "
        "found when it was built)",
        false);
  }
  if (location == LocationChoice::gpsd && gpsd == Probe::absent) {
    throw UsageError("--location gpsd: no gpsd answers at " + endpointText(endpoint), false);
  }
  if (!fallbacks.empty()) {
    std::string note = "pemdor-sensors: ";
    for (std::size_t i = 0; i < fallbacks.size(); ++i) {
      note += (i == 0 ? "" : " and ") + fallbacks[i];
    }
    note += "; using the simulated device\n";
    std::fputs(note.c_str(), stderr);
  }

  std::shared_ptr<Dispatcher> dispatcher;
  if (options.virtualTime) {
    session->virtual_ = VirtualDispatcher::create();
    dispatcher = session->virtual_;
  } else {
    session->real_ = RealDispatcher::create();
    dispatcher = session->real_;
  }
  if (!dispatcher) throw HostFailure("the dispatcher could not be started");

  const bool simulated = motion == MotionChoice::sim || location == LocationChoice::sim;
  if (simulated) {
    session->device_ = SimulatedDevice::create(scenario.value_or(SimScenario{}), dispatcher);
    if (!session->device_) throw HostFailure("the simulated device could not be made");
    session->scenarioReport_ = options.scenarioPath ? *options.scenarioPath : "built-in default";
  }

  if (motion == MotionChoice::sim && location == LocationChoice::sim) {
    session->platform_ = session->device_->platform();
  } else {
    Platform::Services services;
    services.dispatcher = dispatcher;
    // Readings are stamped by the clock of the device that makes them.
    services.clock = motion == MotionChoice::sim ? session->device_->clock() : makeSystemClock();
    services.motion = motion == MotionChoice::sim ? session->device_->motionService()
                                                  : makeIioMotionService(dispatcher);
    if (!services.motion)
      throw UsageError("--motion iio: the IIO motion provider did not start", false);
    switch (location) {
      case LocationChoice::sim:
        services.location = session->device_->locationService();
        break;
      case LocationChoice::gpsd:
        services.location = makeGpsdLocationService(dispatcher, endpoint);
        break;
      default:
        services.location = makeNoLocationService();
        break;
    }
    if (!services.location) {
      throw UsageError("--location gpsd: the gpsd location provider did not start", false);
    }
    session->platform_ = Platform::create(std::move(services));
  }
  if (!session->platform_) throw HostFailure("the platform could not be made");

  session->motionReport_ =
      motion == MotionChoice::iio ? "iio (found)" : "simulated (IIO: " + iioFinding(iio) + ")";
  const std::string gpsdAt = "gpsd " + endpointText(endpoint);
  switch (location) {
    case LocationChoice::gpsd:
      session->locationReport_ = gpsdAt + " (answers)";
      break;
    case LocationChoice::sim:
      session->locationReport_ = "simulated (" + gpsdAt + ": " + gpsdFinding(gpsd) + ")";
      break;
    default:
      session->locationReport_ = "none (" + gpsdAt + ": " + gpsdFinding(gpsd) + ")";
      break;
  }
  return session;
}

HostSession::~HostSession() {
  if (real_) real_->shutdown();
  if (virtual_) {
    // Whatever is still scheduled (at most the location timeout of a callback run) runs now, so
    // that no task keeps the collector and the platform alive past the end.
    virtual_->runUntil([] { return false; }, PemdorDeviceSensorInfo::kLocationTimeout + 1.0);
  }
}

std::shared_ptr<PemdorDeviceSensorInfo> HostSession::makeCollector() const {
  auto collector = PemdorDeviceSensorInfo::init(platform_);
  if (!collector) throw HostFailure("the collector could not be made on this platform");
  return collector;
}

double HostSession::now() const {
  return platform_->dispatcher().monotonicNow();
}

void HostSession::waitUntil(double when) {
  if (virtual_) {
    const double remaining = when - now();
    if (remaining > 0.0) virtual_->advanceBy(remaining);
    return;
  }
  sleepSeconds(when - now());
}

WaitOutcome HostSession::waitFor(CompletionBox& box, double when) {
  if (!virtual_) return box.waitFor(when - now()) ? WaitOutcome::delivered : WaitOutcome::timedOut;
  const double remaining = std::max(0.0, when - now());
  if (virtual_->runUntil([&] { return box.ready(); }, remaining)) return WaitOutcome::delivered;
  return virtual_->hasPendingWork() ? WaitOutcome::timedOut : WaitOutcome::idle;
}

}  // namespace pemdor::host
