#pragma once

#include "Application.h"
#include "TrayState.h"

#include <QIcon>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>
#include <string_view>

class QDialog;
class QLabel;
class QMenu;
class QPushButton;
class QSocketNotifier;
class QStatusBar;
class QSystemTrayIcon;
class QTreeWidget;
struct WindowPosition;

// The desktop program's windows, icons, tray icon, timer and event watchers.
// Application::desktop points at it while they exist.
struct Desktop {
    Desktop();
    ~Desktop();
    Desktop(const Desktop&) = delete;
    Desktop& operator=(const Desktop&) = delete;

    QIcon appIcon;
    QIcon normalIcon;
    QIcon newMailIcon;
    QIcon errorIcon;

    std::unique_ptr<QDialog> mainWindow;
    QLabel* countLabel = nullptr;       // children of mainWindow
    QTreeWidget* messageList = nullptr;
    QStatusBar* statusBar = nullptr;
    QPushButton* trustButton = nullptr; // in the status bar while a certificate may be trusted
    bool messageListStale = false;      // results arrived while hidden; rows are built on show

    std::unique_ptr<QMenu> trayMenu;    // outlives trayIcon, which only borrows it
    std::unique_ptr<QSystemTrayIcon> trayIcon;
    bool balloonClickPending = false;   // a balloon click not yet known to be a right click

    QTimer checkTimer;
    std::unique_ptr<QSocketNotifier> finishedNotifier;
    std::unique_ptr<QSocketNotifier> statusNotifier;
    AutoResetEvent sessionEndEvent;     // set by the handler of SIGTERM, SIGHUP and SIGINT
    bool sessionEndSignalsWatched = false;
    std::unique_ptr<QSocketNotifier> sessionEndNotifier;

    UidDigest savedDigestsFingerprint;  // of the seen digests last written to UIDList
};

// Object names of the main window's controls, after the template's ids.
namespace MainWindowNames {
constexpr const char* Dialog = "MainDialog";
constexpr const char* TotalLabel = "labelTotal";
constexpr const char* Count = "label1005";
constexpr const char* List = "list1004";
constexpr const char* About = "button1011";
constexpr const char* Settings = "button1002";
constexpr const char* CheckNow = "button1003";
constexpr const char* Exit = "button1000";
constexpr const char* Close = "button2";
constexpr const char* StatusBar = "statusBar0";
constexpr const char* TrustCertificate = "trustCertificate";
constexpr const char* TrayMenu = "menu113";
constexpr const char* MenuOpen = "command40007";
constexpr const char* MenuExit = "command40005";
} // namespace MainWindowNames

// The program's 8-bit texts, taken as UTF-8, for Qt.
inline QString ToQString(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Icons: the application icon and the three tray pictures from the resource file.
void LoadIcons(Desktop& desktop);
const QIcon& PictureIcon(const Desktop& desktop, TrayPicture picture);

// Tray icon.
void CreateTrayIcon(Application& app);
// Shows the icon in the given state; false when there is no system tray to show it in.
bool AddTrayIcon(Application& app, bool newMail);
void ShowNewMailIcon(Application& app);
void ShowStatus(Application& app);
void ResetTrayIcon(Application& app);
void RemoveTrayIcon(Application& app);

// Main window.
void CreateMainWindow(Application& app);
bool MainWindowVisible(const Application& app);
std::optional<WindowPosition> MainWindowPosition(const Application& app);
void ShowMainWindow(Application& app);
void ShowResults(Application& app);
void ShowAboutBox(Application& app);
void OpenSettings(Application& app);
// Shows the offer to trust the certificate of the last check while there is one to trust.
void UpdateTrustOffer(Application& app);
// Shows the certificate's details and, when the user agrees, trusts it and checks again.
void OfferToTrustCertificate(Application& app);

// Checks: the timer, and a manual or settings-driven restart of the check and the timer.
void StartCheckTimer(Application& app);
void RestartCheck(Application& app);

// The worker's events, served FinishedEvent first.
void WatchWorkerEvents(Application& app);
// Consumes and serves FinishedEvent; false when it was not signalled.
bool ServeFinishedEvent(Application& app);
// Consumes and serves StatusEvent; false when it was not signalled.
bool ServeStatusEvent(Application& app);

// The end of the desktop session and SIGTERM, SIGHUP, SIGINT: save the state, then quit.
void WatchSessionEnd(Application& app);
void EndSession(Application& app);
void QuitProgram();

// Start-up, the event loop and the orderly shut-down. Run throws a string id on a start-up failure.
void Run(Application& app);
void HandleFirstRun(Application& app);
void Shutdown(Application& app);

// The whole program inside an existing QApplication: the Application, Run, and the
// message box of a start-up failure. Always 0.
int RunPostbell();
