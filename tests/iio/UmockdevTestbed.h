#pragma once

// A faked sysfs with IIO devices, for tests that run under umockdev-wrapper so that libiio reads
// the fake devices through its ordinary local backend.
//
// Every value written gets the trailing newline that sysfs gives: libiio drops the last byte of
// what it reads. Make the testbed before any thread reads sysfs and release it after they end
// (umockdev points the preload at it through the environment).

#include <umockdev.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pemdor::iio_test {

class UmockdevTestbed {
 public:
  using Attributes = std::vector<std::pair<std::string, std::string>>;

  /// Whether this process runs under umockdev's preload; the IIO tests skip without it.
  /// (umockdev_in_mock_environment() answers false under umockdev-wrapper 0.17, so this looks
  /// for the preload itself.)
  static bool inMockEnvironment() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload &&
           std::string_view(preload).find("libumockdev-preload") != std::string_view::npos;
  }

  UmockdevTestbed() : testbed_(umockdev_testbed_new()) {}
  ~UmockdevTestbed() { g_object_unref(testbed_); }
  UmockdevTestbed(const UmockdevTestbed&) = delete;
  UmockdevTestbed& operator=(const UmockdevTestbed&) = delete;

  /// Adds an IIO device (name "iio:deviceN") with the given attributes; returns its sysfs path.
  std::string addDevice(const std::string& name, const Attributes& attributes) {
    std::vector<std::string> strings;
    for (const auto& [key, value] : attributes) {
      strings.push_back(key);
      strings.push_back(value + "\n");
    }
    std::vector<gchar*> pointers;
    for (std::string& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    gchar* noProperties[] = {nullptr};
    gchar* path = umockdev_testbed_add_devicev(testbed_, "iio", name.c_str(), nullptr,
                                               pointers.data(), noProperties);
    std::string result = path ? path : "";
    g_free(path);
    return result;
  }

  void setAttribute(const std::string& devicePath, const std::string& name,
                    const std::string& value) {
    umockdev_testbed_set_attribute(testbed_, devicePath.c_str(), name.c_str(),
                                   (value + "\n").c_str());
  }

  /// Deletes one attribute file, as a driver does when a device goes half away.
  bool removeAttribute(const std::string& devicePath, const std::string& name) {
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    const std::filesystem::path file = std::filesystem::path(root) / devicePath.substr(1) / name;
    g_free(root);
    std::error_code ignored;
    return std::filesystem::remove(file, ignored);
  }

  void removeDevice(const std::string& devicePath) {
    umockdev_testbed_remove_device(testbed_, devicePath.c_str());
  }

 private:
  UMockdevTestbed* testbed_;
};

}  // namespace pemdor::iio_test
