#pragma once

#include "CheckScheduling.h"
#include "DesktopNotifications.h"

#include <cstddef>
#include <string>
#include <vector>

// The desktop notification for new mail the user has not looked at yet. It keeps count across
// checks: each arrival replaces it with a larger count, until the user looks.
struct NewMailNotice {
    ShownNotification shown; // its default action opens the window
};

constexpr int NoticeSenders = 3; // the newest new messages named in the notification

// "New mail" and its body: the count, then sender and subject of up to three new messages.
struct NoticeText {
    std::string summary;
    std::string body;
};
NoticeText MakeNoticeText(std::size_t newCount, const std::vector<ResultRow>& newestFirst);
// "1 new message", "3 new messages".
std::string NewMessagesText(std::size_t count);

// The notification's request: the desktop's new-mail sound unless sound is false, and the
// action "Open mail program" when there is one to open.
NotificationRequest NewMailRequest(const NoticeText& text, bool sound, bool mailProgram);
