// SPDX-License-Identifier: MIT
// sd-bus helpers of the GeoClue2 provider.

#include "GeoclueSdBus.h"

#include <errno.h>
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace pemdor::geoclue {

std::uint64_t toMicroseconds(double seconds) {
  const double bounded = std::clamp(seconds, 0.001, 3600.0);
  return static_cast<std::uint64_t>(bounded * 1e6);
}

std::uint64_t monotonicMicroseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

/// The poll() timeout, in milliseconds, until sd-bus's next deadline (-1 when it has none),
/// rounded up so that a wake-up never comes before the deadline.
int pollTimeout(sd_bus* bus) {
  std::uint64_t deadline = 0;
  if (sd_bus_get_timeout(bus, &deadline) < 0 || deadline == UINT64_MAX) return -1;
  const std::uint64_t now = monotonicMicroseconds();
  if (deadline <= now) return 0;
  const std::uint64_t milliseconds = (deadline - now + 999) / 1000;
  return static_cast<int>(std::min<std::uint64_t>(milliseconds, 60000));
}

std::string errnoText(int negativeErrno) {
  return std::strerror(-negativeErrno);
}

/// Opens the system bus: DBUS_SYSTEM_BUS_ADDRESS when set, else the well-known socket.
BusPtr openSystemBus(std::string& problem) {
  sd_bus* bus = nullptr;
  const int r = sd_bus_open_system(&bus);
  if (r < 0) {
    problem = "cannot connect to the system bus: " + errnoText(r);
    return nullptr;
  }
  return BusPtr(bus);
}

/// Lets sd-bus write out what has been sent, for at most `limit`.
void flushBounded(sd_bus* bus, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    while (sd_bus_process(bus, nullptr) > 0) {
    }
    const int events = sd_bus_get_events(bus);
    if (events < 0 || (events & POLLOUT) == 0) return;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    pollfd wait{sd_bus_get_fd(bus), static_cast<short>(events), 0};
    if (::poll(&wait, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return;
  }
}

/// Sends a method call whose answer nobody waits for.
void sendWithoutReply(sd_bus* bus, const char* path, const char* interface, const char* member,
                      const char* objectPath) {
  sd_bus_message* raw = nullptr;
  if (sd_bus_message_new_method_call(bus, &raw, kService, path, interface, member) < 0) return;
  MessagePtr message(raw);
  if (objectPath != nullptr && sd_bus_message_append(raw, "o", objectPath) < 0) return;
  sd_bus_message_set_expect_reply(raw, 0);
  sd_bus_send(bus, raw, nullptr);
}

/// Makes one call and waits for its answer for at most the time left until `deadline`,
/// processing the connection itself (the Hello exchange included). Used by the presence check
/// only, on a connection of its own.
MessagePtr callBounded(sd_bus* bus, sd_bus_message* call,
                       std::chrono::steady_clock::time_point deadline, std::string& problem) {
  struct Waiting {
    MessagePtr reply;
    bool done = false;
  } waiting;
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) {
    problem = "no time left";
    return nullptr;
  }
  sd_bus_slot* rawSlot = nullptr;
  int r = sd_bus_call_async(
      bus, &rawSlot, call,
      [](sd_bus_message* reply, void* data, sd_bus_error*) {
        auto* state = static_cast<Waiting*>(data);
        state->reply.reset(sd_bus_message_ref(reply));
        state->done = true;
        return 0;
      },
      &waiting, static_cast<std::uint64_t>(left.count()));
  if (r < 0) {
    problem = "cannot call the bus: " + errnoText(r);
    return nullptr;
  }
  const SlotPtr slot(rawSlot);
  while (!waiting.done) {
    r = sd_bus_process(bus, nullptr);
    if (r < 0) {
      problem = "the system bus went away: " + errnoText(r);
      return nullptr;
    }
    if (r > 0) continue;
    pollfd wait{sd_bus_get_fd(bus), static_cast<short>(std::max(sd_bus_get_events(bus), 0)), 0};
    if (::poll(&wait, 1, pollTimeout(bus)) < 0 && errno != EINTR) {
      problem = std::strerror(errno);
      return nullptr;
    }
  }
  if (sd_bus_message_is_method_error(waiting.reply.get(), nullptr)) {
    const sd_bus_error* error = sd_bus_message_get_error(waiting.reply.get());
    problem = error != nullptr && error->message != nullptr ? error->message : "call failed";
    return nullptr;
  }
  return std::move(waiting.reply);
}

}  // namespace pemdor::geoclue
