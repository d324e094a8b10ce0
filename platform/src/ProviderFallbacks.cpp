// SPDX-License-Identifier: MIT
// What a build without a real provider answers: the provider is absent, never invented.
#include "pemdor/platform/Providers.h"

namespace pemdor {

#ifndef PEMDOR_HAVE_IIO
bool iioProviderBuilt() {
  return false;
}
bool iioMotionDevicesPresent() {
  return false;
}
std::shared_ptr<MotionService> makeIioMotionService(std::shared_ptr<Dispatcher>) {
  return nullptr;
}
std::vector<IioDeviceReport> iioDeviceReport() {
  return {};
}
#endif

#ifndef PEMDOR_HAVE_EVDEV
bool evdevProviderBuilt() {
  return false;
}
bool evdevMotionDevicesPresent() {
  return false;
}
std::shared_ptr<MotionService> makeEvdevMotionService(std::shared_ptr<Dispatcher>) {
  return nullptr;
}
std::vector<EvdevDeviceReport> evdevDeviceReport() {
  return {};
}
#endif

#ifndef PEMDOR_HAVE_GPSD
bool gpsdProviderBuilt() {
  return false;
}
bool gpsdAnswers(const GpsdEndpoint&, double) {
  return false;
}
std::shared_ptr<LocationService> makeGpsdLocationService(std::shared_ptr<Dispatcher>,
                                                         GpsdEndpoint) {
  return nullptr;
}
#endif

#ifndef PEMDOR_HAVE_GEOCLUE
bool geoclueProviderBuilt() {
  return false;
}
GeoclueProbe probeGeoclue(double) {
  GeoclueProbe probe;
  probe.problem = "this build has no GeoClue2 provider";
  return probe;
}
std::shared_ptr<LocationService> makeGeoclueLocationService(std::shared_ptr<Dispatcher>,
                                                            GeoclueOptions) {
  return nullptr;
}
#endif

}  // namespace pemdor
