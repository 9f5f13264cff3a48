#!/usr/bin/python3
"""The end-to-end tests' own parts of a private D-Bus session bus.

desktop_bus.py serve RECORD_FILE   until killed: fakes of logind and NetworkManager (Debian has no
    real one for a private bus; dbus-send drives them: login1.Manager.Wake and
    NetworkManager.SetState u emit their signals), and a recorder of the real notification
    daemon's traffic: one JSON line per Notify (with the id it got), CloseNotification,
    NotificationClosed and ActionInvoked.
desktop_bus.py item                the tray item as the StatusNotifierItem host sees it: its
    picture (normal, new-mail, error, by the colours of its largest pixmap) and its tooltip.
"""
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


def plain(value):
    """A D-Bus value as JSON can hold it."""
    if isinstance(value, (dbus.Array, list)):
        return [plain(v) for v in value]
    if isinstance(value, (dbus.Dictionary, dict)):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (int, float)):
        return int(value) if isinstance(value, int) else float(value)
    return str(value)


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
        kind, member, args = message.get_type(), message.get_member(), [plain(a) for a in message.get_args_list()]
        if kind == dbus.lowlevel.MESSAGE_TYPE_METHOD_CALL and member == "Notify":
            notifies[(message.get_sender(), message.get_serial())] = dict(zip(
                ("member", "app", "replaces", "icon", "summary", "body", "actions", "hints", "timeout"), [member] + args))
        elif kind == dbus.lowlevel.MESSAGE_TYPE_METHOD_RETURN:
            call = notifies.pop((message.get_destination(), message.get_reply_serial()), None)
            if call is not None:
                write(dict(call, id=args[0]))
        elif member in ("CloseNotification", "NotificationClosed", "ActionInvoked"):
            write(dict(zip(("member", "id", "detail"), [member] + args)))
        # A call overheard must not be answered from here, or its caller may get our error first;
        # the fakes still answer their own calls.
        overheard = kind == dbus.lowlevel.MESSAGE_TYPE_METHOD_CALL and message.get_interface() == NOTIFY
        return dbus.lowlevel.HANDLER_RESULT_HANDLED if overheard else dbus.lowlevel.HANDLER_RESULT_NOT_YET_HANDLED

    for rule in ("type='method_call',interface='org.freedesktop.Notifications'", "type='method_return'",
                 "type='signal',interface='org.freedesktop.Notifications'"):
        bus.add_match_string("eavesdrop=true," + rule)
    bus.add_message_filter(seen)
    print("ready", flush=True)
    GLib.MainLoop().run()


def near(pixel, colour):
    return all(abs(a - b) <= 40 for a, b in zip(pixel, colour))


def item():
    bus = dbus.SessionBus()
    watcher = bus.get_object("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher")
    items = watcher.Get("org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems", dbus_interface=PROPS)
    if not items:
        sys.exit(1)
    service, _, path = str(items[0]).partition("/")
    sni = bus.get_object(service, "/" + (path or "StatusNotifierItem"))
    tooltip = sni.Get("org.kde.StatusNotifierItem", "ToolTip", dbus_interface=PROPS)
    width, height, data = max(sni.Get("org.kde.StatusNotifierItem", "IconPixmap", dbus_interface=PROPS),
                              key=lambda pixmap: pixmap[0])
    pixels = [bytes(data[i:i + 4]) for i in range(0, len(data), 4)]
    opaque = [p[1:] for p in pixels if p[0] > 128] or [b"\0\0\0"]  # ARGB, network byte order
    gold = sum(near(p, (0xff, 0xd2, 0x1a)) for p in opaque) / len(opaque)
    red = sum(near(p, (0xd8, 0x1e, 0x1e)) for p in opaque) / len(opaque)
    picture = "new-mail" if gold > 0.15 else "error" if red > 0.05 and gold < 0.02 else "normal" if red < 0.02 else "?"
    print(f"{picture}\t{tooltip[2]}".replace("\n", "\\n"))


if __name__ == "__main__":
    serve(sys.argv[2]) if sys.argv[1] == "serve" else item()
