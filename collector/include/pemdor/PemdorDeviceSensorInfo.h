// SPDX-License-Identifier: MIT
#pragma once

// The collector: takes a short sample of the device's motion sensors and one coarse position.
//
// Two ways to drive it:
//  - processSensorsWithCallBack(completion): ten readings each from the accelerometer, gyroscope
//    and magnetometer, at most ten seconds' wait for a position, then one call of the completion
//    on a background thread with latitude, longitude and a JSON text of the readings.
//  - startSensors(limit) / getSensorData() / finishSensors(): timestamped readings of the four
//    streams up to `limit` each and one position with its time, read at any moment, ended by the
//    host.
//
// Threads: the host calls the start operations, getSensorData, finishSensors, the queries and
// the property accessors from any thread of its own (not from the platform's main thread while a
// virtual dispatcher runs). Motion handlers run on `queue`, location work on the main thread,
// the completion on the global queue. Every property accessor is thread-safe; no lock of the
// collector is held while host code (the completion) runs.

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
using PemdorSensorData = std::map<std::string, PemdorSensorValue>;

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
  static constexpr double kUpdateInterval = kSensorUpdateInterval;
  static constexpr double kLocationTimeout = kLocationWaitSeconds;

  /// A collector on the process default platform, or on `platform`; nullptr when it cannot be
  /// made (no platform, or no motion manager).
  static std::shared_ptr<PemdorDeviceSensorInfo> init();
  static std::shared_ptr<PemdorDeviceSensorInfo> init(std::shared_ptr<Platform> platform);

  ~PemdorDeviceSensorInfo() override;
  PemdorDeviceSensorInfo(const PemdorDeviceSensorInfo&) = delete;
  PemdorDeviceSensorInfo& operator=(const PemdorDeviceSensorInfo&) = delete;

  // Properties. A record-list setter given nullptr stores a new empty list instead.
  std::shared_ptr<CLLocationManager> locationManager() const;
  void setLocationManager(std::shared_ptr<CLLocationManager> manager);
  std::shared_ptr<CMMotionManager> motionManager() const;
  void setMotionManager(std::shared_ptr<CMMotionManager> manager);
  std::shared_ptr<OperationQueue> queue() const;
  void setQueue(std::shared_ptr<OperationQueue> queue);
  PemdorRecordListRef accelerometerRecords() const;
  void setAccelerometerRecords(PemdorRecordListRef list);
  bool accelerometerFinished() const;
  void setAccelerometerFinished(bool value);
  PemdorRecordListRef gyroRecords() const;
  void setGyroRecords(PemdorRecordListRef list);
  bool gyroFinished() const;
  void setGyroFinished(bool value);
  PemdorRecordListRef magneticRecords() const;
  void setMagneticRecords(PemdorRecordListRef list);
  bool magneticFinished() const;
  void setMagneticFinished(bool value);
  CLLocationRef currentLocation() const;
  void setCurrentLocation(CLLocationRef location);
  std::string currentLocationTime() const;
  void setCurrentLocationTime(std::string time);
  bool locationServiceFinished() const;
  void setLocationServiceFinished(bool value);
  Completion completion() const;
  void setCompletion(Completion completion);
  bool executeCompletionOnce() const;
  void setExecuteCompletionOnce(bool value);
  PemdorRecordListRef gravityRecords() const;
  void setGravityRecords(PemdorRecordListRef list);
  bool inSyncMode() const;
  void setInSyncMode(bool value);
  bool collectEnds() const;
  void setCollectEnds(bool value);

  /// "Sensors" followed by "Accelerometer", "Gyro", "Magnetometer" for each one available now.
  std::string availableSensors() const;
  /// Whether the platform's location services are enabled (authorisation is not consulted).
  bool isLocationServiceAvailable() const;
  /// Milliseconds since 1970 as decimal digits ("%.0f" of the wall clock × 1000).
  std::string getCurrentTime() const;

  // The callback run.
  void processSensorsWithCallBack(Completion completion);
  /// The target of the ten-second timeout; ends the location part.
  void cancelLocationService();
  /// Ends the location part of a callback run: stops updates, marks it finished, checks.
  void proceedWithLocationService();
  /// The completion check: the first call that finds every part finished posts the delivery.
  void checkAllRecords();
  /// Puts the placeholder "" into an empty list; returns the same list.
  PemdorRecordListRef checkNilOfArray(const PemdorRecordListRef& list);

  // The sync run.
  void startSensors();
  /// A negative limit is treated as 0.
  void startSensors(std::int32_t limit);
  PemdorSensorData getSensorData();
  void finishSensors();

  // CLLocationManagerDelegate, on the main thread.
  void locationManagerDidUpdateLocations(CLLocationManager& manager,
                                         const std::vector<CLLocationRef>& locations) override;
  void locationManagerDidUpdateToLocation(CLLocationManager& manager,
                                          const CLLocationRef& newLocation,
                                          const CLLocationRef& oldLocation) override;
  void locationManagerDidFailWithError(CLLocationManager& manager, const NSError& error) override;

  /// The platform this collector was made on.
  const std::shared_ptr<Platform>& platform() const { return platform_; }

  /// Only init() makes collectors: runs hand out shared references to the collector.
  struct ConstructionKey {
   private:
    ConstructionKey() = default;
    friend class PemdorDeviceSensorInfo;
  };
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
