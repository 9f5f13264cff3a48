#pragma once

#include "CheckScheduling.h"
#include "SlotRelay.h"

#include <QDBusConnection>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The desktop notification for new mail, through the freedesktop Notifications service
// on the session bus. Without such a service nothing is shown and nothing fails.
struct NewMailNotice {
    QDBusConnection bus{QString()};
    std::uint32_t shownId = 0; // the last notification shown; its default action opens the window
    bool bodyMarkup = false;   // the service reads markup in the body
    SlotRelay actionInvoked;
};

constexpr int NoticeSenders = 3;     // the newest new messages named in the notification
constexpr int NoticeTimeoutMs = -1;  // the service's own time-out

// "New mail" and its body: the count, then sender and subject of up to three new messages.
struct NoticeText {
    std::string summary;
    std::string body;
};
NoticeText MakeNoticeText(std::size_t newCount, const std::vector<ResultRow>& newestFirst);

// Listens on bus for clicks on our notifications; open is called for the default action.
void WatchNoticeClicks(NewMailNotice& notice, const QDBusConnection& bus, std::function<void()> open);
void ShowNewMailNotice(NewMailNotice& notice, const NoticeText& text);
