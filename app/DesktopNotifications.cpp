#include "DesktopNotifications.h"

#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <utility>

namespace {

const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");
const QString Interface = QStringLiteral("org.freedesktop.Notifications");
constexpr int ReplyWaitMs = 5000;

// Calls method asynchronously: a slow or missing service never holds up the program.
void Call(NotificationService& service, const QString& method, const QList<QVariant>& arguments,
          std::function<void(const QDBusMessage&)> answered = {})
{
    QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Interface, method);
    call.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(service.bus.asyncCall(call, ReplyWaitMs), &service.closed);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [watcher, answered = std::move(answered)] {
        if (answered)
            answered(watcher->reply());
        watcher->deleteLater();
    });
}

void Close(NotificationService& service, std::uint32_t id)
{
    Call(service, QStringLiteral("CloseNotification"), {QVariant::fromValue(id)});
}

} // namespace

void ConnectNotifications(NotificationService& service, const QDBusConnection& bus,
                          std::vector<ShownNotification*> kinds)
{
    service.bus = bus;
    service.kinds = std::move(kinds);
    // Every program's notifications raise these signals: only our own ids count.
    service.actionInvoked.receive = [&service](const QDBusMessage& message) {
        const QList<QVariant> args = message.arguments();
        for (ShownNotification* shown : service.kinds)
            if (args.size() >= 2 && shown->id != 0 && args[0].toUInt() == shown->id && shown->act)
                shown->act(args[1].toString());
    };
    service.closed.receive = [&service](const QDBusMessage& message) {
        const QList<QVariant> args = message.arguments();
        for (ShownNotification* shown : service.kinds)
            if (!args.isEmpty() && shown->id != 0 && args[0].toUInt() == shown->id)
                shown->id = 0;
    };
    service.bus.connect(Service, Path, Interface, QStringLiteral("ActionInvoked"), &service.actionInvoked,
                        SLOT(Receive(QDBusMessage)));
    service.bus.connect(Service, Path, Interface, QStringLiteral("NotificationClosed"), &service.closed,
                        SLOT(Receive(QDBusMessage)));
    Call(service, QStringLiteral("GetCapabilities"), {}, [&service](const QDBusMessage& reply) {
        service.bodyMarkup = reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
                             reply.arguments()[0].toStringList().contains(QStringLiteral("body-markup"));
    });
}

void ShowNotification(NotificationService& service, ShownNotification& shown, const NotificationRequest& request)
{
    if (!service.bus.isConnected())
        return;
    // A service that reads markup would take "<ann@example.org>" for a tag.
    const QString body = service.bodyMarkup ? request.body.toHtmlEscaped() : request.body;
    shown.awaitingId = true;
    shown.closeOnceNumbered = false;
    Call(service, QStringLiteral("Notify"),
         {QStringLiteral("Postbell"), QVariant::fromValue(shown.id), request.icon, request.summary, body, request.actions,
          request.hints, request.timeoutMs},
         [&service, &shown](const QDBusMessage& reply) {
             shown.awaitingId = false;
             if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
                 return;
             shown.id = reply.arguments()[0].toUInt();
             // Taken down before the service had numbered it.
             if (std::exchange(shown.closeOnceNumbered, false))
                 CloseNotification(service, shown);
         });
}

void CloseNotification(NotificationService& service, ShownNotification& shown)
{
    if (shown.awaitingId)
        shown.closeOnceNumbered = true;
    if (shown.id == 0)
        return;
    Close(service, std::exchange(shown.id, 0));
}
