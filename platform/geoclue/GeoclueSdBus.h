// SPDX-License-Identifier: MIT
#pragma once

// What the GeoClue2 provider needs of sd-bus: the service's names, owning handles, the opening
// of the system bus, and calls that are bounded in time. Internal to the GeoClue2 provider.

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace pemdor::geoclue {

inline constexpr const char* kService = "org.freedesktop.GeoClue2";
inline constexpr const char* kManagerPath = "/org/freedesktop/GeoClue2/Manager";
inline constexpr const char* kManagerInterface = "org.freedesktop.GeoClue2.Manager";
inline constexpr const char* kClientInterface = "org.freedesktop.GeoClue2.Client";
inline constexpr const char* kLocationInterface = "org.freedesktop.GeoClue2.Location";
inline constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
inline constexpr const char* kBusName = "org.freedesktop.DBus";
inline constexpr const char* kBusPath = "/org/freedesktop/DBus";

/// `seconds` as microseconds, bounded to 1 ms .. 1 h.
std::uint64_t toMicroseconds(double seconds);
/// CLOCK_MONOTONIC, the clock of sd-bus's deadlines, in microseconds.
std::uint64_t monotonicMicroseconds();
/// The poll() timeout, in milliseconds, until sd-bus's next deadline (-1 when it has none),
/// rounded up so that a wake-up never comes before the deadline.
int pollTimeout(sd_bus* bus);
/// The text of a negative errno, as sd-bus returns them.
std::string errnoText(int negativeErrno);

/// An sd-bus connection closed when it goes.
struct BusCloser {
  void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusCloser>;

/// An sd-bus message released when it goes.
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

/// An sd-bus slot (a pending call or a match) released, and so cancelled, when it goes.
struct SlotUnref {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;

/// Opens the system bus: DBUS_SYSTEM_BUS_ADDRESS when set, else the well-known socket.
BusPtr openSystemBus(std::string& problem);
/// Lets sd-bus write out what has been sent, for at most `limit`.
void flushBounded(sd_bus* bus, std::chrono::milliseconds limit);
/// Sends a method call to the service whose answer nobody waits for.
void sendWithoutReply(sd_bus* bus, const char* path, const char* interface, const char* member,
                      const char* objectPath = nullptr);
/// Makes one call and waits for its answer for at most the time left until `deadline`,
/// processing the connection itself (the Hello exchange included). Used by the presence check
/// only, on a connection of its own.
MessagePtr callBounded(sd_bus* bus, sd_bus_message* call,
                       std::chrono::steady_clock::time_point deadline, std::string& problem);

}  // namespace pemdor::geoclue
