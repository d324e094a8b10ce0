// SPDX-License-Identifier: MIT
// The collector with a location service that fails: a gpsd that greets and then says nothing,
// one that hangs up in the middle, and none at all. Motion comes from the simulated device and
// time is virtual, so the ten-second position wait costs nothing; the gpsd provider's reader
// thread posts into the virtual dispatcher from outside.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "SkipOrFail.h"
#include "pemdor/PemdorDeviceSensorInfo.h"
#include "pemdor/platform/Providers.h"
#include "pemdor/platform/SimulatedDevice.h"
#include "pemdor/platform/VirtualDispatcher.h"

namespace pemdor {
namespace {

using namespace std::chrono_literals;

// A TCP listener on a free loopback port that greets like gpsd and then either stays silent or
// hangs up once it has been asked for reports.
class FakeGpsd {
 public:
  enum class Behaviour { silent, hangUpAfterWatch };

  explicit FakeGpsd(Behaviour behaviour) : behaviour_(behaviour) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::pipe(stop_) != 0) {
      ADD_FAILURE() << "cannot listen on loopback";
      return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeGpsd() {
    if (thread_.joinable()) {
      (void)!::write(stop_[1], "x", 1);
      thread_.join();
    }
    for (int fd : {listener_, stop_[0], stop_[1]}) {
      if (fd >= 0) ::close(fd);
    }
  }
  GpsdEndpoint endpoint() const { return {"127.0.0.1", std::to_string(port_)}; }
  int watches() const { return watches_; }

 private:
  void serve() {
    std::vector<pollfd> fds = {{stop_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
    for (;;) {
      if (::poll(fds.data(), fds.size(), -1) < 0) continue;
      if (fds[0].revents != 0) break;
      if (fds[1].revents != 0) {
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
          const std::string banner =
              R"({"class":"VERSION","release":"3.22","rev":"3.22","proto_major":3,"proto_minor":14})"
              "\n";
          (void)!::write(client, banner.data(), banner.size());
          fds.push_back({client, POLLIN, 0});
        }
      }
      for (std::size_t i = 2; i < fds.size();) {
        if (fds[i].revents == 0) {
          ++i;
          continue;
        }
        char buffer[512];
        const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
        const bool watch =
            got > 0 &&
            std::string(buffer, static_cast<std::size_t>(got)).find("?WATCH") != std::string::npos;
        if (watch) ++watches_;
        if (got <= 0 || (watch && behaviour_ == Behaviour::hangUpAfterWatch)) {
          ::close(fds[i].fd);
          fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
          ++i;
        }
      }
    }
    for (std::size_t i = 2; i < fds.size(); ++i) ::close(fds[i].fd);
  }

  Behaviour behaviour_;
  int listener_ = -1;
  int stop_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::atomic<int> watches_{0};
  std::thread thread_;
};

// A port on which nothing listens: bound, then closed.
GpsdEndpoint refusingEndpoint() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return {"127.0.0.1", std::to_string(ntohs(address.sin_port))};
}

struct Rig {
  std::shared_ptr<VirtualDispatcher> dispatcher = VirtualDispatcher::create();
  std::shared_ptr<SimulatedDevice> device = SimulatedDevice::create(SimScenario{}, dispatcher);
  std::shared_ptr<PemdorDeviceSensorInfo> collector;
  int completions = 0;
  std::string latitude = "unset";

  explicit Rig(const GpsdEndpoint& endpoint) {
    auto location = makeGpsdLocationService(dispatcher, endpoint);
    collector = PemdorDeviceSensorInfo::init(
        Platform::create({dispatcher, device->clock(), device->motionService(), location}));
  }
  ~Rig() {
    collector->finishSensors();
    dispatcher->advanceBy(PemdorDeviceSensorInfo::kLocationTimeout + 1);
  }
  void callbackRun() {
    collector->processSensorsWithCallBack(
        [this](const std::string& lat, const std::string&, const std::optional<std::string>&) {
          ++completions;
          latitude = lat;
        });
  }
  // Lets the provider's reader thread catch up in real time while virtual time stands still.
  template <typename Condition>
  bool settle(Condition condition) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    for (;;) {
      dispatcher->runUntilIdle();
      if (condition()) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(5ms);
    }
  }
};

TEST(LocationFaults, SilentGpsdEndsTheWaitAtTheTimeout) {
  if (!gpsdProviderBuilt()) PEMDOR_SKIP_OR_FAIL_IN_CI("no gpsd provider in this build");
  FakeGpsd gpsd(FakeGpsd::Behaviour::silent);
  Rig rig(gpsd.endpoint());
  EXPECT_TRUE(rig.collector->isLocationServiceAvailable());
  rig.callbackRun();
  ASSERT_TRUE(rig.settle([&] { return gpsd.watches() > 0; }));
  rig.dispatcher->advanceBy(9.0);
  EXPECT_EQ(rig.completions, 0);
  rig.dispatcher->advanceBy(1.5);
  EXPECT_EQ(rig.completions, 1);
  EXPECT_EQ(rig.latitude, "");

  // A sync run keeps its motion data without a fix, and finishing it does not hang.
  rig.collector->startSensors(5);
  ASSERT_TRUE(rig.settle([&] { return gpsd.watches() > 1; }));
  rig.dispatcher->advanceBy(2.0);
  rig.collector->finishSensors();
  const auto data = rig.collector->getSensorData();
  EXPECT_EQ(data.count("la"), 0u);
  EXPECT_EQ(std::get<PemdorRecordListRef>(data.at("Gravity"))->count(), 5u);
}

TEST(LocationFaults, GpsdHangingUpEndsTheWaitAtOnce) {
  if (!gpsdProviderBuilt()) PEMDOR_SKIP_OR_FAIL_IN_CI("no gpsd provider in this build");
  FakeGpsd gpsd(FakeGpsd::Behaviour::hangUpAfterWatch);
  Rig rig(gpsd.endpoint());
  rig.callbackRun();
  ASSERT_TRUE(rig.settle([&] { return rig.collector->locationServiceFinished(); }));
  rig.dispatcher->advanceBy(1.2);
  EXPECT_EQ(rig.completions, 1);
  EXPECT_EQ(rig.dispatcher->pendingPerformRequests(), 0u) << "the failure cancels the timeout";

  rig.collector->startSensors(3);
  rig.dispatcher->advanceBy(1.0);
  ASSERT_TRUE(rig.settle([&] { return gpsd.watches() > 1; }));
  rig.dispatcher->advanceBy(1.0);
  EXPECT_EQ(
      std::get<PemdorRecordListRef>(rig.collector->getSensorData().at("Accelerometer"))->count(),
      3u);
}

TEST(LocationFaults, NoGpsdMeansServicesOffAndARunThatEndsAtOnce) {
  if (!gpsdProviderBuilt()) PEMDOR_SKIP_OR_FAIL_IN_CI("no gpsd provider in this build");
  Rig rig(refusingEndpoint());
  EXPECT_FALSE(rig.collector->isLocationServiceAvailable());
  rig.callbackRun();
  rig.dispatcher->advanceBy(1.2);
  EXPECT_EQ(rig.completions, 1);
}

}  // namespace
}  // namespace pemdor
