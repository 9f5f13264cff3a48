#include "TrayPresence.h"

#include <QDBusMessage>
#include <QDBusVariant>
#include <QGuiApplication>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace {

constexpr int GraceMs = 5000;
constexpr int QuickPollMs = 250;
constexpr int SlowPollMs = 3000;
constexpr int WatcherReplyMs = 1000;

bool StatusNotifierHostRegistered(const QDBusConnection& bus)
{
    if (!bus.isConnected())
        return false;
    const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
    QDBusMessage get = QDBusMessage::createMethodCall(watcher, QStringLiteral("/StatusNotifierWatcher"),
                                                      QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << watcher << QStringLiteral("IsStatusNotifierHostRegistered");
    get.setAutoStartService(false); // asking must not start a watcher without a host
    const QDBusMessage reply = bus.call(get, QDBus::Block, WatcherReplyMs);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           reply.arguments()[0].value<QDBusVariant>().variant().toBool();
}

// The X screen of DISPLAY (":0.1" is screen 1), whose tray selection an XEmbed tray owns.
int ScreenNumber()
{
    const QByteArray display = qgetenv("DISPLAY");
    const qsizetype dot = display.lastIndexOf('.');
    return dot > display.lastIndexOf(':') ? display.mid(dot + 1).toInt() : 0;
}

bool XEmbedTrayShown()
{
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return false;
    const QByteArray selection = "_NET_SYSTEM_TRAY_S" + QByteArray::number(ScreenNumber());
    const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 1, selection.size(), selection.constData()), nullptr),
        &std::free);
    if (!atom || atom->atom == XCB_ATOM_NONE)
        return false;
    const std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, atom->atom), nullptr), &std::free);
    return owner && owner->owner != XCB_WINDOW_NONE;
}

bool NeverATray()
{
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

} // namespace

TrayKind FindTray(const QDBusConnection& sessionBus)
{
    // Qt itself prefers the StatusNotifierItem host where both are there.
    if (StatusNotifierHostRegistered(sessionBus))
        return TrayKind::StatusNotifier;
    return XEmbedTrayShown() ? TrayKind::XEmbed : TrayKind::None;
}

void WaitForTray(TrayWatch& watch, const QDBusConnection& sessionBus, std::function<void(TrayKind)> found,
                 std::function<void()> graceOver)
{
    if (NeverATray())
        return graceOver();
    watch.waited.start();
    QObject::connect(&watch.poll, &QTimer::timeout, [&watch, sessionBus, found = std::move(found), graceOver] {
        if (const TrayKind kind = FindTray(sessionBus); kind != TrayKind::None) {
            watch.poll.stop();
            return found(kind);
        }
        if (!watch.graceOver && watch.waited.elapsed() >= GraceMs) {
            watch.graceOver = true;
            watch.poll.setInterval(SlowPollMs);
            graceOver();
        }
    });
    watch.poll.start(QuickPollMs);
}
