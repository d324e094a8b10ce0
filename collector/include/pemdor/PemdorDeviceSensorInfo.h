// SPDX-License-Identifier: MIT
#pragma once

/// @file
/// The collector: takes a short sample of the device's motion sensors and one coarse position.
///
/// Two ways to drive it:
///  - processSensorsWithCallBack(completion): ten readings each from the accelerometer, gyroscope
///    and magnetometer, at most ten seconds' wait for a position, then one call of the completion
///    on a background thread with latitude, longitude and a JSON text of the readings.
///  - startSensors(limit) / getSensorData() / finishSensors(): timestamped readings of the four
///    streams up to `limit` each and one position with its time, read at any moment, ended by the
///    host.
///
/// Threads: the host calls the start operations, getSensorData, finishSensors, the queries and
/// the property accessors from any thread of its own (not from the platform's main thread while a
/// virtual dispatcher runs). Motion handlers run on `queue`, location work on the main thread,
/// the completion on the global queue. Every property accessor is thread-safe; no lock of the
/// collector is held while host code (the completion) runs.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "pemdor/PemdorRecordList.h"
#include "pemdor/PemdorSensorTable.h"
#include "pemdor/platform/CoreLocation.h"
#include "pemdor/platform/CoreMotion.h"
#include "pemdor/platform/Dispatch.h"
#include "pemdor/platform/Platform.h"

namespace pemdor {

/// The result of getSensorData: "la", "lo", "Time" map to strings; "Accelerometer",
/// "Gyroscope", "Magnetometer", "Gravity" map to the collector's live record lists.
using PemdorSensorValue = std::variant<std::string, PemdorRecordListRef>;
/// What getSensorData returns: each key of a sync run with its value.
using PemdorSensorData = std::map<std::string, PemdorSensorValue>;

/// The collector. Made by init() and shared by its runs; see the file's description for the two
/// runs and the threads its calls may come from. It is the delegate of its location manager.
class PemdorDeviceSensorInfo : public CLLocationManagerDelegate,
                               public std::enable_shared_from_this<PemdorDeviceSensorInfo> {
 public:
  /// Latitude, longitude (each a "%f" text or ""), and the snapshot JSON text (nullopt only
  /// when it could not be made).
  using Completion = std::function<void(const std::string& latitude, const std::string& longitude,
                                        const std::optional<std::string>& json)>;

  /// Readings kept per sensor in a callback run, and the default limit of a sync run; the
  /// values of PemdorSensorTable.h under the names the class has always given them.
  static constexpr int kReadingsPerSensor = kCallbackReadingsPerSensor;
  /// Seconds between two readings of a stream (kSensorUpdateInterval).
  static constexpr double kUpdateInterval = kSensorUpdateInterval;
  /// Seconds a callback run waits for a position (kLocationWaitSeconds).
  static constexpr double kLocationTimeout = kLocationWaitSeconds;

  /// A collector on the process default platform, or on `platform`; nullptr when it cannot be
  /// made (no platform, or no motion manager).
  static std::shared_ptr<PemdorDeviceSensorInfo> init();
  /// @copydoc init()
  static std::shared_ptr<PemdorDeviceSensorInfo> init(std::shared_ptr<Platform> platform);

  /// Runs hold the collector while they go on, so it is destroyed once the host and every run
  /// have let go of it.
  ~PemdorDeviceSensorInfo() override;
  PemdorDeviceSensorInfo(const PemdorDeviceSensorInfo&) = delete;
  PemdorDeviceSensorInfo& operator=(const PemdorDeviceSensorInfo&) = delete;

  /// @name Properties
  /// The state the runs work on, readable and settable from any thread. A record-list setter
  /// given nullptr stores a new empty list instead.
  /// @{

  /// The location manager the runs take positions from; its delegate is the collector.
  std::shared_ptr<CLLocationManager> locationManager() const;
  /// Sets locationManager().
  void setLocationManager(std::shared_ptr<CLLocationManager> manager);
  /// The motion manager the runs sample.
  std::shared_ptr<CMMotionManager> motionManager() const;
  /// Sets motionManager().
  void setMotionManager(std::shared_ptr<CMMotionManager> manager);
  /// The serial queue on which motion handlers run.
  std::shared_ptr<OperationQueue> queue() const;
  /// Sets queue().
  void setQueue(std::shared_ptr<OperationQueue> queue);
  /// The accelerometer's records of the current run.
  PemdorRecordListRef accelerometerRecords() const;
  /// Sets accelerometerRecords().
  void setAccelerometerRecords(PemdorRecordListRef list);
  /// Whether the accelerometer part of a callback run has its readings.
  bool accelerometerFinished() const;
  /// Sets accelerometerFinished().
  void setAccelerometerFinished(bool value);
  /// The gyroscope's records of the current run.
  PemdorRecordListRef gyroRecords() const;
  /// Sets gyroRecords().
  void setGyroRecords(PemdorRecordListRef list);
  /// Whether the gyroscope part of a callback run has its readings.
  bool gyroFinished() const;
  /// Sets gyroFinished().
  void setGyroFinished(bool value);
  /// The magnetometer's records of the current run.
  PemdorRecordListRef magneticRecords() const;
  /// Sets magneticRecords().
  void setMagneticRecords(PemdorRecordListRef list);
  /// Whether the magnetometer part of a callback run has its readings.
  bool magneticFinished() const;
  /// Sets magneticFinished().
  void setMagneticFinished(bool value);
  /// The last position received, or nullptr.
  CLLocationRef currentLocation() const;
  /// Sets currentLocation().
  void setCurrentLocation(CLLocationRef location);
  /// When the sync run's position came, as getCurrentTime() gave it, or "".
  std::string currentLocationTime() const;
  /// Sets currentLocationTime().
  void setCurrentLocationTime(std::string time);
  /// Whether the location part of a callback run has ended.
  bool locationServiceFinished() const;
  /// Sets locationServiceFinished().
  void setLocationServiceFinished(bool value);
  /// The completion of the current callback run.
  Completion completion() const;
  /// Sets completion().
  void setCompletion(Completion completion);
  /// Whether the completion of the current callback run has been posted.
  bool executeCompletionOnce() const;
  /// Sets executeCompletionOnce().
  void setExecuteCompletionOnce(bool value);
  /// The gravity records of the current sync run.
  PemdorRecordListRef gravityRecords() const;
  /// Sets gravityRecords().
  void setGravityRecords(PemdorRecordListRef list);
  /// Whether the run started last is a sync run.
  bool inSyncMode() const;
  /// Sets inSyncMode().
  void setInSyncMode(bool value);
  /// Whether the sync run has ended (finishSensors).
  bool collectEnds() const;
  /// Sets collectEnds().
  void setCollectEnds(bool value);
  /// @}

  /// "Sensors" followed by "Accelerometer", "Gyro", "Magnetometer" for each one available now.
  std::string availableSensors() const;
  /// Whether the platform's location services are enabled (authorisation is not consulted).
  bool isLocationServiceAvailable() const;
  /// Milliseconds since 1970 as decimal digits ("%.0f" of the wall clock × 1000).
  std::string getCurrentTime() const;

  /// Starts a callback run: ten readings each of the accelerometer, gyroscope and magnetometer
  /// and at most kLocationTimeout seconds' wait for a position, then `completion` once on the
  /// global queue. A new run takes the sensors over from an unfinished one.
  void processSensorsWithCallBack(Completion completion);
  /// The target of the ten-second timeout; ends the location part.
  void cancelLocationService();
  /// Ends the location part of a callback run: stops updates, marks it finished, checks.
  void proceedWithLocationService();
  /// The completion check: the first call that finds every part finished posts the delivery.
  void checkAllRecords();
  /// Puts the placeholder "" into an empty list; returns the same list.
  PemdorRecordListRef checkNilOfArray(const PemdorRecordListRef& list);

  /// Starts a sync run with the default limit (kReadingsPerSensor readings per stream).
  void startSensors();
  /// Starts a sync run that keeps up to `limit` timestamped readings per stream and takes one
  /// position with its time. A negative limit is treated as 0.
  void startSensors(std::int32_t limit);
  /// What the sync run has gathered so far: "la", "lo" and "Time" as texts, the four record
  /// lists as the collector's live lists.
  PemdorSensorData getSensorData();
  /// Ends the sync run: stops the motion and location updates.
  void finishSensors();

  /// @name CLLocationManagerDelegate
  /// The location manager's callbacks, on the platform's main thread; they go to the run that
  /// holds the location part.
  /// @{
  void locationManagerDidUpdateLocations(CLLocationManager& manager,
                                         const std::vector<CLLocationRef>& locations) override;
  void locationManagerDidUpdateToLocation(CLLocationManager& manager,
                                          const CLLocationRef& newLocation,
                                          const CLLocationRef& oldLocation) override;
  void locationManagerDidFailWithError(CLLocationManager& manager, const NSError& error) override;
  /// @}

  /// The platform this collector was made on.
  const std::shared_ptr<Platform>& platform() const { return platform_; }

  /// Only init() makes collectors: runs hand out shared references to the collector.
  struct ConstructionKey {
   private:
    ConstructionKey() = default;
    friend class PemdorDeviceSensorInfo;
  };
  /// Used by init() through std::make_shared; hosts call init().
  PemdorDeviceSensorInfo(ConstructionKey, std::shared_ptr<Platform> platform);

 private:
  struct Impl;
  // The runs, one object per run (defined with the collector's implementation).
  class Run;
  class CallbackRun;
  class SyncRun;
  // The run that the location callbacks go to.
  std::shared_ptr<Run> locationRun() const;

  std::shared_ptr<Platform> platform_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace pemdor
