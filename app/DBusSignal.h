#pragma once

#include <QDBusMessage>
#include <QObject>

#include <functional>

// Qt delivers a D-Bus signal only to a slot of a QObject; this is that slot, handing
// the message on to a function.
struct DBusSignalSlot : QObject {
    Q_OBJECT
public:
    std::function<void(const QDBusMessage&)> receive;
public Q_SLOTS:
    void Receive(const QDBusMessage& message)
    {
        if (receive)
            receive(message);
    }
};
