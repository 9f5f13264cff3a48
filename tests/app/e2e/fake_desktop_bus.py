#!/usr/bin/python3
"""Stand-ins for the desktop services Postbell talks to, on a private D-Bus bus.

    fake_desktop_bus.py RECORD_FILE

Owns org.freedesktop.Notifications (each Notify call is appended to RECORD_FILE as one
JSON line), org.freedesktop.login1 and org.freedesktop.NetworkManager. A test drives
them with dbus-send:
  Notifications.Click      ActionInvoked(last id, "default")
  login1.Manager.Wake      PrepareForSleep(false)
  NetworkManager.SetState  State := u, with PropertiesChanged
Runs until killed.
"""

import json
import sys

import dbus
import dbus.service
import dbus.mainloop.glib
from gi.repository import GLib

NOTIFY = "org.freedesktop.Notifications"
LOGIN = "org.freedesktop.login1.Manager"
NM = "org.freedesktop.NetworkManager"
PROPS = "org.freedesktop.DBus.Properties"


class Notifications(dbus.service.Object):
    def __init__(self, bus, record):
        super().__init__(bus, "/org/freedesktop/Notifications")
        self.record, self.last_id = record, 0

    @dbus.service.method(NOTIFY, in_signature="", out_signature="as")
    def GetCapabilities(self):
        return ["actions", "body"]

    @dbus.service.method(NOTIFY, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        self.last_id += 1
        with open(self.record, "a", encoding="utf-8") as out:
            out.write(json.dumps({"id": self.last_id, "app": str(app), "summary": str(summary),
                                  "body": str(body), "actions": [str(a) for a in actions]}, ensure_ascii=False) + "\n")
        return self.last_id

    @dbus.service.method(NOTIFY, in_signature="", out_signature="")
    def Click(self):
        self.ActionInvoked(self.last_id, "default")

    @dbus.service.signal(NOTIFY, signature="us")
    def ActionInvoked(self, notification_id, action_key):
        pass


class Login(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/org/freedesktop/login1")

    @dbus.service.method(LOGIN, in_signature="", out_signature="")
    def Wake(self):
        self.PrepareForSleep(False)

    @dbus.service.signal(LOGIN, signature="b")
    def PrepareForSleep(self, start):
        pass


class NetworkManager(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/org/freedesktop/NetworkManager")
        self.props = {"State": dbus.UInt32(70), "Connectivity": dbus.UInt32(4), "Metered": dbus.UInt32(0),
                      "PrimaryConnection": dbus.ObjectPath("/")}

    @dbus.service.method(PROPS, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.props[name]

    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return self.props

    @dbus.service.method(NM, in_signature="u", out_signature="")
    def SetState(self, state):
        self.props["State"] = dbus.UInt32(state)
        self.props["Connectivity"] = dbus.UInt32(4 if state == 70 else 1)
        changed = {"State": self.props["State"], "Connectivity": self.props["Connectivity"]}
        self.PropertiesChanged(NM, changed, [])
        self.StateChanged(dbus.UInt32(state))

    @dbus.service.signal(PROPS, signature="sa{sv}as")
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

    @dbus.service.signal(NM, signature="u")
    def StateChanged(self, state):
        pass


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    keep = [dbus.service.BusName(name, bus) for name in (NOTIFY, "org.freedesktop.login1", NM)]
    objects = [Notifications(bus, sys.argv[1]), Login(bus), NetworkManager(bus)]
    print("ready", flush=True)
    GLib.MainLoop().run()
    del keep, objects


if __name__ == "__main__":
    main()
