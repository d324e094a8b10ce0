#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""A private system bus with a fake GeoClue2 service on it, for the GeoClue2 provider's tests.

It starts its own dbus-daemon (a child, stopped by its process id when this program ends), prints
"address <bus address>" and, once the service owns its name, "ready" on standard output. Then it
reports what clients do, one line per event ("created <client>", "set <client> <property>
<value>", "started <client>", "stopped <client>", "deleted <client>"), and obeys commands read
from standard input, one per line. Right before "deleted <client>" it says who asked and whether
that connection was still on the bus when the service handled the deletion ("deleting <client>
<unique name> connected" or "... gone"), and once such a connection leaves the bus it says
"disconnected <unique name>".


  emit <latitude> <longitude>   a new Location for every started client, with LocationUpdated;
                                answered "emitted <CLOCK_MONOTONIC ns of the last signal>"
  answer                        answers every Start held by --start=held and every DeleteClient
                                held by --delete=held; answered "answered <n>"
  quit                          the service leaves the bus (its connection closes); the bus stays
  exit                          ends this program and its bus

The end of standard input ends the program too, so that nothing outlives a test that died.

Options choose how the service behaves:
  --no-service        the bus only; nobody owns org.freedesktop.GeoClue2
  --create=silent     CreateClient is never answered (GeoClue2 without an agent for the user)
  --start=deny        Start answers org.freedesktop.DBus.Error.AccessDenied
  --start=silent      Start is never answered
  --start=held        Start is answered (as a success) only on the command "answer"
  --delete=held       DeleteClient is answered only on the command "answer" ("delete-held
                      <client> <unique name>"); the client goes, and "deleting ..." and
                      "deleted ..." are said, when it is answered
  --at-start=LAT,LON  the client's Location is already set when Start answers
  --every=SECONDS,LAT,LON  every started client gets a new Location at this pace
"""

import argparse
import ctypes
import os
import signal
import subprocess
import sys
import tempfile
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

SERVICE = "org.freedesktop.GeoClue2"
MANAGER_PATH = "/org/freedesktop/GeoClue2/Manager"
MANAGER_IFACE = "org.freedesktop.GeoClue2.Manager"
CLIENT_IFACE = "org.freedesktop.GeoClue2.Client"
LOCATION_IFACE = "org.freedesktop.GeoClue2.Location"
PROPERTIES_IFACE = "org.freedesktop.DBus.Properties"

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>custom</type>
  <listen>unix:path={folder}/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def start_bus(folder):
    """Starts dbus-daemon in the foreground; it dies with this program (PR_SET_PDEATHSIG)."""
    config = os.path.join(folder, "bus.conf")
    with open(config, "w") as f:
        f.write(BUS_CONFIG.format(folder=folder))
    libc = ctypes.CDLL(None, use_errno=True)

    def die_with_parent():
        libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG

    daemon = subprocess.Popen(
        ["/usr/bin/dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + config,
         "--print-address=1"],
        stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, preexec_fn=die_with_parent)
    address = daemon.stdout.readline().decode().strip()
    if not address:
        daemon.kill()
        daemon.wait()
        raise SystemExit("dbus-daemon did not start")
    return daemon, address


class PropertyObject(dbus.service.Object):
    """An object whose properties of one interface are kept in a dictionary."""

    def __init__(self, bus, path, interface, properties):
        super().__init__(bus, path)
        self.path = path
        self.interface = interface
        self.properties = properties

    @dbus.service.method(PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if interface != self.interface or name not in self.properties:
            raise dbus.exceptions.DBusException(
                "no property " + name, name="org.freedesktop.DBus.Error.InvalidArgs")
        return self.properties[name]

    @dbus.service.method(PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        if interface != self.interface:
            return dbus.Dictionary({}, signature="sv")
        return dbus.Dictionary(self.properties, signature="sv")

    @dbus.service.method(PROPERTIES_IFACE, in_signature="ssv")
    def Set(self, interface, name, value):
        if interface != self.interface or name not in self.properties:
            raise dbus.exceptions.DBusException(
                "no property " + name, name="org.freedesktop.DBus.Error.InvalidArgs")
        self.properties[name] = type(self.properties[name])(value)
        say("set %s %s %s" % (self.path, name, value))


class Fake:
    def __init__(self, bus, options):
        self.bus = bus
        self.options = options
        self.clients = {}
        self.locations = []
        self.next_client = 1
        self.next_location = 1
        self.signalled_at = 0
        # Starts waiting for the command "answer" (--start=held), as (client, reply).
        self.held = []
        # Deletions waiting for the command "answer" (--delete=held), as (path, sender, reply).
        self.held_deletions = []
        # The connections that asked for a deletion, reported when they leave the bus.
        self.deleters = set()
        bus.add_signal_receiver(self.name_owner_changed, signal_name="NameOwnerChanged",
                                dbus_interface="org.freedesktop.DBus",
                                bus_name="org.freedesktop.DBus", path="/org/freedesktop/DBus")
        self.manager = Manager(self)

    def new_location(self, latitude, longitude):
        path = "/org/freedesktop/GeoClue2/Location/%d" % self.next_location
        self.next_location += 1
        self.locations.append(PropertyObject(self.bus, path, LOCATION_IFACE, {
            "Latitude": dbus.Double(latitude),
            "Longitude": dbus.Double(longitude),
            "Accuracy": dbus.Double(1000.0),
            "Altitude": dbus.Double(-1.7976931348623157e308),
            "Speed": dbus.Double(-1.0),
            "Heading": dbus.Double(-1.0),
            "Description": dbus.String(""),
            "Timestamp": dbus.Struct((dbus.UInt64(0), dbus.UInt64(0)), signature="tt"),
        }))
        return path

    def emit(self, latitude, longitude):
        for client in list(self.clients.values()):
            if client.properties["Active"]:
                client.update(self.new_location(latitude, longitude))

    def name_owner_changed(self, name, old_owner, new_owner):
        if name in self.deleters and not new_owner:
            self.deleters.discard(name)
            say("disconnected " + name)

    def delete(self, path, sender, reply):
        # Asked before the answer, while the asking connection waits for it (if it does).
        connected = self.bus.name_has_owner(sender)
        client = self.clients.pop(str(path), None)
        if client is not None:
            client.remove_from_connection()
        say("deleting %s %s %s" % (path, sender, "connected" if connected else "gone"))
        say("deleted %s" % path)
        reply()

    def tick(self):
        _, latitude, longitude = self.options.every
        self.emit(latitude, longitude)
        say("ticked")
        return True


class Manager(dbus.service.Object):
    def __init__(self, fake):
        super().__init__(fake.bus, MANAGER_PATH)
        self.fake = fake

    @dbus.service.method(MANAGER_IFACE, in_signature="", out_signature="o",
                         async_callbacks=("reply", "error"))
    def CreateClient(self, reply, error):
        if self.fake.options.create == "silent":
            say("create-ignored")
            return
        path = "/org/freedesktop/GeoClue2/Client/%d" % self.fake.next_client
        self.fake.next_client += 1
        self.fake.clients[path] = Client(self.fake, path)
        say("created " + path)
        reply(dbus.ObjectPath(path))

    @dbus.service.method(MANAGER_IFACE, in_signature="o", out_signature="",
                         sender_keyword="sender", async_callbacks=("reply", "error"))
    def DeleteClient(self, path, sender, reply, error):
        self.fake.deleters.add(str(sender))
        if self.fake.options.delete == "held":
            say("delete-held %s %s" % (path, sender))
            self.fake.held_deletions.append((path, str(sender), reply))
            return
        self.fake.delete(path, str(sender), reply)


class Client(PropertyObject):
    def __init__(self, fake, path):
        super().__init__(fake.bus, path, CLIENT_IFACE, {
            "Location": dbus.ObjectPath("/"),
            "DistanceThreshold": dbus.UInt32(0),
            "TimeThreshold": dbus.UInt32(0),
            "DesktopId": dbus.String(""),
            "RequestedAccuracyLevel": dbus.UInt32(0),
            "Active": dbus.Boolean(False),
        })
        self.fake = fake

    def update(self, path):
        old = self.properties["Location"]
        self.properties["Location"] = dbus.ObjectPath(path)
        # The moment of the signal, on the clock of std::chrono::steady_clock, for the benchmark.
        self.fake.signalled_at = time.monotonic_ns()
        self.LocationUpdated(old, dbus.ObjectPath(path))

    @dbus.service.signal(CLIENT_IFACE, signature="oo")
    def LocationUpdated(self, old, new):
        pass

    @dbus.service.method(CLIENT_IFACE, in_signature="", out_signature="",
                         async_callbacks=("reply", "error"))
    def Start(self, reply, error):
        mode = self.fake.options.start
        if mode == "silent":
            say("start-ignored " + self.path)
            return
        if mode == "held":
            say("start-held " + self.path)
            self.fake.held.append((self, reply))
            return
        if mode == "deny":
            say("denied " + self.path)
            error(dbus.exceptions.DBusException(
                "'%s' disallowed, no agent for UID 0" % self.properties["DesktopId"],
                name="org.freedesktop.DBus.Error.AccessDenied"))
            return
        self.answer_start(reply)

    def answer_start(self, reply):
        if self.fake.options.at_start is not None:
            latitude, longitude = self.fake.options.at_start
            self.properties["Location"] = dbus.ObjectPath(
                self.fake.new_location(latitude, longitude))
        self.properties["Active"] = dbus.Boolean(True)
        say("started " + self.path)
        reply()

    @dbus.service.method(CLIENT_IFACE, in_signature="", out_signature="")
    def Stop(self):
        self.properties["Active"] = dbus.Boolean(False)
        say("stopped " + self.path)


def pair(text):
    latitude, longitude = text.split(",")
    return float(latitude), float(longitude)


def triple(text):
    seconds, latitude, longitude = text.split(",")
    return float(seconds), float(latitude), float(longitude)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--no-service", action="store_true")
    parser.add_argument("--create", choices=["answer", "silent"], default="answer")
    parser.add_argument("--start", choices=["answer", "deny", "silent", "held"], default="answer")
    parser.add_argument("--delete", choices=["answer", "held"], default="answer")
    parser.add_argument("--at-start", type=pair)
    parser.add_argument("--every", type=triple)
    options = parser.parse_args()

    folder = tempfile.mkdtemp(prefix="pemdor-geoclue-")
    daemon, address = start_bus(folder)
    loop = GLib.MainLoop()
    state = {"connection": None}

    def end(*_):
        loop.quit()
        return False

    signal.signal(signal.SIGTERM, lambda *_: GLib.idle_add(end))
    try:
        say("address " + address)
        dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
        if not options.no_service:
            connection = dbus.bus.BusConnection(address)
            state["connection"] = connection
            fake = Fake(connection, options)
            state["fake"] = fake
            # Held for as long as the service stays on the bus.
            state["name"] = dbus.service.BusName(SERVICE, connection, do_not_queue=True)
            if options.every is not None:
                GLib.timeout_add(int(options.every[0] * 1000), fake.tick)
        say("ready")

        pending = {"text": b""}

        def obey(line):
            words = line.split()
            fake = state.get("fake")
            if not words:
                return True
            if words[0] == "emit" and fake is not None:
                fake.emit(float(words[1]), float(words[2]))
                say("emitted %d" % fake.signalled_at)
            elif words[0] == "answer" and fake is not None:
                held, fake.held = fake.held, []
                for client, reply in held:
                    if str(client.path) in fake.clients:
                        client.answer_start(reply)
                deletions, fake.held_deletions = fake.held_deletions, []
                for path, sender, reply in deletions:
                    fake.delete(path, sender, reply)
                say("answered %d" % (len(held) + len(deletions)))
            elif words[0] == "quit" and state["connection"] is not None:
                state.pop("name", None)
                state.pop("fake", None)
                state["connection"].close()
                state["connection"] = None
                say("left")
            elif words[0] == "exit":
                return False
            return True

        def command(source, condition):
            # One wake-up may bring several lines; each is obeyed in turn.
            chunk = os.read(sys.stdin.fileno(), 4096)
            if not chunk:
                return end()
            pending["text"] += chunk
            while b"\n" in pending["text"]:
                line, pending["text"] = pending["text"].split(b"\n", 1)
                if not obey(line.decode()):
                    return end()
            return True

        GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, command)
        loop.run()
    finally:
        daemon.terminate()
        try:
            daemon.wait(timeout=5)
        except subprocess.TimeoutExpired:
            daemon.kill()
            daemon.wait()
        for name in ("bus", "bus.conf"):
            try:
                os.unlink(os.path.join(folder, name))
            except OSError:
                pass
        os.rmdir(folder)


if __name__ == "__main__":
    main()
