// SPDX-License-Identifier: MIT
#pragma once

// The collector's state and its two kinds of run, shared by the files that make up
// PemdorDeviceSensorInfo: the object itself and its properties (PemdorDeviceSensorInfo.cpp), the
// callback run (CallbackRun.cpp) and the sync run (SyncRun.cpp). Internal to the collector; not
// installed.

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "pemdor/PemdorDeviceSensorInfo.h"
#include "pemdor/internal/PlatformHelpers.h"
#include "pemdor/internal/StreamSlot.h"

namespace pemdor {

namespace detail {

inline constexpr const char* kCancelLocationServiceSelector = "cancelLocationService";

// Whether a run may start location updates: authorised (the status asked anew for each
// comparison), and then location services enabled.
inline bool mayStartUpdates(const Platform& platform) {
  return isAuthorized([&platform] { return platform.authorizationStatus(); }) &&
         platform.locationServicesEnabled();
}

}  // namespace detail

// Lock order: runMutex, then propertiesMutex; completionCheckMutex, then propertiesMutex. No
// lock is held while host code runs (the completion) or while a run waits on another thread.
struct PemdorDeviceSensorInfo::Impl {
  // Guards the properties that are not atomics. A leaf lock: nothing is called while it is held.
  mutable std::mutex propertiesMutex;
  std::shared_ptr<CLLocationManager> locationManager;
  std::shared_ptr<CMMotionManager> motionManager;
  std::shared_ptr<OperationQueue> queue;
  std::array<PemdorRecordListRef, kMotionStreamCount> records;
  CLLocationRef currentLocation;
  std::string currentLocationTime;
  Completion completion;

  // The finished flags of the three callback-run sensors, indexed by MotionStream.
  std::array<std::atomic<bool>, 3> sensorFinished{};
  std::atomic<bool> locationServiceFinished{false};
  std::atomic<bool> executeCompletionOnce{false};
  std::atomic<bool> inSyncMode{false};
  std::atomic<bool> collectEnds{false};

  // Guards the handover from one run to the next: the tokens below, `locationRun`, the resets at
  // a run's start, and each decision a run makes on its token (a handler's "is this delivery
  // still mine, and is the list full" with the stop that follows; a location start's "is the
  // location part still mine" with the manager it makes; finishSensors against the sync run's
  // start of updates). Held only around our own state and platform calls that never call back
  // synchronously; never while host code runs.
  std::mutex runMutex;
  // The tokens are the providers' RunToken. Only the token part of their mechanism is used: the
  // motion manager already holds each stream's queue and handler, and a ticket is checked under
  // runMutex rather than lock-free, because the check, the append and the stop that may follow
  // must be one step against the start of a new run.
  //
  // Per stream: each run that (re)starts the stream begins a new run of its token, so the
  // handlers of an earlier run drop their deliveries. A stream a later run does not restart
  // stays with its run: a sync run's gravity keeps filling gravityRecords through a later
  // callback run.
  std::array<RunToken, kMotionStreamCount> streamTokens;
  // Every run begins a new run of the location part; a location start, a start of updates or a
  // timeout of an older run does nothing. finishSensors ends a sync run's location part early.
  RunToken locationToken;
  // The run that the location callbacks belong to: the run started last, or, before the first
  // run, an idle callback run (a new collector is not in sync mode).
  std::shared_ptr<Run> locationRun;

  // Makes the completion check and the snapshot that follows it one step, so that of two checks
  // that both find the run complete exactly one builds the snapshot and posts the delivery. A
  // plain mutex: nothing called under it (the record lists, the JSON wrapper, the property
  // getters) calls back into the check, so it is never taken twice by one thread.
  std::mutex completionCheckMutex;

  PemdorRecordListRef list(MotionStream stream) const {
    std::lock_guard guard(propertiesMutex);
    return records[index(stream)];
  }
  void setList(MotionStream stream, PemdorRecordListRef value) {
    if (!value) value = PemdorRecordList::create();
    std::lock_guard guard(propertiesMutex);
    records[index(stream)] = std::move(value);
  }
};

// What a run of either kind is to the collector: the owner of a location part that the location
// callbacks are routed to, with its tickets of the location token and of the streams it started.
// A run is held by the collector while its location part is current and by the handlers, tasks
// and timeout it registers; every one of those also holds the collector, so the reference to the
// collector stays valid while the run can act.
class PemdorDeviceSensorInfo::Run : public std::enable_shared_from_this<Run> {
 public:
  explicit Run(PemdorDeviceSensorInfo& collector) : collector_(collector) {}
  virtual ~Run() = default;
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  /// A new fix (absent for an empty list of locations), on the main thread.
  virtual void didUpdateLocation(CLLocationRef location) = 0;
  /// A failure of the location service, on the main thread.
  virtual void didFailLocation() = 0;
  /// finishSensors while this run holds the location part; under runMutex.
  virtual void finish() {}

  /// Starts `run` on its collector, on the host's thread: takes the streams and the location part
  /// for it under runMutex (begin()), posts its location start to the main queue and starts its
  /// motion here. The run that held the location part before is released after the lock.
  template <typename R>
  static void launch(const std::shared_ptr<R>& run) {
    PemdorDeviceSensorInfo& c = run->collector_;
    auto self = c.shared_from_this();
    std::shared_ptr<Run> previous;
    {
      std::lock_guard lock(c.impl_->runMutex);
      previous = run->begin();
    }
    c.platform_->dispatcher().mainQueue()->async([self, run] { run->startLocation(); });
    run->startMotion();
  }

 protected:
  // Empties the list of `stream` and takes the stream for this run. Under runMutex.
  void takeStream(MotionStream stream) {
    collector_.impl_->list(stream)->clear();
    streamTickets_[index(stream)] = collector_.impl_->streamTokens[index(stream)].begin();
  }
  // Takes the location part for this run and routes the location callbacks to it; returns the
  // run that held it, to be released after runMutex. Under runMutex.
  std::shared_ptr<Run> takeLocation() {
    locationTicket_ = collector_.impl_->locationToken.begin();
    return std::exchange(collector_.impl_->locationRun, shared_from_this());
  }

  PemdorDeviceSensorInfo& collector_;
  // Current while the stream's deliveries belong to this run; read under runMutex.
  std::array<RunToken::Ticket, kMotionStreamCount> streamTickets_;
  // Current while the location part belongs to this run.
  RunToken::Ticket locationTicket_;
};

// processSensorsWithCallBack: ten readings of each callback stream, a bounded wait for a fix,
// one completion.
class PemdorDeviceSensorInfo::CallbackRun final : public Run {
 public:
  using Run::Run;
  // Resets the callback run's state and takes its streams and the location part. Under runMutex.
  std::shared_ptr<Run> begin();
  // Starts the three sensors, or marks each one that cannot start finished. Host's thread.
  void startMotion();
  // Makes the location manager, starts updates and the timeout. Main thread.
  void startLocation();

  void didUpdateLocation(CLLocationRef location) override;
  void didFailLocation() override;

 private:
  void handleReading(MotionStream stream, const CMVector* value);
  void timeout();
};

// startSensors: timestamped readings of the four streams up to a limit, and one fix with its
// time, until finishSensors.
class PemdorDeviceSensorInfo::SyncRun final : public Run {
 public:
  SyncRun(PemdorDeviceSensorInfo& collector, std::size_t limit) : Run(collector), limit_(limit) {}
  // Resets the sync run's state and takes the four streams and the location part. Under
  // runMutex.
  std::shared_ptr<Run> begin();
  // Starts every available stream. Host's thread.
  void startMotion();
  // Makes the location manager and posts the start of updates. Main thread.
  void startLocation();

  void didUpdateLocation(CLLocationRef location) override;
  void didFailLocation() override;
  void finish() override;

 private:
  // The body of every stream's handler: keeps the collector and the run across the reading,
  // since a stop inside may release the handler that holds them.
  static void deliverReading(const std::shared_ptr<PemdorDeviceSensorInfo>& collector,
                             const std::shared_ptr<SyncRun>& run, MotionStream stream,
                             const CMVector* value);
  void handleReading(MotionStream stream, const CMVector* value);
  void startUpdates();

  const std::size_t limit_;
};

}  // namespace pemdor
