#pragma once

#include "SlotRelay.h"

#include <QDBusConnection>
#include <QNetworkInformation>

#include <functional>
#include <memory>

class QSocketNotifier;

// Tells when the computer resumes from suspend (logind's PrepareForSleep(false)), when
// the network becomes reachable after being unreachable (QNetworkInformation), and when a
// point-to-point link comes up (the kernel's link messages on a netlink socket).
struct WakeWatch {
    WakeWatch();
    ~WakeWatch();
    WakeWatch(const WakeWatch&) = delete;
    WakeWatch& operator=(const WakeWatch&) = delete;

    QDBusConnection bus{QString()};
    SlotRelay prepareForSleep;
    QNetworkInformation::Reachability reachability = QNetworkInformation::Reachability::Unknown;
    int linkSocket = -1;
    std::unique_ptr<QSocketNotifier> linkNotifier;
    bool dialupUp = false;
};

// bus is the system bus in the program; a test gives a private one.
void WatchResume(WakeWatch& watch, const QDBusConnection& bus, std::function<void()> woke);
// Loads the NetworkManager backend (or Qt's default); nothing happens without one.
void WatchNetworkReturn(WakeWatch& watch, std::function<void()> woke);
// Calls up when the dial-up gate opens: a point-to-point link came up where none was.
void WatchDialupLink(WakeWatch& watch, std::function<void()> up);
// True when going from reachability before to after is the network's return.
bool IsNetworkReturn(QNetworkInformation::Reachability before, QNetworkInformation::Reachability after);
