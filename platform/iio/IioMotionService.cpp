// SPDX-License-Identifier: MIT
// The IIO motion service: motion managers that sample IIO devices through libiio's local context.
//
// Each manager paces its streams on an I/O thread of its own, made at its first start and ended
// when the manager goes. The thread sleeps on a futex word until the next stream is due,
// reads the due streams, and hands the readings of one wake-up to their queues together. Streams
// with the same interval started within a few milliseconds of each other are kept due at the same
// moments, so that they share the wake-ups.
//
// A device that is slow to answer (some I2C sensors take a second or more for a sysfs read)
// holds up only its own stream. The first read of each start, and every read of a stream whose
// last read was slow, runs on the stream's own worker thread: while it is under way the stream's
// ticks pass without a read, and the readings of the other streams go out once their own reads
// are done, after waiting at most a short gathering window for the reads asked for at the same
// wake-up. A stream whose worker read was quick is read on the I/O thread itself from then on,
// which costs no thread hand-over per tick; should such a read turn slow, the stream goes back
// to its worker.
//
// The readings of a wake-up reach a global or work queue of the real dispatcher on the I/O
// thread itself when that queue could start them at once, as the dispatcher's own timers do, so a
// tick wakes one thread; the handlers then hold up this manager's next reads until they return.
// Other queues get them posted.
//
// Callers' threads only ever scan for devices (availability is a fresh look each time); they
// never read samples.

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "IioBuffered.h"
#include "IioGravityGyro.h"
#include "IioMotionService.h"
#include "IioStreamWorker.h"
#include "IioVectorSource.h"
#include "pemdor/internal/GravityEstimator.h"
#include "pemdor/internal/PlatformHelpers.h"
#include "pemdor/internal/SleepWord.h"
#include "pemdor/internal/StreamSlot.h"
#include "pemdor/internal/ThreadedMotionManager.h"
#include "pemdor/internal/TickPath.h"
#include "pemdor/platform/Providers.h"

namespace pemdor {
namespace {

using iio::IioKind;
using iio::IioReading;
using iio::IioVectorSource;
using Clock = std::chrono::steady_clock;

// A stream whose device is missing looks for it again at most this often, in seconds.
constexpr double kRebindPause = 0.25;
// The readings of one wake-up wait for each other at most this long (and at most a quarter of
// their interval), in seconds, so that they reach a queue as one task; a slower read is handed
// over alone when it ends.
constexpr double kGatherWindow = 0.02;
// A stream started this close to the schedule of another with the same interval takes that
// schedule: at most a quarter of the interval, and at most this many seconds. Each start makes
// a fresh libiio context to check availability, so starts made one after another can lie a few
// milliseconds apart.
constexpr double kJoinWindow = 0.01;

// Which IIO channels serve a stream: the preferred kind, or else `derivedFrom` (gravity derived
// from the accelerometer, fused with the gyroscope where there is one; see GravityEstimator.h).
// Device motion is available exactly when a gravity channel or an accelerometer is.
struct StreamRoute {
  IioKind preferred;
  std::optional<IioKind> derivedFrom;
};
constexpr std::array<StreamRoute, kMotionStreamCount> kRoutes = {{
    {IioKind::accel, std::nullopt},
    {IioKind::anglvel, std::nullopt},
    {IioKind::magn, std::nullopt},
    {IioKind::gravity, IioKind::accel},
}};

using internal::toDuration;

bool streamAvailable(iio_context* context, MotionStream stream) {
  const StreamRoute& route = kRoutes[index(stream)];
  return iio::contextHasKind(context, route.preferred) ||
         (route.derivedFrom && iio::contextHasKind(context, *route.derivedFrom));
}

// One stream's binding to its device, used only on the stream's worker thread. A read that fails
// drops the binding; later samples look for the device again (at most every kRebindPause) and
// deliver an absent reading with an error until it is back, so a started stream keeps its pace
// either way.
class StreamSampler {
 public:
  StreamSampler(iio::BufferShare& share, const iio::BeforeRead& beforeRead)
      : share_(&share), beforeRead_(&beforeRead) {}

  // `reads`, on the I/O thread, holds what the streams read before this one at the same wake-up.
  PEMDOR_TICK_PATH IioReading sample(MotionStream stream, const RunToken::Ticket& run,
                                     double interval, iio::TickReads* reads) {
    // Each start looks at the devices afresh: it binds again, rereading scale, offset and mount
    // matrix, and restarts the gravity filter.
    if (!(run == run_)) {
      run_ = run;
      source_.reset();
      gyro_.reset();
      gravity_.reset();
      retryAfter_ = {};
    }
    const std::string name = motionStreamName(stream);
    if (!source_ && !bind(stream)) return {std::nullopt, ENODEV, name + ": " + unboundReason_};
    if (*beforeRead_) (*beforeRead_)(stream);
    IioReading reading = source_->read(reads);
    if (!reading.vector) {
      source_.reset();
      gyro_.reset();
      gravity_.reset();
      unboundReason_ = reading.message;
      retryAfter_ = internal::steadyNow() + toDuration(kRebindPause);
      reading.message = name + ": " + reading.message;
      return reading;
    }
    if (derived_) {
      // The gyroscope is read at the same tick as the accelerometer. One that fails is left out
      // until the accelerometer is bound again, and gravity is the accelerometer's alone.
      std::optional<CMVector> rate;
      if (gyro_) {
        rate = gyro_->read(reads);
        if (!rate) gyro_.reset();
      }
      // The time since the previous update in whole intervals: ticks that passed without a
      // read (a slow device) count, the jitter of the wake-ups does not, so that the same
      // readings give the same gravity.
      const Clock::time_point now = internal::steadyNow();
      double dt = interval;
      if (gravity_.started()) {
        const double elapsed = std::chrono::duration<double>(now - lastDerived_).count();
        dt = interval * std::max(1.0, std::round(elapsed / interval));
      }
      lastDerived_ = now;
      reading.vector = gravity_.update(*reading.vector, rate, dt);
    }
    return reading;
  }

  // Lets go of the device (and of a buffer, which the kernel then stops filling) while the
  // stream is stopped.
  void release() {
    source_.reset();
    gyro_.reset();
    gravity_.reset();
  }

 private:
  bool bind(MotionStream stream) {
    if (internal::steadyNow() < retryAfter_) return false;
    const StreamRoute& route = kRoutes[index(stream)];
    source_ = IioVectorSource::bind(route.preferred, &unboundReason_, share_);
    derived_ = false;
    if (!source_ && route.derivedFrom) {
      source_ = IioVectorSource::bind(*route.derivedFrom, nullptr, share_);
      derived_ = source_.has_value();
      if (derived_) gyro_ = iio::GravityGyro::bind(*source_, share_);
    }
    if (!source_) retryAfter_ = internal::steadyNow() + toDuration(kRebindPause);
    return source_.has_value();
  }

  iio::BufferShare* share_;
  const iio::BeforeRead* beforeRead_;
  RunToken::Ticket run_;
  std::optional<IioVectorSource> source_;
  bool derived_ = false;
  // The gyroscope derived gravity is fused with, if the machine has one.
  std::optional<iio::GravityGyro> gyro_;
  internal::GravityEstimator gravity_;
  // When derived gravity was last updated: the time its gyroscope rates are integrated over.
  Clock::time_point lastDerived_{};
  std::string unboundReason_;
  Clock::time_point retryAfter_{};
};

using VectorHandler = CMMotionManager::VectorHandler;

// What a manager shares with its I/O thread.
struct Core : internal::ThreadedCore {
  // A stream started this close to the schedule of a running one with the same interval takes
  // that schedule (see kJoinWindow).
  static Clock::duration joinWithin(double interval) {
    return toDuration(std::min(kJoinWindow, interval / 4));
  }

  // A reading a worker has finished, with the run it was sampled in; taken by the I/O thread.
  // `slow` when the read took longer than the stream may hold up others.
  struct Finished {
    RunToken::Ticket run;
    IioReading reading;
    bool read = false;
    bool slow = false;
  };
  std::array<std::optional<Finished>, kMotionStreamCount> finished;

  // Set before the I/O thread starts and never changed.
  iio::BeforeRead beforeRead;

  // The I/O thread: sleeps until the earliest due stream or a finished read, gives each due
  // stream's read to its worker unless one is under way, and hands finished readings to their
  // queues in one batch once the reads asked for together are done or their gathering window
  // has passed. Handlers are only ever copied and released here, with no lock held.
  PEMDOR_TICK_PATH static void run(const std::shared_ptr<Core>& core) {
    struct Request {
      RunToken::Ticket run;
      double interval = 0.0;
    };
    // The buffers the streams share and the samplers outlive the workers, which use them until
    // they are joined.
    iio::BufferShare buffers;
    std::array<StreamSampler, kMotionStreamCount> samplers = {
        StreamSampler(buffers, core->beforeRead), StreamSampler(buffers, core->beforeRead),
        StreamSampler(buffers, core->beforeRead), StreamSampler(buffers, core->beforeRead)};
    std::array<iio::StreamWorker, kMotionStreamCount> workers;
    // Used only here. A stream is busy from the hand-over of a job to the taking of its result,
    // and bound from its first read until its sampler is released after a stop. `awaiting` is
    // the delivery of the read under way; `gatherUntil` when the readings that wait for it stop
    // waiting.
    std::array<bool, kMotionStreamCount> busy{};
    std::array<bool, kMotionStreamCount> bound{};
    std::array<std::optional<Delivery<VectorHandler>>, kMotionStreamCount> awaiting;
    std::array<Clock::time_point, kMotionStreamCount> gatherUntil{};
    // Whether a stream is read on this thread: once a read on its worker was quick, until a read
    // is slow or the stream's device is released.
    std::array<bool, kMotionStreamCount> readHere{};
    std::vector<std::pair<Delivery<VectorHandler>, IioReading>> ready;
    // What the streams read on this thread at one wake-up share.
    iio::TickReads tickReads;

    std::unique_lock lock(core->mutex);
    while (!core->quit) {
      std::array<std::optional<Request>, kMotionStreamCount> requests;
      std::array<bool, kMotionStreamCount> releases{};
      std::vector<Delivery<VectorHandler>> dropped;
      bool handOver = false;
      const Clock::time_point now = internal::steadyNow();
      std::optional<Clock::time_point> wakeAt;
      const auto wakeBy = [&wakeAt](Clock::time_point t) {
        if (!wakeAt || t < *wakeAt) wakeAt = t;
      };
      for (std::size_t i = 0; i < kMotionStreamCount; ++i) {
        Stream& s = core->streams[i];
        if (core->finished[i]) {
          Finished done = std::move(*std::exchange(core->finished[i], std::nullopt));
          busy[i] = false;
          if (done.read) readHere[i] = !done.slow;
          if (awaiting[i]) {
            if (awaiting[i]->ticket == done.run && done.run.current()) {
              ready.emplace_back(std::move(*awaiting[i]), std::move(done.reading));
            } else {
              dropped.push_back(std::move(*awaiting[i]));
            }
            awaiting[i].reset();
          }
        }
        if (!s.slot.active()) {
          if (bound[i] && !busy[i]) {
            releases[i] = true;
            bound[i] = false;
            readHere[i] = false;
            busy[i] = true;
            handOver = true;
          }
          continue;
        }
        if (s.due <= now) {
          if (!busy[i]) {
            Delivery<VectorHandler> delivery = *s.slot.delivery();
            requests[i] = Request{delivery.ticket, s.interval};
            awaiting[i] = std::move(delivery);
            gatherUntil[i] = now + toDuration(std::min(kGatherWindow, s.interval / 4));
            busy[i] = true;
            bound[i] = true;
            handOver = true;
          }
          // After a stall the stream resumes its pace from now rather than catching up in a
          // burst; a read still under way lets this tick pass.
          s.due += toDuration(s.interval);
          if (s.due <= now) s.due = now + toDuration(s.interval);
        }
        wakeBy(s.due);
      }
      bool gathering = false;
      for (std::size_t i = 0; i < kMotionStreamCount; ++i) {
        if (awaiting[i] && gatherUntil[i] > now) {
          gathering = true;
          wakeBy(gatherUntil[i]);
        }
      }
      const bool post = !ready.empty() && !gathering;
      if (!handOver && !post && dropped.empty()) {
        core->sleep.wait(lock, wakeAt ? *wakeAt : Clock::time_point::max());
        continue;
      }
      lock.unlock();
      tickReads.clear();
      for (std::size_t i = 0; i < kMotionStreamCount; ++i) {
        StreamSampler& sampler = samplers[i];
        if (releases[i]) {
          workers[i].run([core, &sampler, i] {
            sampler.release();
            core->finish(i, Finished{});
          });
        }
        if (requests[i]) {
          // A worker's read shares nothing with the other streams.
          iio::TickReads* const reads = readHere[i] ? &tickReads : nullptr;
          auto read = [core, &sampler, i, reads, request = std::move(*requests[i])] {
            const Clock::time_point begun = internal::steadyNow();
            IioReading reading =
                sampler.sample(kAllMotionStreams[i], request.run, request.interval, reads);
            const bool slow = internal::steadyNow() - begun >
                              toDuration(std::min(kGatherWindow, request.interval / 4));
            core->finish(i, Finished{request.run, std::move(reading), true, slow});
          };
          if (readHere[i]) {
            read();
          } else {
            workers[i].run(std::move(read));
          }
        }
      }
      if (post) {
        DeliveryBatch batch;
        for (auto& [delivery, reading] : ready) {
          batch.add(delivery, [reading = std::move(reading)](const VectorHandler& handler) {
            if (reading.error == 0) return handler(&*reading.vector, nullptr);
            const NSError error{"pemdor.iio", reading.error, reading.message};
            handler(reading.vector ? &*reading.vector : nullptr, &error);
          });
        }
        // A queue that could start the batch at once runs it here: posting it would wake one of
        // the dispatcher's threads on every tick, after the wake-up of this one.
        batch.runHereOrPost();
        // The last reference to a handler (and whatever it holds) may go here, with no lock
        // held.
        ready.clear();
      }
      dropped.clear();
      lock.lock();
    }
  }

  // Called by a worker, or by the I/O thread for a read of its own, when the job is done.
  PEMDOR_TICK_PATH void finish(std::size_t stream, Finished done) {
    bool wake = false;
    {
      std::lock_guard lock(mutex);
      finished[stream] = std::move(done);
      wake = sleep.changed();
    }
    if (wake) sleep.wake();
  }
};

class IioMotionManager final : public internal::ThreadedMotionManager<Core> {
 public:
  explicit IioMotionManager(const iio::BeforeRead& beforeRead)
      : ThreadedMotionManager(std::make_shared<Core>()) {
    core()->beforeRead = beforeRead;
  }

  bool isAvailable(MotionStream stream) const override {
    const iio::ContextPtr context = iio::makeLocalContext();
    return streamAvailable(context.get(), stream);
  }
};

class IioMotionService final : public MotionService {
 public:
  explicit IioMotionService(iio::BeforeRead beforeRead) : beforeRead_(std::move(beforeRead)) {}

  std::string name() const override { return "iio"; }
  std::shared_ptr<CMMotionManager> makeMotionManager() override {
    return std::make_shared<IioMotionManager>(beforeRead_);
  }

 private:
  iio::BeforeRead beforeRead_;
};

}  // namespace

bool iioProviderBuilt() {
  return true;
}

bool iioMotionDevicesPresent() {
  const iio::ContextPtr context = iio::makeLocalContext();
  return iio::contextHasKind(context.get(), IioKind::accel) ||
         iio::contextHasKind(context.get(), IioKind::anglvel) ||
         iio::contextHasKind(context.get(), IioKind::magn);
}

// Deliveries go to the queue given at each start and sampling runs on the provider's own
// threads, so the service needs nothing else of the dispatcher.
std::shared_ptr<MotionService> makeIioMotionService(std::shared_ptr<Dispatcher>) {
  return std::make_shared<IioMotionService>(nullptr);
}

std::shared_ptr<MotionService> iio::makeIioMotionService(BeforeRead beforeRead) {
  return std::make_shared<IioMotionService>(std::move(beforeRead));
}

}  // namespace pemdor
