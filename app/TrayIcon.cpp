#include "TrayIcon.h"

#include "QtText.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMenu>
#include <QSystemTrayIcon>

#include <utility>

// The resources sit in a static library: nothing would pull them in otherwise.
// (Outside the unnamed namespace, where the resource's initialiser lives.)
static void InitResources()
{
    Q_INIT_RESOURCE(postbell);
}

namespace {

QIcon LoadPictures(const char* name, std::initializer_list<int> sizes)
{
    InitResources();
    // One PNG per size, so that no picture has to be scaled to the size the tray asks for.
    QIcon icon;
    for (int size : sizes)
        icon.addFile(QStringLiteral(":/icons/%1-%2.png").arg(QLatin1String(name)).arg(size), QSize(size, size));
    return icon;
}

void ApplyFace(TrayIcon& tray, const TrayFace& face)
{
    tray.icon->setIcon(PictureIcon(tray, face.picture));
    tray.icon->setToolTip(ToQString(face.toolTip));
}

void ApplyBalloon(TrayIcon& tray, const StatusDisplay& display)
{
    switch (display.balloon) {
    case BalloonAction::ShowError:
        tray.icon->showMessage(ToQString(display.balloonTitle), ToQString(display.balloonText),
                               QSystemTrayIcon::Critical, BalloonTimeoutMs);
        break;
    case BalloonAction::TakeDown:
        // An empty message takes a showing balloon down.
        tray.icon->showMessage(QString(), QString(), QSystemTrayIcon::NoIcon, 0);
        break;
    case BalloonAction::None:
        break;
    }
}

QAction* AddMenuEntry(QMenu& menu, const char* text, const char* name, const std::function<void()>& act)
{
    QAction* entry = menu.addAction(QString::fromLatin1(text));
    entry->setObjectName(QLatin1String(name));
    QObject::connect(entry, &QAction::triggered, [act] { act(); });
    return entry;
}

void BuildMenu(TrayIcon& tray, const TrayActions& actions)
{
    namespace Names = TrayMenuNames;
    tray.menu = std::make_unique<QMenu>(QStringLiteral("&Postbell"));
    tray.menu->setObjectName(QLatin1String(Names::Menu));
    QAction* open = AddMenuEntry(*tray.menu, "&Open", Names::Open, actions.open);
    AddMenuEntry(*tray.menu, "Check Mail &Now", Names::CheckNow, actions.checkNow);
    AddMenuEntry(*tray.menu, "&Settings...", Names::Settings, actions.settings);
    tray.menu->addSeparator();
    AddMenuEntry(*tray.menu, "E&xit", Names::Exit, actions.exit);
    tray.menu->setDefaultAction(open);
}

} // namespace

TrayIcon::TrayIcon() = default;
TrayIcon::~TrayIcon() = default;

QIcon LoadAppIcon()
{
    return LoadPictures("postbell", {16, 22, 24, 32, 48, 64, 128});
}

const QIcon& PictureIcon(const TrayIcon& tray, TrayPicture picture)
{
    switch (picture) {
    case TrayPicture::NewMail:
        return tray.newMailIcon;
    case TrayPicture::Error:
        return tray.errorIcon;
    case TrayPicture::Normal:
        break;
    }
    return tray.normalIcon;
}

void CreateTrayIcon(TrayIcon& tray, const TrayActions& actions)
{
    tray.normalIcon = LoadPictures("tray-normal", {16, 22, 24, 32, 48});
    tray.newMailIcon = LoadPictures("tray-newmail", {16, 22, 24, 32, 48});
    tray.errorIcon = LoadPictures("tray-error", {16, 22, 24, 32, 48});
    BuildMenu(tray, actions);

    tray.icon = std::make_unique<QSystemTrayIcon>();
    tray.icon->setContextMenu(tray.menu.get());
    QObject::connect(tray.icon.get(), &QSystemTrayIcon::activated,
                     [&tray, open = actions.open](QSystemTrayIcon::ActivationReason reason) {
                         tray.balloonClickPending = false;
                         if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                             open();
                     });
    // Qt also reports any press on the icon while a balloon shows as a balloon click, just
    // before the press itself: a right click then must still give the menu, so the click
    // is served on the next turn unless the press turned out to be the icon's own.
    QObject::connect(tray.icon.get(), &QSystemTrayIcon::messageClicked, [&tray, open = actions.open] {
        tray.balloonClickPending = true;
        QMetaObject::invokeMethod(
            tray.icon.get(),
            [&tray, open] {
                if (std::exchange(tray.balloonClickPending, false))
                    open();
            },
            Qt::QueuedConnection);
    });
}

bool AddTrayIcon(TrayIcon& tray, bool newMail)
{
    ApplyFace(tray, IdleFace(newMail));
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return false;
    tray.icon->show();
    return true;
}

void ShowNewMailIcon(TrayIcon& tray)
{
    ApplyFace(tray, IdleFace(true));
    tray.showsNewMail = true;
}

void ResetTrayIcon(TrayIcon& tray)
{
    ApplyFace(tray, IdleFace(false));
    tray.showsNewMail = false;
}

void RemoveTrayIcon(TrayIcon& tray)
{
    if (tray.icon)
        tray.icon->hide();
}

void ShowTrayStatus(TrayIcon& tray, const StatusDisplay& display)
{
    ApplyBalloon(tray, display);
    if (display.face)
        ApplyFace(tray, *display.face);
}

void ShowTrayToolTip(TrayIcon& tray, std::string_view text)
{
    tray.icon->setToolTip(ToQString(text));
}

void WatchTrayRestart(TrayIcon& tray)
{
    // The platform's native interface is a QObject (its header is private to Qt).
    auto* native = reinterpret_cast<QObject*>(QGuiApplication::platformNativeInterface());
    // Qt re-adds the icon itself on this signal, with whatever picture it had.
    const char* const signal = "systemTrayWindowChanged(QScreen*)";
    if (!native || native->metaObject()->indexOfSignal(signal) < 0)
        return;
    tray.trayRestarted.receive = [&tray](const QDBusMessage&) { ApplyFace(tray, IdleFace(tray.showsNewMail)); };
    QObject::connect(native, QByteArray("2").append(signal).constData(), &tray.trayRestarted, SLOT(Fire()),
                     Qt::QueuedConnection);
}
