#pragma once

#include <QDBusMessage>
#include <QObject>

#include <functional>

// Qt delivers D-Bus signals, and signals known only by name, only to a slot of a QObject;
// this is that slot, handing the call on to a function.
struct SlotRelay : QObject {
    Q_OBJECT
public:
    std::function<void(const QDBusMessage&)> receive; // an empty message for a plain signal
public Q_SLOTS:
    void Receive(const QDBusMessage& message)
    {
        if (receive)
            receive(message);
    }
    void Fire() { Receive(QDBusMessage()); }
};
