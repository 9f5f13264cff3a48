#include "NewMailNotice.h"

#include "QtText.h"

namespace {

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
    text.body = NewMessagesText(newCount);
    for (std::size_t i = 0; i < newestFirst.size() && i < NoticeSenders; ++i) {
        text.body += '\n';
        text.body += SenderLine(newestFirst[i]);
    }
    return text;
}

std::string NewMessagesText(std::size_t count)
{
    return count == 1 ? "1 new message" : std::to_string(count) + " new messages";
}

NotificationRequest NewMailRequest(const NoticeText& text, bool sound, bool mailProgram)
{
    NotificationRequest request;
    request.summary = ToQString(text.summary);
    request.body = ToQString(text.body);
    request.icon = QStringLiteral("postbell");
    request.actions = QStringList{QStringLiteral("default"), QStringLiteral("Open")};
    if (mailProgram)
        request.actions << QStringLiteral("mail-program") << QStringLiteral("Open mail program");
    request.hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("postbell"));
    request.hints.insert(QStringLiteral("category"), QStringLiteral("email.arrived"));
    if (sound)
        request.hints.insert(QStringLiteral("sound-name"), QStringLiteral("message-new-email"));
    else
        request.hints.insert(QStringLiteral("suppress-sound"), true);
    return request;
}
