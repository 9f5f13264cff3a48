#pragma once

#include "SlotRelay.h"
#include "TrayState.h"

#include <QIcon>

#include <functional>
#include <memory>
#include <string_view>

class QMenu;
class QSystemTrayIcon;

// What the tray icon's clicks and menu entries do; the run loop supplies them.
struct TrayActions {
    std::function<void()> open;
    std::function<void()> checkNow;
    std::function<void()> settings;
    std::function<void()> exit;
};

// The tray icon, its three pictures and its menu.
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
    bool showsNewMail = false;
    bool balloonCapable = false;
    bool balloonClickPending = false;     // a balloon click not yet known to be a right click
    SlotRelay trayRestarted;
};

// Object names of the tray menu and its entries.
namespace TrayMenuNames {
constexpr const char* Menu = "trayMenu";
constexpr const char* Open = "openAction";
constexpr const char* CheckNow = "checkNowAction";
constexpr const char* Settings = "settingsAction";
constexpr const char* Exit = "exitAction";
} // namespace TrayMenuNames

// The program's own icon (window captions, the About box, notifications).
QIcon LoadAppIcon();
const QIcon& PictureIcon(const TrayIcon& tray, TrayPicture picture);

void CreateTrayIcon(TrayIcon& tray, const TrayActions& actions);
// Shows the icon in the given state; false when there is no system tray to show it in.
bool AddTrayIcon(TrayIcon& tray, bool newMail);
void ShowNewMailIcon(TrayIcon& tray);
void ResetTrayIcon(TrayIcon& tray);
void RemoveTrayIcon(TrayIcon& tray);
// When the tray host restarts, the icon comes back with the normal or new-mail picture
// and its tooltip, never an error. (Qt tells of a new X11 tray; elsewhere nothing happens.)
void WatchTrayRestart(TrayIcon& tray);
// A tooltip that no status decides, the picture left as it is.
void ShowTrayToolTip(TrayIcon& tray, std::string_view text);
// The balloon and picture a posted status calls for.
void ShowTrayStatus(TrayIcon& tray, const StatusDisplay& display);
