#!/usr/bin/python3
"""The end-to-end tests' parts of a private session bus.
desktop_bus.py serve RECORD_FILE: until killed, fakes of logind and NetworkManager, whose
    login1.Manager.Wake and NetworkManager.SetState u (called with dbus-send) emit their signals,
    and a recorder of what the notification daemon is sent and says: a JSON line per Notify (with
    the id it got), CloseNotification, NotificationClosed and ActionInvoked.
desktop_bus.py item: the tray item as its StatusNotifierItem host sees it: its picture by the
    colours of its largest pixmap (normal, new-mail, error), a tab, its tooltip."""
import json
import sys

import dbus
import dbus.lowlevel
import dbus.mainloop.glib
import dbus.service

NOTIFY, LOGIN, NM, PROPS = ("org.freedesktop.Notifications", "org.freedesktop.login1.Manager",
                            "org.freedesktop.NetworkManager", "org.freedesktop.DBus.Properties")


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


def serve(record_file):
    from gi.repository import GLib
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    names = [dbus.service.BusName(name, bus) for name in ("org.freedesktop.login1", NM)]
    services = [Login(bus, "/org/freedesktop/login1"), NetworkManager(bus, "/org/freedesktop/NetworkManager")]
    notifies = {}  # (sender, serial) -> the Notify call, written once its reply names the id

    def write(entry):
        with open(record_file, "a", encoding="utf-8") as out:
            out.write(json.dumps(entry, ensure_ascii=False) + "\n")

    def seen(_, message):
        kind, member, args = message.get_type(), message.get_member(), message.get_args_list()
        if kind == dbus.lowlevel.MESSAGE_TYPE_METHOD_CALL and member == "Notify":
            notifies[(message.get_sender(), message.get_serial())] = dict(zip(
                ("member", "app", "replaces", "icon", "summary", "body", "actions", "hints", "timeout"), [member] + args))
        elif kind == dbus.lowlevel.MESSAGE_TYPE_METHOD_RETURN:
            call = notifies.pop((message.get_destination(), message.get_reply_serial()), None)
            if call is not None:
                write(dict(call, id=args[0]))
        elif member in ("CloseNotification", "NotificationClosed", "ActionInvoked"):
            write(dict(zip(("member", "id", "detail"), [member] + args)))
        # An overheard call answered here would give its caller our error; the fakes answer theirs.
        overheard = kind == dbus.lowlevel.MESSAGE_TYPE_METHOD_CALL and message.get_interface() == NOTIFY
        return dbus.lowlevel.HANDLER_RESULT_HANDLED if overheard else dbus.lowlevel.HANDLER_RESULT_NOT_YET_HANDLED

    for rule in ("type='method_call',interface='org.freedesktop.Notifications'", "type='method_return'",
                 "type='signal',interface='org.freedesktop.Notifications'"):
        bus.add_match_string("eavesdrop=true," + rule)
    bus.add_message_filter(seen)
    print("ready", flush=True)
    GLib.MainLoop().run()


def item():
    bus = dbus.SessionBus()
    items = bus.get_object("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher").Get(
        "org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems", dbus_interface=PROPS)
    service, _, path = str(items[0]).partition("/")  # none yet: an error
    sni = bus.get_object(service, "/" + (path or "StatusNotifierItem"))
    tooltip = sni.Get("org.kde.StatusNotifierItem", "ToolTip", dbus_interface=PROPS)
    data = max(sni.Get("org.kde.StatusNotifierItem", "IconPixmap", dbus_interface=PROPS), key=lambda p: p[0])[2]
    opaque = [data[i + 1:i + 4] for i in range(0, len(data), 4) if data[i] > 128] or [b"\0\0\0"]  # ARGB
    share = lambda colour: sum(all(abs(a - b) <= 40 for a, b in zip(p, colour)) for p in opaque) / len(opaque)
    gold, red = share((0xff, 0xd2, 0x1a)), share((0xd8, 0x1e, 0x1e))
    picture = "new-mail" if gold > 0.15 else "error" if red > 0.05 and gold < 0.02 else "normal" if red < 0.02 else "?"
    print(f"{picture}\t{tooltip[2]}".replace("\n", "\\n"))


serve(sys.argv[2]) if sys.argv[1] == "serve" else item()
