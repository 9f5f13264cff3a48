#include "NewMailNotice.h"

#include "QtText.h"

#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace {

const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");
const QString Interface = QStringLiteral("org.freedesktop.Notifications");
const QString DefaultAction = QStringLiteral("default");

std::string SenderLine(const ResultRow& row)
{
    if (row.subject.empty())
        return row.from;
    std::string line = row.from;
    line += ": ";
    line += row.subject;
    return line;
}

} // namespace

NoticeText MakeNoticeText(std::size_t newCount, const std::vector<ResultRow>& newestFirst)
{
    NoticeText text;
    text.summary = "New mail";
    text.body = newCount == 1 ? "1 new message" : std::to_string(newCount) + " new messages";
    for (std::size_t i = 0; i < newestFirst.size() && i < NoticeSenders; ++i) {
        text.body += '\n';
        text.body += SenderLine(newestFirst[i]);
    }
    return text;
}

void WatchNoticeClicks(NewMailNotice& notice, const QDBusConnection& bus, std::function<void()> open)
{
    notice.bus = bus;
    notice.actionInvoked.receive = [&notice, open = std::move(open)](const QDBusMessage& message) {
        const QList<QVariant> args = message.arguments();
        if (args.size() >= 2 && notice.shownId != 0 && args[0].toUInt() == notice.shownId &&
            args[1].toString() == DefaultAction)
            open();
    };
    notice.bus.connect(Service, Path, Interface, QStringLiteral("ActionInvoked"), &notice.actionInvoked,
                       SLOT(Receive(QDBusMessage)));
    const QDBusMessage ask = QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("GetCapabilities"));
    auto* watcher = new QDBusPendingCallWatcher(notice.bus.asyncCall(ask, 5000), &notice.actionInvoked);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [&notice, watcher] {
        const QDBusPendingReply<QStringList> reply = *watcher;
        notice.bodyMarkup = reply.isValid() && reply.value().contains(QStringLiteral("body-markup"));
        watcher->deleteLater();
    });
}

void ShowNewMailNotice(NewMailNotice& notice, const NoticeText& text)
{
    if (!notice.bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("Notify"));
    // A service that reads markup would take "<ann@example.org>" for a tag.
    const QString body = notice.bodyMarkup ? ToQString(text.body).toHtmlEscaped() : ToQString(text.body);
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("postbell"));
    hints.insert(QStringLiteral("category"), QStringLiteral("email.arrived"));
    call << QStringLiteral("Postbell") << notice.shownId << QStringLiteral("postbell") << ToQString(text.summary)
         << body << QStringList{DefaultAction, QStringLiteral("Open")} << hints << NoticeTimeoutMs;
    // Asynchronous: a slow or missing service never holds up the program.
    auto* watcher = new QDBusPendingCallWatcher(notice.bus.asyncCall(call, 5000), &notice.actionInvoked);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [&notice, watcher] {
        const QDBusPendingReply<uint> reply = *watcher;
        if (reply.isValid())
            notice.shownId = reply.value();
        watcher->deleteLater();
    });
}
