// SPDX-License-Identifier: MIT
#include "IioUdev.h"

#ifdef PEMDOR_HAVE_UDEV
#include <libudev.h>

#include <memory>

#include "pemdor/internal/UdevLock.h"
#endif

namespace pemdor::iio {

#ifdef PEMDOR_HAVE_UDEV
namespace {

struct UdevDeleter {
  void operator()(udev* context) const { udev_unref(context); }
};
struct UdevDeviceDeleter {
  void operator()(udev_device* device) const { udev_device_unref(device); }
};

std::optional<std::string> property(udev_device* device, const char* key) {
  const char* value = udev_device_get_property_value(device, key);
  if (!value) return std::nullopt;
  return std::string(value);
}

}  // namespace

UdevSensorProperties readUdevSensorProperties(const std::string& deviceId) {
  // Held until the context and the record are gone (see UdevLock.h).
  const auto udevLock = internal::lockUdev();
  const std::unique_ptr<udev, UdevDeleter> context(udev_new());
  if (!context) return {};
  const std::unique_ptr<udev_device, UdevDeviceDeleter> device(
      udev_device_new_from_subsystem_sysname(context.get(), "iio", deviceId.c_str()));
  if (!device) return {};
  return {property(device.get(), "ACCEL_MOUNT_MATRIX"), property(device.get(), "ACCEL_LOCATION")};
}
#else
UdevSensorProperties readUdevSensorProperties(const std::string&) {
  return {};
}
#endif

}  // namespace pemdor::iio
