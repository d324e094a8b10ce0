// SPDX-License-Identifier: MIT
#pragma once

// A faked sysfs with IIO devices, for tests that run under umockdev-wrapper so that libiio reads
// the fake devices through its ordinary local backend.
//
// Every value written gets the trailing newline that sysfs gives: libiio drops the last byte of
// what it reads. Make the testbed before any thread reads sysfs and release it after they end
// (umockdev points the preload at it through the environment).

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
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

  /// Adds an IIO device (name "iio:deviceN", or "triggerN") with the given attributes (a name
  /// may hold a folder: "scan_elements/in_accel_x_en") and udev properties (what umockdev's "E:"
  /// lines give); returns its sysfs path.
  std::string addDevice(const std::string& name, const Attributes& attributes,
                        const Attributes& properties = {}) {
    std::vector<std::string> strings;
    for (const auto& [key, value] : attributes) {
      strings.push_back(key);
      strings.push_back(value + "\n");
    }
    std::vector<std::string> propertyStrings;
    for (const auto& [key, value] : properties) {
      propertyStrings.push_back(key);
      propertyStrings.push_back(value);
    }
    std::vector<gchar*> pointers;
    for (std::string& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    std::vector<gchar*> propertyPointers;
    for (std::string& s : propertyStrings) propertyPointers.push_back(s.data());
    propertyPointers.push_back(nullptr);
    gchar* path = umockdev_testbed_add_devicev(testbed_, "iio", name.c_str(), nullptr,
                                               pointers.data(), propertyPointers.data());
    std::string result = path ? path : "";
    g_free(path);
    return result;
  }

  /// Adds a device whose three channels of `kind` ("accel", "magn", ...) are scan elements only,
  /// stored as `type` (signed 16-bit little-endian unless said), with a trigger of its own
  /// (triggerN) and the character device /dev/iio:deviceN; `extra` attributes are added. Returns
  /// its sysfs path; feed it through openDeviceNode(). `properties` are udev properties.
  std::string addBufferedDevice(unsigned number, const std::string& kind, Attributes extra = {},
                                Attributes properties = {},
                                const std::string& type = "le:s16/16>>0") {
    const std::string trigger = kind + "-dev" + std::to_string(number);
    addDevice("trigger" + std::to_string(number), {{"name", trigger}});
    const std::string id = "iio:device" + std::to_string(number);
    Attributes attributes = {{"name", kind + "_3d"},    {"dev", "249:" + std::to_string(number)},
                             {"buffer/enable", "0"},    {"buffer/length", "0"},
                             {"buffer/watermark", "1"}, {"trigger/current_trigger", trigger}};
    const char* axes[] = {"x", "y", "z"};
    for (int i = 0; i < 3; ++i) {
      const std::string channel = "scan_elements/in_" + kind + "_" + axes[i];
      attributes.push_back({channel + "_en", "0"});
      attributes.push_back({channel + "_index", std::to_string(i)});
      attributes.push_back({channel + "_type", type});
    }
    attributes.insert(attributes.end(), extra.begin(), extra.end());
    properties.push_back({"DEVNAME", "/dev/" + id});
    return addDevice(id, attributes, properties);
  }

  /// Makes /dev/<name> a pipe and returns a descriptor that writes into it (and keeps it open,
  /// so that the reader's end never sees its end). The caller closes it after the readers end.
  int openDeviceNode(const std::string& name) { return makeFifo("dev/" + name); }

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

  std::string rootDir() const {
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    std::string result = root;
    g_free(root);
    return result;
  }

  void removeDevice(const std::string& devicePath) {
    umockdev_testbed_remove_device(testbed_, devicePath.c_str());
  }

 private:
  // A pipe at `relative` under the testbed's root, in place of whatever was there; -1 on failure.
  int makeFifo(const std::string& relative) {
    const std::string path = rootDir() + "/" + relative;
    ::unlink(path.c_str());
    if (::mkfifo(path.c_str(), 0600) != 0) return -1;
    // Opening for reading and writing does not wait for a reader.
    return ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  }

  UMockdevTestbed* testbed_;
};

/// A device that always has a new sample set: writes one set of three little-endian signed 16-bit
/// values into a device node (from UmockdevTestbed::openDeviceNode) each time the reader has
/// taken what was there, like a trigger that fires at the reader's pace. Runs on a thread of its
/// own, woken by the pipe, until destroyed.
class SampleFeeder {
 public:
  SampleFeeder(int fd, std::array<std::int16_t, 3> set) : fd_(fd), set_(set) {
    // One page of pipe, so that a set written waits to be read before the next one.
    ::fcntl(fd_, F_SETPIPE_SZ, 4096);
    if (::pipe2(stop_, O_CLOEXEC) != 0) stop_[0] = stop_[1] = -1;
    thread_ = std::thread([this] { run(); });
  }
  ~SampleFeeder() {
    const char byte = 0;
    [[maybe_unused]] const auto ignored = ::write(stop_[1], &byte, 1);
    thread_.join();
    ::close(stop_[0]);
    ::close(stop_[1]);
  }
  SampleFeeder(const SampleFeeder&) = delete;
  SampleFeeder& operator=(const SampleFeeder&) = delete;

 private:
  void run() {
    while (true) {
      pollfd fds[2] = {{fd_, POLLOUT, 0}, {stop_[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 || fds[1].revents != 0) return;
      if (fds[0].revents & POLLOUT) {
        if (::write(fd_, set_.data(), sizeof set_) < 0) return;
      }
    }
  }

  int fd_;
  std::array<std::int16_t, 3> set_;
  int stop_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace pemdor::iio_test
