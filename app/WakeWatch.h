#pragma once

#include "SlotRelay.h"

#include <QDBusConnection>
#include <QNetworkInformation>

#include <functional>

// Tells when the computer resumes from suspend (logind's PrepareForSleep(false)) and when
// the network becomes reachable after being unreachable (QNetworkInformation).
struct WakeWatch {
    QDBusConnection bus{QString()};
    SlotRelay prepareForSleep;
    QNetworkInformation::Reachability reachability = QNetworkInformation::Reachability::Unknown;
};

// bus is the system bus in the program; a test gives a private one.
void WatchResume(WakeWatch& watch, const QDBusConnection& bus, std::function<void()> woke);
// Loads the NetworkManager backend (or Qt's default); nothing happens without one.
void WatchNetworkReturn(WakeWatch& watch, std::function<void()> woke);
// True when going from reachability before to after is the network's return.
bool IsNetworkReturn(QNetworkInformation::Reachability before, QNetworkInformation::Reachability after);
