#pragma once

#include "SlotRelay.h"

#include <QDBusConnection>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <cstdint>
#include <functional>
#include <vector>

// One notification of ours at a time of its kind (new mail, an error): the id the service
// gave it, and what its actions do.
struct ShownNotification {
    std::uint32_t id = 0;        // 0: none showing
    bool awaitingId = false;     // sent, not yet numbered by the service
    bool closeOnceNumbered = false;
    std::function<void(const QString& actionKey)> act;
};

// The freedesktop Notifications service on the session bus. Without one nothing is shown and
// nothing fails.
struct NotificationService {
    QDBusConnection bus{QString()};
    bool bodyMarkup = false; // the service reads markup in the body
    std::vector<ShownNotification*> kinds;
    SlotRelay actionInvoked;
    SlotRelay closed;
};

struct NotificationRequest {
    QString summary;
    QString body; // plain text
    QString icon;
    QStringList actions; // key, label, key, label, ...
    QVariantMap hints;
    int timeoutMs = -1; // -1: the service's own
};

// Listens on bus for the service's signals, routed to the kinds given, which must outlive it.
void ConnectNotifications(NotificationService& service, const QDBusConnection& bus,
                          std::vector<ShownNotification*> kinds);
// Shows request in place of the kind's notification, if one still shows.
void ShowNotification(NotificationService& service, ShownNotification& shown, const NotificationRequest& request);
void CloseNotification(NotificationService& service, ShownNotification& shown);
