#include "WakeWatch.h"

#include "DialupGate.h"

#include <QSocketNotifier>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

WakeWatch::WakeWatch() = default;

WakeWatch::~WakeWatch()
{
    linkNotifier.reset();
    if (linkSocket >= 0)
        close(linkSocket);
}

void WatchResume(WakeWatch& watch, const QDBusConnection& bus, std::function<void()> woke)
{
    watch.bus = bus;
    watch.prepareForSleep.receive = [woke = std::move(woke)](const QDBusMessage& message) {
        const QList<QVariant> args = message.arguments();
        // true: about to sleep; false: woken up.
        if (!args.isEmpty() && !args[0].toBool())
            woke();
    };
    watch.bus.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                      QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"),
                      &watch.prepareForSleep, SLOT(Receive(QDBusMessage)));
}

bool IsNetworkReturn(QNetworkInformation::Reachability before, QNetworkInformation::Reachability after)
{
    using Reachability = QNetworkInformation::Reachability;
    const auto reachable = [](Reachability r) {
        return r == Reachability::Local || r == Reachability::Site || r == Reachability::Online;
    };
    return before == Reachability::Disconnected && reachable(after);
}

void WatchNetworkReturn(WakeWatch& watch, std::function<void()> woke)
{
    if (!QNetworkInformation::loadBackendByName(u"networkmanager") && !QNetworkInformation::loadDefaultBackend())
        return;
    QNetworkInformation* information = QNetworkInformation::instance();
    watch.reachability = information->reachability();
    QObject::connect(information, &QNetworkInformation::reachabilityChanged, &watch.prepareForSleep,
                     [&watch, woke = std::move(woke)](QNetworkInformation::Reachability now) {
                         const bool returned = IsNetworkReturn(watch.reachability, now);
                         watch.reachability = now;
                         if (returned)
                             woke();
                     });
}

void WatchDialupLink(WakeWatch& watch, std::function<void()> up)
{
    watch.linkSocket = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    sockaddr_nl links{};
    links.nl_family = AF_NETLINK;
    links.nl_groups = RTMGRP_LINK;
    if (watch.linkSocket < 0 || bind(watch.linkSocket, reinterpret_cast<sockaddr*>(&links), sizeof links) != 0)
        return;
    watch.dialupUp = IsDialupConnected();
    watch.linkNotifier = std::make_unique<QSocketNotifier>(watch.linkSocket, QSocketNotifier::Read);
    QObject::connect(watch.linkNotifier.get(), &QSocketNotifier::activated, [&watch, up = std::move(up)] {
        // What changed does not matter: the interfaces are read again as the gate reads them.
        char message[8192];
        while (recv(watch.linkSocket, message, sizeof message, 0) > 0) {
        }
        const bool wasUp = std::exchange(watch.dialupUp, IsDialupConnected());
        if (watch.dialupUp && !wasUp)
            up();
    });
}
