#include "Desktop.h"

#include "StringTable.h"

#include <QCoreApplication>
#include <QMenu>
#include <QStatusBar>
#include <QSystemTrayIcon>

#include <utility>

namespace {

void ApplyFace(Desktop& desktop, const TrayFace& face)
{
    desktop.trayIcon->setIcon(PictureIcon(desktop, face.picture));
    desktop.trayIcon->setToolTip(ToQString(face.toolTip));
}

void ApplyBalloon(Desktop& desktop, const StatusDisplay& display)
{
    switch (display.balloon) {
    case BalloonAction::ShowError:
        desktop.trayIcon->showMessage(ToQString(display.balloonTitle), ToQString(display.balloonText),
                                      QSystemTrayIcon::Critical, BalloonTimeoutMs);
        break;
    case BalloonAction::TakeDown:
        // An empty message takes a showing balloon down.
        desktop.trayIcon->showMessage(QString(), QString(), QSystemTrayIcon::NoIcon, 0);
        break;
    case BalloonAction::None:
        break;
    }
}

} // namespace

void LoadIcons(Desktop& desktop)
{
    // The resources sit in a static library: nothing would pull them in otherwise.
    Q_INIT_RESOURCE(postbell);
    // One PNG per size, so that no picture has to be scaled to the size the tray asks for.
    const auto load = [](const char* name, std::initializer_list<int> sizes) {
        QIcon icon;
        for (int size : sizes)
            icon.addFile(QStringLiteral(":/icons/%1-%2.png").arg(QLatin1String(name)).arg(size), QSize(size, size));
        return icon;
    };
    desktop.appIcon = load("postbell", {16, 22, 24, 32, 48, 64, 128});
    desktop.normalIcon = load("tray-normal", {16, 22, 24, 32, 48});
    desktop.newMailIcon = load("tray-newmail", {16, 22, 24, 32, 48});
    desktop.errorIcon = load("tray-error", {16, 22, 24, 32, 48});
}

const QIcon& PictureIcon(const Desktop& desktop, TrayPicture picture)
{
    switch (picture) {
    case TrayPicture::NewMail:
        return desktop.newMailIcon;
    case TrayPicture::Error:
        return desktop.errorIcon;
    case TrayPicture::Normal:
        break;
    }
    return desktop.normalIcon;
}

void CreateTrayIcon(Application& app)
{
    Desktop& desktop = *app.desktop;
    desktop.trayMenu = std::make_unique<QMenu>(QStringLiteral("&Postbell"));
    desktop.trayMenu->setObjectName(MainWindowNames::TrayMenu);
    QAction* open = desktop.trayMenu->addAction(QStringLiteral("&Open"));
    open->setObjectName(MainWindowNames::MenuOpen);
    QAction* exit = desktop.trayMenu->addAction(QStringLiteral("E&xit"));
    exit->setObjectName(MainWindowNames::MenuExit);
    desktop.trayMenu->setDefaultAction(open);
    QObject::connect(open, &QAction::triggered, [&app] { ShowMainWindow(app); });
    QObject::connect(exit, &QAction::triggered, [] { QuitProgram(); });

    desktop.trayIcon = std::make_unique<QSystemTrayIcon>();
    desktop.trayIcon->setContextMenu(desktop.trayMenu.get());
    QObject::connect(desktop.trayIcon.get(), &QSystemTrayIcon::activated,
                     [&app](QSystemTrayIcon::ActivationReason reason) {
                         app.desktop->balloonClickPending = false;
                         if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                             ShowMainWindow(app);
                     });
    // Qt also reports any press on the icon while a balloon shows as a balloon click, just
    // before the press itself: a right click then must still give the menu, so the click
    // is served on the next turn unless the press turned out to be the icon's own.
    QObject::connect(desktop.trayIcon.get(), &QSystemTrayIcon::messageClicked, [&app] {
        app.desktop->balloonClickPending = true;
        QMetaObject::invokeMethod(
            app.desktop->trayIcon.get(),
            [&app] {
                if (!std::exchange(app.desktop->balloonClickPending, false))
                    return;
                ShowMainWindow(app);
            },
            Qt::QueuedConnection);
    });
}

bool AddTrayIcon(Application& app, bool newMail)
{
    Desktop& desktop = *app.desktop;
    ApplyFace(desktop, IdleFace(newMail));
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return false;
    desktop.trayIcon->show();
    return true;
}

void ShowNewMailIcon(Application& app)
{
    ApplyFace(*app.desktop, IdleFace(true));
    app.trayShowsNewMail = true;
}

void ResetTrayIcon(Application& app)
{
    ApplyFace(*app.desktop, IdleFace(false));
    app.trayShowsNewMail = false;
}

void RemoveTrayIcon(Application& app)
{
    if (app.desktop->trayIcon)
        app.desktop->trayIcon->hide();
}

void ShowStatus(Application& app)
{
    Desktop& desktop = *app.desktop;
    const StatusCode code = app.status.load();
    const StatusDisplay display = DecideStatusDisplay(code, LoadString(code), MainWindowVisible(app),
                                                      app.trayShowsNewMail, app.balloonCapable);
    if (display.statusBarText)
        desktop.statusBar->showMessage(ToQString(*display.statusBarText));
    ApplyBalloon(desktop, display);
    if (display.face)
        ApplyFace(desktop, *display.face);
}
