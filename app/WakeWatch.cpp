#include "WakeWatch.h"

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
