#include "NewMailAlerts.h"

#include "MailProgram.h"
#include "WindowFace.h"

bool UserLooks(const Desktop& desktop)
{
    return TrayIconShown(desktop.tray) ? MainWindowVisible(desktop.window) : MainWindowActive(desktop.window);
}

void AnnounceNewMail(Application& app, Desktop& desktop)
{
    if (!AddArrivals(desktop.unseen, NewDigests(app), UserLooks(desktop)))
        return;
    const std::size_t count = desktop.unseen.unseen.size();
    ShowNewMailIcon(desktop.tray);
    ShowUnseenCount(desktop.window, count);
    if (!desktop.settings.showNotification)
        return;
    const NoticeText text = MakeNoticeText(count, NewestRowsAmong(app, desktop.unseen.unseen, NoticeSenders));
    const bool mailProgram = MailProgramCommand(desktop.settings.mailProgram).has_value();
    ShowNotification(desktop.notifications, desktop.notice.shown,
                     NewMailRequest(text, desktop.settings.playSound, mailProgram));
}

void LookAtMail(Desktop& desktop)
{
    MarkLooked(desktop.unseen);
    ShowUnseenCount(desktop.window, 0);
    CloseNotification(desktop.notifications, desktop.notice.shown);
}

void MarkMailSeen(Desktop& desktop)
{
    MarkSeen(desktop.unseen);
    if (desktop.tray.showsNewMail)
        ResetTrayIcon(desktop.tray);
    ShowUnseenCount(desktop.window, 0);
    CloseNotification(desktop.notifications, desktop.notice.shown);
}
