#pragma once

#include "SlotRelay.h"
#include "TrayPresence.h"
#include "TrayState.h"

#include <QIcon>

#include <functional>
#include <memory>
#include <string_view>

class QAction;
class QDBusServiceWatcher;
class QMenu;
class QSystemTrayIcon;

// What the tray icon's clicks and menu entries do; the run loop supplies them.
struct TrayActions {
    std::function<void()> open;
    std::function<void()> openMailProgram;
    std::function<bool()> mailProgramFound;
    std::function<void()> markSeen;
    std::function<void()> checkNow;
    std::function<void()> settings;
    std::function<void()> exit;
};

// The tray icon, its three pictures and its menu. The icon itself is made only once a tray is
// there, so that Qt draws it in the kind of tray found.
struct TrayIcon {
    TrayIcon();
    ~TrayIcon();
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    QIcon normalIcon;
    QIcon newMailIcon;
    QIcon errorIcon;
    std::unique_ptr<QMenu> menu;          // outlives icon, which only borrows it
    std::unique_ptr<QSystemTrayIcon> icon;
    TrayActions actions;
    TrayKind kind = TrayKind::None;
    bool showsNewMail = false;
    bool balloonCapable = true;           // false only in an XEmbed tray that shows no balloons
    bool balloonClickPending = false;     // a balloon click not yet known to be a right click
    // Where the face goes while there is no tray: the main window.
    std::function<void(const TrayFace&)> faceWithoutTray;
    SlotRelay trayRestarted;
    std::unique_ptr<QDBusServiceWatcher> watcherRestarted;
};

// Object names of the tray menu and its entries.
namespace TrayMenuNames {
constexpr const char* Menu = "trayMenu";
constexpr const char* Open = "openAction";
constexpr const char* MailProgram = "mailProgramAction";
constexpr const char* MarkSeen = "markSeenAction";
constexpr const char* CheckNow = "checkNowAction";
constexpr const char* Settings = "settingsAction";
constexpr const char* Exit = "exitAction";
} // namespace TrayMenuNames

// The program's own icon (window captions, the About box, notifications).
QIcon LoadAppIcon();
const QIcon& PictureIcon(const TrayIcon& tray, TrayPicture picture);

// The pictures and the menu; no icon yet.
void CreateTrayIcon(TrayIcon& tray, const TrayActions& actions);
// Shows the icon in the given state, in a tray of the kind found.
void AddTrayIcon(TrayIcon& tray, bool newMail, TrayKind kind);
bool TrayIconShown(const TrayIcon& tray);
// Qt's own balloon: in an XEmbed tray. Elsewhere the error balloon is a notification of ours.
bool TrayDrawsBalloons(const TrayIcon& tray);
void ShowNewMailIcon(TrayIcon& tray);
void ResetTrayIcon(TrayIcon& tray);
void RemoveTrayIcon(TrayIcon& tray);
// When the tray host restarts, the icon comes back with the normal or new-mail picture
// and its tooltip, never an error: Qt tells of a new X11 tray, the session bus of a new
// StatusNotifierItem watcher.
void WatchTrayRestart(TrayIcon& tray, const QDBusConnection& sessionBus);
// A tooltip that no status decides, the picture left as it is.
void ShowTrayToolTip(TrayIcon& tray, std::string_view text);
// The balloon and picture a posted status calls for.
void ShowTrayStatus(TrayIcon& tray, const StatusDisplay& display);
