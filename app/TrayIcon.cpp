#include "TrayIcon.h"

#include "QtText.h"

#include <QCoreApplication>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

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

void SetIconFace(TrayIcon& tray, const TrayFace& face)
{
    tray.icon->setIcon(PictureIcon(tray, face.picture));
    tray.icon->setToolTip(ToQString(face.toolTip));
}

void ApplyFace(TrayIcon& tray, const TrayFace& face)
{
    if (TrayIconShown(tray))
        SetIconFace(tray, face);
    else if (tray.faceWithoutTray)
        tray.faceWithoutTray(face);
}

void ApplyBalloon(TrayIcon& tray, const StatusDisplay& display)
{
    if (!TrayDrawsBalloons(tray))
        return;
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
    QAction* mailProgram = AddMenuEntry(*tray.menu, "Open &mail program", Names::MailProgram, actions.openMailProgram);
    AddMenuEntry(*tray.menu, "Mark as s&een", Names::MarkSeen, actions.markSeen);
    tray.menu->addSeparator();
    AddMenuEntry(*tray.menu, "Check Mail &Now", Names::CheckNow, actions.checkNow);
    AddMenuEntry(*tray.menu, "&Settings...", Names::Settings, actions.settings);
    tray.menu->addSeparator();
    AddMenuEntry(*tray.menu, "E&xit", Names::Exit, actions.exit);
    tray.menu->setDefaultAction(open);
    QObject::connect(tray.menu.get(), &QMenu::aboutToShow, mailProgram,
                     [mailProgram, found = actions.mailProgramFound] { mailProgram->setEnabled(found()); });
}

void MakeIcon(TrayIcon& tray)
{
    tray.icon = std::make_unique<QSystemTrayIcon>();
    tray.icon->setContextMenu(tray.menu.get());
    QObject::connect(tray.icon.get(), &QSystemTrayIcon::activated,
                     [&tray, open = tray.actions.open](QSystemTrayIcon::ActivationReason reason) {
                         tray.balloonClickPending = false;
                         if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                             open();
                     });
    // Through a StatusNotifierItem host Qt reports an action on any notification of the
    // desktop's as a balloon click; there our error balloon is a notification that reports its own.
    if (tray.kind != TrayKind::XEmbed)
        return;
    // Qt also reports any press on the icon while a balloon shows as a balloon click, just
    // before the press itself: a right click then must still give the menu, so the click
    // is served on the next turn unless the press turned out to be the icon's own.
    QObject::connect(tray.icon.get(), &QSystemTrayIcon::messageClicked, [&tray, open = tray.actions.open] {
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
    tray.actions = actions;
    BuildMenu(tray, actions);
}

void AddTrayIcon(TrayIcon& tray, bool newMail, TrayKind kind)
{
    if (!tray.icon) {
        tray.kind = kind;
        MakeIcon(tray);
        // Asked only now: Qt's answer fixes its kind of tray for good.
        tray.balloonCapable = kind != TrayKind::XEmbed || QSystemTrayIcon::supportsMessages();
    }
    SetIconFace(tray, IdleFace(newMail));
    tray.icon->show();
}

bool TrayIconShown(const TrayIcon& tray)
{
    return tray.icon && tray.icon->isVisible();
}

bool TrayDrawsBalloons(const TrayIcon& tray)
{
    return TrayIconShown(tray) && tray.kind == TrayKind::XEmbed && tray.balloonCapable;
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
    if (TrayIconShown(tray))
        tray.icon->setToolTip(ToQString(text));
}

void WatchTrayRestart(TrayIcon& tray, const QDBusConnection& sessionBus)
{
    // Qt registers the icon again with a new watcher; the picture is ours to set.
    tray.watcherRestarted = std::make_unique<QDBusServiceWatcher>(
        QStringLiteral("org.kde.StatusNotifierWatcher"), sessionBus, QDBusServiceWatcher::WatchForRegistration);
    QObject::connect(tray.watcherRestarted.get(), &QDBusServiceWatcher::serviceRegistered, [&tray] {
        ApplyFace(tray, IdleFace(tray.showsNewMail));
        // A watcher may take its name before it can answer Qt's registration, which Qt then gives
        // up: once it has settled, the icon is added again.
        constexpr int WatcherSettleMs = 1000;
        if (TrayIconShown(tray) && tray.kind == TrayKind::StatusNotifier)
            QTimer::singleShot(WatcherSettleMs, tray.icon.get(), [&tray] { tray.icon->hide(), tray.icon->show(); });
    });
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
