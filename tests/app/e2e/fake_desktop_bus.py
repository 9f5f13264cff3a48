#!/usr/bin/python3
"""Notifications (each Notify appended to RECORD_FILE as a JSON line), login1 and NetworkManager
on a private D-Bus bus, until killed: fake_desktop_bus.py RECORD_FILE. dbus-send drives them:
Notifications.Click, login1.Manager.Wake and NetworkManager.SetState u emit their signals.
"""
import json
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

NOTIFY, LOGIN, NM, PROPS = ("org.freedesktop.Notifications", "org.freedesktop.login1.Manager",
                            "org.freedesktop.NetworkManager", "org.freedesktop.DBus.Properties")


class Notifications(dbus.service.Object):
    last_id = 0

    @dbus.service.method(NOTIFY, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        self.last_id += 1
        with open(sys.argv[1], "a", encoding="utf-8") as out:
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
    @dbus.service.method(LOGIN, in_signature="", out_signature="")
    def Wake(self):
        self.PrepareForSleep(False)

    @dbus.service.signal(LOGIN, signature="b")
    def PrepareForSleep(self, start):
        pass


class NetworkManager(dbus.service.Object):
    props = {"State": dbus.UInt32(70), "Connectivity": dbus.UInt32(4), "Metered": dbus.UInt32(0),
             "PrimaryConnection": dbus.ObjectPath("/")}

    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return self.props

    @dbus.service.method(NM, in_signature="u", out_signature="")
    def SetState(self, state):
        self.props.update(State=dbus.UInt32(state), Connectivity=dbus.UInt32(4 if state == 70 else 1))
        self.PropertiesChanged(NM, {k: self.props[k] for k in ("State", "Connectivity")}, [])

    @dbus.service.signal(PROPS, signature="sa{sv}as")
    def PropertiesChanged(self, interface, changed, invalidated):
        pass


dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
names = [dbus.service.BusName(name, bus) for name in (NOTIFY, "org.freedesktop.login1", NM)]
services = [Notifications(bus, "/org/freedesktop/Notifications"), Login(bus, "/org/freedesktop/login1"),
            NetworkManager(bus, "/org/freedesktop/NetworkManager")]
print("ready", flush=True)
GLib.MainLoop().run()
