"""A StatusNotifierWatcher of the tests' own: takes the watcher's name on the session
bus, accepts registrations and prints each as 'registered <service> <sender>'."""
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

IFACE = "org.kde.StatusNotifierWatcher"


class Watcher(dbus.service.Object):
    @dbus.service.method(IFACE, in_signature="s", out_signature="", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        print("registered", service, sender, flush=True)

    @dbus.service.method(IFACE, in_signature="s", out_signature="")
    def RegisterStatusNotifierHost(self, service):
        pass


DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
name = dbus.service.BusName(IFACE, bus)
Watcher(bus, "/StatusNotifierWatcher")
print("ready", flush=True)
GLib.MainLoop().run()
