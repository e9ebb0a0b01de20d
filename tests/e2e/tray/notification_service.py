#!/usr/bin/python3
"""A stand-in org.freedesktop.Notifications for a private session bus. Prints "notified <id>
<title>" for every Notify, flushed; a line "click <id>" on standard input sends ActionInvoked
(<id>, "default"), as a server does when the user clicks that notification."""

import itertools
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

NAME = "org.freedesktop.Notifications"


class Service(dbus.service.Object):
    numbers = itertools.count(1)

    @dbus.service.method(NAME, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app, replaces, icon, title, body, actions, hints, timeout):
        number = replaces or next(self.numbers)
        print("notified", number, title, flush=True)
        return number

    @dbus.service.method(NAME, out_signature="as")
    def GetCapabilities(self):
        return ["body", "actions"]

    @dbus.service.signal(NAME, signature="us")
    def ActionInvoked(self, number, action):
        pass


def on_input(source, condition, service):
    line = sys.stdin.readline()
    if line.startswith("click "):
        service.ActionInvoked(dbus.UInt32(int(line.split()[1])), "default")
        print("clicked", flush=True)
    return bool(line)  # no more once the input has ended


if __name__ == "__main__":
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    service, name = Service(bus, "/org/freedesktop/Notifications"), dbus.service.BusName(NAME, bus)
    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, on_input, service)
    print("serving", flush=True)
    GLib.MainLoop().run()
