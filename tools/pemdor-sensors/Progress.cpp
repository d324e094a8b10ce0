// SPDX-License-Identifier: MIT
#include "Progress.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "Output.h"

namespace pemdor::host {

std::array<std::size_t, kCallbackStreams.size()> readingCounts(
    const PemdorDeviceSensorInfo& collector) {
  std::array<std::size_t, kCallbackStreams.size()> counts{};
  for (std::size_t i = 0; i < kCallbackStreams.size(); ++i) {
    const auto list = sensorRecords(collector, kCallbackStreams[i]);
    counts[i] = list ? std::min<std::size_t>(list->count(), kCallbackReadingsPerSensor) : 0;
  }
  return counts;
}

std::string progressLine(const PemdorDeviceSensorInfo& collector, double positionWait) {
  const auto counts = readingCounts(collector);
  const auto motion = collector.motionManager();
  // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict overlap inside
  // libstdc++ for a string literal concatenated with a temporary string.
  std::string line;
  for (std::size_t i = 0; i < kCallbackStreams.size(); ++i) {
    line += sensorOf(kCallbackStreams[i]).name;
    if (motion && !motion->isAvailable(kCallbackStreams[i])) {
      line += " n/a  ";
      continue;
    }
    line += ' ';
    line += std::to_string(counts[i]);
    line += '/';
    line += std::to_string(kCallbackReadingsPerSensor);
    line += "  ";
  }
  line += "position ";
  line += formatFixed(std::clamp(positionWait, 0.0, kLocationWaitSeconds), 1);
  line += '/';
  line += formatNumber(kLocationWaitSeconds);
  line += " s";
  return line;
}

namespace {

constexpr double kRedrawInterval = 0.2;

class TerminalProgress final : public ProgressDisplay,
                               public std::enable_shared_from_this<TerminalProgress> {
 public:
  TerminalProgress(std::shared_ptr<PemdorDeviceSensorInfo> collector, double start)
      : collector_(std::move(collector)), start_(start) {}

  void schedule() {
    auto self = shared_from_this();
    auto timer = collector_->platform()->sharedDispatcher()->scheduleAfter(
        kRedrawInterval, collector_->platform()->sharedDispatcher()->globalQueue(),
        [self] { self->redraw(); });
    std::lock_guard lock(mutex_);
    if (active_) {
      timer_ = std::move(timer);
    } else {
      timer->cancel();
    }
  }

  void redraw() {
    {
      std::lock_guard lock(mutex_);
      if (!active_) return;
      const double now = collector_->platform()->dispatcher().monotonicNow();
      // The position wait stops counting when the location part has finished.
      if (!positionDone_) {
        positionWait_ = now - start_;
        positionDone_ = collector_->locationServiceFinished();
      }
      const std::string line = progressLine(*collector_, positionWait_);
      std::string text = "\r" + line;
      if (line.size() < drawnWidth_) text.append(drawnWidth_ - line.size(), ' ');
      drawnWidth_ = std::max(drawnWidth_, line.size());
      std::fputs(text.c_str(), stderr);
      std::fflush(stderr);
    }
    schedule();
  }

  void stop() override {
    std::shared_ptr<TimerHandle> timer;
    {
      std::lock_guard lock(mutex_);
      if (!active_) return;
      active_ = false;
      timer = std::move(timer_);
      if (drawnWidth_ > 0) {
        std::string blank(drawnWidth_ + 2, ' ');
        blank.front() = '\r';
        blank.back() = '\r';
        std::fputs(blank.c_str(), stderr);
        std::fflush(stderr);
      }
    }
    if (timer) timer->cancel();
  }

 private:
  const std::shared_ptr<PemdorDeviceSensorInfo> collector_;
  const double start_;
  std::mutex mutex_;
  bool active_ = true;
  bool positionDone_ = false;
  double positionWait_ = 0.0;
  std::size_t drawnWidth_ = 0;
  std::shared_ptr<TimerHandle> timer_;
};

}  // namespace

std::shared_ptr<ProgressDisplay> ProgressDisplay::start(
    std::shared_ptr<PemdorDeviceSensorInfo> collector, double start) {
  auto display = std::make_shared<TerminalProgress>(std::move(collector), start);
  display->schedule();
  return display;
}

}  // namespace pemdor::host
