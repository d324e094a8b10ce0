// SPDX-License-Identifier: MIT
// The rig users copy: Debian's gpsfake starting a gpsd and replaying a receiver log, and the
// gpsd provider getting the log's position from it. The other gpsd tests feed gpsd themselves
// (GpsFake.h). This test starts gpsfake once and is never run again on a failure; when gpsfake
// drops its hand-over of the device, the start completes it and the test prints a note.

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "GpsfakeRun.h"
#include "SkipOrFail.h"
#include "location_recording.h"
#include "pemdor/platform/Providers.h"
#include "pemdor/platform/RealDispatcher.h"

namespace pemdor {
namespace {

using gpsd_testing::GpsfakeRun;
using location_conformance::RecordingDelegate;
using location_conformance::runOnMain;

TEST(GpsfakeEndToEnd, TheProviderGetsTheLogsPositionFromGpsfake) {
  std::string why;
  if (!GpsfakeRun::toolsPresent(why)) PEMDOR_SKIP_OR_FAIL_IN_CI(why);
  const auto fake = GpsfakeRun::start({.log = "fix.nmea"}, why);
  ASSERT_NE(fake, nullptr) << why;
  if (fake->handOverCompleted()) std::printf("note: %s", fake->output().c_str());

  const auto dispatcher = RealDispatcher::create();
  ASSERT_NE(dispatcher, nullptr);
  const auto service = makeGpsdLocationService(dispatcher, fake->endpoint());
  ASSERT_NE(service, nullptr);
  const auto delegate = std::make_shared<RecordingDelegate>(dispatcher);
  std::shared_ptr<CLLocationManager> manager;
  ASSERT_TRUE(runOnMain(*dispatcher, [&] {
    manager = service->makeLocationManager();
    manager->setDelegate(delegate);
    manager->startUpdatingLocation();
  }));
  EXPECT_TRUE(delegate->waitForFixes(2)) << fake->output();
  EXPECT_TRUE(runOnMain(*dispatcher, [&] { manager.reset(); }));
  dispatcher->shutdown();

  EXPECT_EQ(delegate->failures(), 0u);
  for (const auto& event : delegate->events()) {
    ASSERT_EQ(event.locations.size(), 1u);
    EXPECT_NEAR(event.locations[0].latitude, 47.3769, 1e-9);
    EXPECT_NEAR(event.locations[0].longitude, 8.5417, 1e-9);
  }
}

}  // namespace
}  // namespace pemdor
