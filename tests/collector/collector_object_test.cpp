// SPDX-License-Identifier: MIT
// The collector object: construction, properties, availability, timestamps and the text
// formats every run relies on.

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <variant>

#include <nlohmann/json.hpp>

#include "ReadingFormat.h"
#include "RecordListAccess.h"
#include "SkipOrFail.h"
#include "collector_rig.h"
#include "pemdor/PemdorDeviceSensorInfo.h"
#include "pemdor/PemdorSensorTable.h"

namespace pemdor {
namespace {

using testing::VirtualRig;

std::string printfFixed(double value, int precision) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, "%.*f", precision, value);
  return buffer;
}

// A locale with a decimal comma, when the machine has one: the formats must not follow it.
struct CommaLocale {
  std::string previous = std::setlocale(LC_NUMERIC, nullptr);
  bool active = false;
  CommaLocale() {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "C.UTF-8"}) {
      if (std::setlocale(LC_NUMERIC, name) && *std::localeconv()->decimal_point == ',') {
        active = true;
        return;
      }
    }
    std::setlocale(LC_NUMERIC, previous.c_str());
  }
  ~CommaLocale() { std::setlocale(LC_NUMERIC, previous.c_str()); }
};

TEST(ReadingFormat, MatchesPrintfInTheCLocale) {
  std::mt19937_64 random(12345);
  std::uniform_real_distribution<double> small(-20.0, 20.0);
  std::uniform_int_distribution<int> exponent(-12, 15);
  const double special[] = {0.0,
                            -0.0,
                            0.125,
                            0.375,
                            2.5,
                            -2.5,
                            0.005,
                            0.015,
                            1e-7,
                            -1e-7,
                            9.995,
                            -0.004,
                            1e300,
                            -1e300,
                            0.5,
                            1.5,
                            std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity(),
                            std::numeric_limits<double>::denorm_min(),
                            std::numeric_limits<double>::max()};
  for (int precision : {0, 2, 4, 6}) {
    for (double v : special) {
      EXPECT_EQ(detail::formatFixed(v, precision), printfFixed(v, precision)) << v;
    }
    for (int i = 0; i < 20000; ++i) {
      const double v = small(random) * std::pow(10.0, exponent(random));
      ASSERT_EQ(detail::formatFixed(v, precision), printfFixed(v, precision)) << v;
    }
  }
  EXPECT_EQ(detail::formatFixed(std::nan(""), 2), printfFixed(std::nan(""), 2));
}

TEST(ReadingFormat, ReadingTextsAndLocaleIndependence) {
  CommaLocale comma;
  EXPECT_EQ(detail::formatCallbackReading({0.1234, -0.5, 9.81}, 2), "[0.12, -0.50, 9.81]");
  EXPECT_EQ(detail::formatCallbackReading({0.00012, 1.5, -2}, 4), "[0.0001, 1.5000, -2.0000]");
  EXPECT_EQ(detail::formatCallbackReading({}, 2), "[0.00, 0.00, 0.00]");
  EXPECT_EQ(detail::formatCallbackReading({-0.001, -0.0, 0}, 2), "[-0.00, -0.00, 0.00]");
  EXPECT_EQ(detail::formatSyncReading({0.01, -0.02, -0.98}, "1449000000123"),
            "0.010000,-0.020000,-0.980000,1449000000123");
  EXPECT_EQ(detail::formatCoordinate(12.5), "12.500000");
  EXPECT_EQ(detail::formatCoordinate(-45.25), "-45.250000");
  EXPECT_EQ(detail::formatMilliseconds(1449000000.1234), "1449000000123");
  EXPECT_EQ(detail::formatMilliseconds(1449000000.9996), "1449000001000");
  if (!comma.active) PEMDOR_SKIP_OR_FAIL_IN_CI("no locale with a decimal comma on this machine");
}

TEST(Collector, NewCollectorState) {
  VirtualRig rig;
  auto& c = *rig.collector;
  EXPECT_EQ(c.locationManager(), nullptr);
  EXPECT_NE(c.motionManager(), nullptr);
  ASSERT_NE(c.queue(), nullptr);
  EXPECT_EQ(c.queue()->maxConcurrentOperationCount(), 1);
  for (const auto& list :
       {c.accelerometerRecords(), c.gyroRecords(), c.magneticRecords(), c.gravityRecords()}) {
    ASSERT_NE(list, nullptr);
    EXPECT_TRUE(list->empty());
  }
  // Four distinct lists.
  EXPECT_NE(c.accelerometerRecords(), c.gyroRecords());
  EXPECT_NE(c.magneticRecords(), c.gravityRecords());
  EXPECT_EQ(c.currentLocation(), nullptr);
  EXPECT_EQ(c.currentLocationTime(), "");
  EXPECT_FALSE(c.accelerometerFinished() || c.gyroFinished() || c.magneticFinished() ||
               c.locationServiceFinished() || c.executeCompletionOnce() || c.inSyncMode() ||
               c.collectEnds());
  EXPECT_FALSE(c.completion());
}

TEST(Collector, PropertiesReadBackWhatWasSet) {
  VirtualRig rig;
  auto& c = *rig.collector;
  c.setAccelerometerFinished(true);
  c.setGyroFinished(true);
  c.setCollectEnds(true);
  EXPECT_TRUE(c.accelerometerFinished() && c.gyroFinished() && c.collectEnds());
  EXPECT_FALSE(c.magneticFinished());

  auto list = PemdorRecordList::create();
  list->append("x");
  c.setGravityRecords(list);
  EXPECT_EQ(c.gravityRecords(), list);
  // A list set to nothing is replaced by an empty one rather than left dangling.
  c.setGyroRecords(nullptr);
  ASSERT_NE(c.gyroRecords(), nullptr);
  EXPECT_TRUE(c.gyroRecords()->empty());

  c.setCurrentLocation(std::make_shared<CLLocation>(1.0, 2.0));
  EXPECT_EQ(c.currentLocation()->coordinate(), (CLLocationCoordinate2D{1.0, 2.0}));
  c.setCurrentLocationTime("42");
  EXPECT_EQ(c.currentLocationTime(), "42");

  int called = 0;
  c.setCompletion(
      [&](const std::string&, const std::string&, const std::optional<std::string>&) { ++called; });
  c.completion()("", "", std::nullopt);
  EXPECT_EQ(called, 1);
}

TEST(Collector, AvailableSensorsFollowsTheDeviceAtEachCall) {
  VirtualRig rig(R"({"motion": {"magnetometer": {"available": false}}})");
  EXPECT_EQ(rig.collector->availableSensors(), "SensorsAccelerometerGyro");
  rig.device->setStreamAvailable(MotionStream::magnetometer, true);
  EXPECT_EQ(rig.collector->availableSensors(), "SensorsAccelerometerGyroMagnetometer");
  for (MotionStream s : kAllMotionStreams) rig.device->setStreamAvailable(s, false);
  EXPECT_EQ(rig.collector->availableSensors(), "Sensors");
  // Device motion is not reported.
  rig.device->setStreamAvailable(MotionStream::deviceMotion, true);
  EXPECT_EQ(rig.collector->availableSensors(), "Sensors");
}

TEST(Collector, LocationServiceAvailabilityIgnoresAuthorisation) {
  VirtualRig rig(R"({"location": {"servicesEnabled": true, "authorizationStatus": 2}})");
  EXPECT_TRUE(rig.collector->isLocationServiceAvailable());
  rig.device->setServicesEnabled(false);
  rig.device->setAuthorizationStatus(4);
  EXPECT_FALSE(rig.collector->isLocationServiceAvailable());
}

TEST(Collector, CurrentTimeInMillisecondsWhateverTheLocale) {
  CommaLocale comma;
  VirtualRig rig(R"({"clock": {"start": 1449000000.1234}})");
  EXPECT_EQ(rig.collector->getCurrentTime(), "1449000000123");
  rig.advance(0.5);
  EXPECT_EQ(rig.collector->getCurrentTime(), "1449000000623");
  VirtualRig late(R"({"clock": {"start": 1449000000.9996}})");
  EXPECT_EQ(late.collector->getCurrentTime(), "1449000001000");
}

TEST(Collector, InitFailsWithoutAPlatform) {
  EXPECT_EQ(PemdorDeviceSensorInfo::init(nullptr), nullptr);
}

// A host labels and counts readings by the sensor table; it must name exactly the lists, keys and
// formats the collector produces.
TEST(SensorTable, NamesTheListsKeysAndFormatsTheCollectorProduces) {
  VirtualRig rig;
  auto& c = *rig.collector;
  c.startSensors();
  EXPECT_EQ(kDefaultSyncLimit, PemdorDeviceSensorInfo::kReadingsPerSensor);
  rig.advance(2.0);
  const auto data = c.getSensorData();
  for (const PemdorSensor& sensor : kPemdorSensors) {
    EXPECT_EQ(&sensorOf(sensor.stream), &sensor);
    const auto list = sensorRecords(c, sensor.stream);
    ASSERT_NE(list, nullptr) << sensor.name;
    EXPECT_EQ(list->count(), static_cast<std::size_t>(kDefaultSyncLimit)) << sensor.name;
    const auto found = data.find(sensor.dataKey);
    ASSERT_NE(found, data.end()) << sensor.dataKey;
    EXPECT_EQ(std::get<PemdorRecordListRef>(found->second), list) << sensor.name;
  }
  EXPECT_EQ(sensorRecords(c, MotionStream::deviceMotion), c.gravityRecords());
  c.finishSensors();

  rig.callbackRun();
  rig.advance(kLocationWaitSeconds);
  ASSERT_EQ(rig.log.size(), 1u);
  const auto json = nlohmann::json::parse(rig.log.at(0).json.value_or("null"));
  EXPECT_EQ(json.size(), kCallbackStreams.size()) << "the snapshot keys and nothing else";
  for (MotionStream stream : kCallbackStreams) {
    const PemdorSensor& sensor = sensorOf(stream);
    EXPECT_TRUE(sensorFinished(c, stream)) << sensor.name;
    ASSERT_NE(sensor.snapshotKey, nullptr);
    const auto entries = json.at(sensor.snapshotKey).get<std::vector<std::string>>();
    ASSERT_EQ(entries.size(), static_cast<std::size_t>(kCallbackReadingsPerSensor));
    EXPECT_EQ(entries, sensorRecords(c, stream)->snapshot());
    // "[x, y, z]" with the table's decimals: the first component ends where its decimals do.
    const auto point = entries[0].find('.');
    ASSERT_NE(point, std::string::npos) << entries[0];
    EXPECT_EQ(entries[0].find(',') - point - 1, static_cast<std::size_t>(sensor.callbackPrecision))
        << entries[0];
  }
  EXPECT_FALSE(sensorFinished(c, MotionStream::deviceMotion));
}

TEST(RecordList, LiveSharedAndIndivisible) {
  auto list = PemdorRecordList::create();
  auto holder = list;  // what a host keeps from getSensorData
  list->append("a");
  EXPECT_TRUE(list->appendIfBelow("b", 2));
  EXPECT_FALSE(list->appendIfBelow("c", 2));
  EXPECT_FALSE(list->appendIfEmpty(""));
  EXPECT_EQ(holder->snapshot(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(holder->at(1), "b");
  EXPECT_EQ(holder->at(2), std::nullopt);
  list->clear();
  EXPECT_TRUE(holder->empty());
  EXPECT_TRUE(list->appendIfEmpty(""));
  EXPECT_EQ(holder->count(), 1u);

  // Bounded appends from several threads never overshoot the bound.
  list->clear();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) list->appendIfBelow("r", 1500);
    });
  }
  for (int i = 0; i < 200; ++i) (void)holder->snapshot();
  for (auto& t : threads) t.join();
  EXPECT_EQ(list->count(), 1500u);
}

// A sync reading is stored as numbers and written when read: whichever way it is read first,
// and however often, its text is the one the sync run's format gives, in its place among texts.
TEST(RecordList, StoredReadingsReadAsTheirTexts) {
  const CMVector v{-0.0065, 0.0042, -1.0};
  const CMVector w{18.25, -3.5e-7, 1e300};
  const double t = 1449000000.1235;
  const std::string vText = detail::formatSyncReading(v, detail::formatMilliseconds(t));
  const std::string wText = detail::formatSyncReading(w, detail::formatMilliseconds(t + 0.1));
  EXPECT_EQ(vText, "-0.006500,0.004200,-1.000000,1449000000124");
  EXPECT_EQ(detail::formatSyncReading(w, t + 0.1), wText);

  auto list = PemdorRecordList::create();
  list->append("");
  EXPECT_TRUE(detail::RecordListAccess::appendSyncReadingIfBelow(*list, v, t, 3));
  EXPECT_TRUE(detail::RecordListAccess::appendSyncReadingIfBelow(*list, w, t + 0.1, 3));
  EXPECT_FALSE(detail::RecordListAccess::appendSyncReadingIfBelow(*list, v, t, 3));
  EXPECT_FALSE(list->appendIfEmpty("x"));
  EXPECT_EQ(list->count(), 3u);
  EXPECT_EQ(list->at(2), wText);
  const std::vector<std::string> expected{"", vText, wText};
  EXPECT_EQ(list->snapshot(), expected);
  EXPECT_EQ(list->snapshot(), expected);
  EXPECT_EQ(list->at(1), vText);

  // Readers that write texts in place race the handler's appends without harm.
  list->clear();
  std::thread appender([&] {
    for (int i = 0; i < 2000; ++i) {
      detail::RecordListAccess::appendSyncReadingIfBelow(*list, v, t, 1500);
    }
  });
  for (int i = 0; i < 100; ++i) {
    for (const std::string& text : list->snapshot()) ASSERT_EQ(text, vText);
    if (auto text = list->at(static_cast<std::size_t>(i))) {
      ASSERT_EQ(*text, vText);
    }
  }
  appender.join();
  EXPECT_EQ(list->count(), 1500u);
  EXPECT_EQ(list->at(1499), vText);
}

}  // namespace
}  // namespace pemdor
