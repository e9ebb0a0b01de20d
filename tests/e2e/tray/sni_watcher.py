#!/usr/bin/python3
"""A minimal org.kde.StatusNotifierWatcher for a private session bus: it says a host is there and
takes items. Prints "watching" once, then "registered <service> <path>" for every item, flushed,
so a test can follow along."""

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

WATCHER = "org.kde.StatusNotifierWatcher"


class Watcher(dbus.service.Object):
    @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        # An item may pass its bus name or only its object path.
        path = "/StatusNotifierItem"
        if service.startswith("/"):
            service, path = sender, service
        print("registered", service, path, flush=True)

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return {"IsStatusNotifierHostRegistered": True}[name]


if __name__ == "__main__":
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    watcher, name = Watcher(bus, "/StatusNotifierWatcher"), dbus.service.BusName(WATCHER, bus)
    print("watching", flush=True)
    GLib.MainLoop().run()
