#include "ErrorNotice.h"

#include "QtText.h"

void ShowErrorNotice(NotificationService& service, ErrorNotice& notice, const StatusDisplay& display)
{
    switch (display.balloon) {
    case BalloonAction::ShowError: {
        NotificationRequest request;
        request.summary = ToQString(display.balloonTitle);
        request.body = ToQString(display.balloonText);
        request.icon = QStringLiteral("dialog-error");
        request.actions = QStringList{QStringLiteral("default"), QStringLiteral("Open")};
        request.hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("postbell"));
        request.hints.insert(QStringLiteral("category"), QStringLiteral("network.error"));
        request.timeoutMs = BalloonTimeoutMs;
        ShowNotification(service, notice.shown, request);
        break;
    }
    case BalloonAction::TakeDown:
        CloseNotification(service, notice.shown);
        break;
    case BalloonAction::None:
        break;
    }
}
