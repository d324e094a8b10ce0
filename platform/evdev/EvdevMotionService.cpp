// SPDX-License-Identifier: MIT
// The input-device motion service: motion managers that sample evdev accelerometer nodes.
//
// Each manager paces its streams on an I/O thread of its own, made at its first start and ended
// when the manager goes. The thread sleeps on a futex word until the next stream is due;
// then it drains each node that a due stream reads, once, without blocking, and hands the
// readings of that wake-up to their queues together. A controller sends hundreds of events a
// second, but the kernel queues them between ticks, so sampling costs one wake-up per tick and
// nothing of ours runs in between. Streams with the same interval are kept due at the same
// moments, so that they share the wake-ups.
//
// Callers' threads only ever look for devices (availability is a fresh look each time); they
// never read samples.

#include <pthread.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "EvdevDevices.h"
#include "EvdevReader.h"
#include "pemdor/internal/GravityEstimator.h"
#include "pemdor/internal/PlatformHelpers.h"
#include "pemdor/internal/SleepWord.h"
#include "pemdor/internal/StreamSlot.h"
#include "pemdor/internal/ThreadedMotionManager.h"
#include "pemdor/internal/TickPath.h"
#include "pemdor/platform/Providers.h"

namespace pemdor {
namespace {

using evdev::InputMotionDevice;
using evdev::InputReader;
using evdev::SensorKind;
using Clock = std::chrono::steady_clock;
using VectorHandler = CMMotionManager::VectorHandler;

// A stream whose device is missing looks for one again at most this often, in seconds.
constexpr double kRebindPause = 0.25;

using internal::toDuration;

bool streamAvailable(const std::vector<InputMotionDevice>& devices, MotionStream stream) {
  return evdev::chooseDevice(devices, stream) != nullptr;
}

// One reading of a stream: a vector, or an error number and a message.
struct Reading {
  std::optional<CMVector> vector;
  int error = 0;
  std::string message;
};

// The nodes that the streams of one manager read, each open once however many streams read it.
// Used only on the manager's I/O thread.
class ReaderPool {
 public:
  std::shared_ptr<InputReader> open(const InputMotionDevice& device, std::string& why) {
    if (auto it = open_.find(device.node); it != open_.end()) {
      if (auto reader = it->second.lock()) return reader;
    }
    std::shared_ptr<InputReader> reader = InputReader::open(device, why);
    if (reader) open_[device.node] = reader;
    return reader;
  }

 private:
  std::map<std::string, std::weak_ptr<InputReader>> open_;
};

// One stream's binding to its node. A node that fails (unplugged) drops the binding; later
// samples look for a device again (at most every kRebindPause) and deliver an absent reading
// with an error until one serves the stream, so a started stream keeps its pace either way.
class StreamSampler {
 public:
  // Binds if needed, before the wake-up's nodes are drained; returns the reader to drain.
  InputReader* prepare(MotionStream stream, const RunToken::Ticket& run, ReaderPool& pool) {
    // Each start looks at the devices afresh and restarts the gravity filter.
    if (!(run == run_)) {
      run_ = run;
      release();
      retryAfter_ = {};
    }
    if (!reader_ && internal::steadyNow() >= retryAfter_) bind(stream, pool);
    return reader_.get();
  }

  // The reading after the node was drained with result `drained`.
  Reading sample(MotionStream stream, int drained, double interval) {
    const std::string name = motionStreamName(stream);
    if (!reader_) return {std::nullopt, ENODEV, name + ": " + unboundReason_};
    if (drained < 0) {
      unboundReason_ = reader_->device().node + ": " +
                       (drained == -ENODEV ? "device removed" : evdev::problemText(-drained));
      release();
      retryAfter_ = internal::steadyNow() + toDuration(kRebindPause);
      return {std::nullopt, -drained, name + ": " + unboundReason_};
    }
    const SensorKind kind = *evdev::sensorFor(stream);
    std::optional<CMVector> vector = reader_->vector(kind);
    if (!vector) {
      return {std::nullopt, EAGAIN,
              name + ": " + reader_->device().node + ": no non-zero reading to calibrate 1 g yet"};
    }
    if (stream == MotionStream::deviceMotion) {
      const Clock::time_point now = internal::steadyNow();
      const double dt =
          lastGravity_ ? std::chrono::duration<double>(now - *lastGravity_).count() : interval;
      lastGravity_ = now;
      vector = gravity_.update(*vector, reader_->vector(SensorKind::gyro), dt);
    }
    return {vector, 0, {}};
  }

  // Lets go of the node while the stream is stopped.
  void release() {
    reader_.reset();
    gravity_.reset();
    lastGravity_.reset();
  }

  bool bound() const { return reader_ != nullptr; }

 private:
  void bind(MotionStream stream, ReaderPool& pool) {
    const std::vector<InputMotionDevice> devices = evdev::findInputMotionDevices();
    const InputMotionDevice* device = evdev::chooseDevice(devices, stream);
    if (!device) {
      unboundReason_ = "no input device serves it";
    } else {
      reader_ = pool.open(*device, unboundReason_);
    }
    if (!reader_) retryAfter_ = internal::steadyNow() + toDuration(kRebindPause);
  }

  RunToken::Ticket run_;
  std::shared_ptr<InputReader> reader_;
  internal::GravityEstimator gravity_;
  std::optional<Clock::time_point> lastGravity_;
  std::string unboundReason_ = "no input device serves it";
  Clock::time_point retryAfter_{};
};

// What a manager shares with its I/O thread.
struct Core : internal::ThreadedCore {
  // Streams of one interval always share their wake-ups, however far apart they were started
  // (each start looks for devices, which opens their nodes).
  static Clock::duration joinWithin(double) { return Clock::duration::max(); }

  // The I/O thread: sleeps until the earliest due stream, then, with no lock held, drains the
  // nodes of the due streams once each and hands their readings to the queues in one batch.
  // Handlers are only ever copied and released here, with no lock held.
  static void run(const std::shared_ptr<Core>& core) {
    // Named for diagnostics (top -H, /proc/<pid>/task/*/comm).
    pthread_setname_np(pthread_self(), "pemdor-evdev");
    ReaderPool pool;
    std::array<StreamSampler, kMotionStreamCount> samplers;
    struct Due {
      std::size_t stream;
      Delivery<VectorHandler> delivery;
      double interval;
    };
    std::unique_lock lock(core->mutex);
    while (!core->quit) {
      std::vector<Due> due;
      std::array<bool, kMotionStreamCount> releases{};
      const Clock::time_point now = internal::steadyNow();
      std::optional<Clock::time_point> wakeAt;
      for (std::size_t i = 0; i < kMotionStreamCount; ++i) {
        Stream& s = core->streams[i];
        if (!s.slot.active()) {
          releases[i] = samplers[i].bound();
          continue;
        }
        if (s.due <= now) {
          due.push_back({i, *s.slot.delivery(), s.interval});
          // After a stall the stream resumes its pace from now rather than catching up.
          s.due += toDuration(s.interval);
          if (s.due <= now) s.due = now + toDuration(s.interval);
        }
        if (!wakeAt || s.due < *wakeAt) wakeAt = s.due;
      }
      const bool anyRelease = std::find(releases.begin(), releases.end(), true) != releases.end();
      if (due.empty() && !anyRelease) {
        core->sleep.wait(lock, wakeAt ? *wakeAt : Clock::time_point::max());
        continue;
      }
      lock.unlock();
      for (std::size_t i = 0; i < kMotionStreamCount; ++i) {
        if (releases[i]) samplers[i].release();
      }
      if (!due.empty()) {
        // Each node is drained once per wake-up, however many streams read it.
        std::vector<InputReader*> readers(due.size(), nullptr);
        std::vector<std::pair<InputReader*, int>> drained;
        for (std::size_t k = 0; k < due.size(); ++k) {
          const Due& d = due[k];
          InputReader* reader =
              samplers[d.stream].prepare(kAllMotionStreams[d.stream], d.delivery.ticket, pool);
          readers[k] = reader;
          if (!reader) continue;
          const bool seen = std::any_of(drained.begin(), drained.end(),
                                        [reader](const auto& p) { return p.first == reader; });
          if (!seen) drained.emplace_back(reader, reader->drain());
        }
        DeliveryBatch batch;
        for (std::size_t k = 0; k < due.size(); ++k) {
          const Due& d = due[k];
          int result = 0;
          for (const auto& [reader, rc] : drained) {
            if (reader == readers[k]) result = rc;
          }
          Reading reading =
              samplers[d.stream].sample(kAllMotionStreams[d.stream], result, d.interval);
          batch.add(d.delivery, [reading = std::move(reading)](const VectorHandler& handler) {
            if (reading.error == 0) return handler(&*reading.vector, nullptr);
            const NSError error{"pemdor.evdev", reading.error, reading.message};
            handler(nullptr, &error);
          });
        }
        batch.post();
      }
      // The last reference to a handler (and whatever it holds) may go here, with no lock held.
      due.clear();
      lock.lock();
    }
  }
};

class EvdevMotionManager final : public internal::ThreadedMotionManager<Core> {
 public:
  EvdevMotionManager() : ThreadedMotionManager(std::make_shared<Core>()) {}

  bool isAvailable(MotionStream stream) const override {
    return streamAvailable(evdev::findInputMotionDevices(), stream);
  }
};

class EvdevMotionService final : public MotionService {
 public:
  std::string name() const override { return "evdev"; }
  std::shared_ptr<CMMotionManager> makeMotionManager() override {
    return std::make_shared<EvdevMotionManager>();
  }
};

}  // namespace

bool evdevProviderBuilt() {
  return true;
}

bool evdevMotionDevicesPresent() {
  const auto devices = evdev::findInputMotionDevices();
  return streamAvailable(devices, MotionStream::accelerometer) ||
         streamAvailable(devices, MotionStream::gyro);
}

// Deliveries go to the queue given at each start and sampling runs on the provider's own
// thread, so the service needs nothing else of the dispatcher.
std::shared_ptr<MotionService> makeEvdevMotionService(std::shared_ptr<Dispatcher>) {
  return std::make_shared<EvdevMotionService>();
}

}  // namespace pemdor
