#pragma once

#include "DesktopNotifications.h"
#include "TrayState.h"

// Where the tray draws no balloon of its own (a StatusNotifierItem host, or no tray at all),
// the error balloon is a notification of ours that goes away after 10 seconds; the status
// that would take a balloon down closes it by its id, and sends nothing else.
struct ErrorNotice {
    ShownNotification shown; // its default action opens the window, as a balloon's click does
};

void ShowErrorNotice(NotificationService& service, ErrorNotice& notice, const StatusDisplay& display);
