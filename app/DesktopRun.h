#pragma once

#include "Application.h"
#include "CheckTimer.h"
#include "DesktopNotifications.h"
#include "ErrorNotice.h"
#include "MainWindow.h"
#include "NewMailNotice.h"
#include "SettingsModel.h"
#include "SingleInstance.h"
#include "TrayIcon.h"
#include "TrayPresence.h"
#include "UnseenMail.h"
#include "WakeWatch.h"

#include <QIcon>
#include <QTimer>

#include <memory>

class QSocketNotifier;

// The desktop program's parts for the life of its event loop: the main window, the tray
// icon, the check timer, the notifications and the watchers of the worker's events, of the
// tray's arrival and of the session's end.
struct Desktop {
    Desktop();
    ~Desktop();
    Desktop(const Desktop&) = delete;
    Desktop& operator=(const Desktop&) = delete;

    Settings settings; // as loaded from the store or confirmed in the dialog
    QIcon appIcon;
    bool firstRun = false;
    MainWindow window;
    TrayIcon tray;
    CheckTimer checkTimer;
    UnseenMail unseen;
    NewMailNotice notice;
    ErrorNotice errorNotice;
    NotificationService notifications; // holds on to notice and errorNotice
    TrayWatch trayWatch;
    WakeWatch wake;
    std::unique_ptr<QSocketNotifier> finishedNotifier;
    std::unique_ptr<QSocketNotifier> statusNotifier;
    AutoResetEvent sessionEndEvent; // set by the handler of SIGTERM, SIGHUP and SIGINT
    bool sessionEndSignalsWatched = false;
    std::unique_ptr<QSocketNotifier> sessionEndNotifier;
    UidDigest savedDigestsFingerprint; // of the seen digests last written to UIDList
    // Until the store has been read, nothing is saved over it and no check runs.
    bool storeRead = false;
    QTimer storeRetryTimer;
    int storeRetries = 0;
};

// The main window and the tray icon, wired to each other and to the checks.
void CreateWindows(Application& app, Desktop& desktop);
// Opens the main window from the tray or a balloon; the icon goes back to the plain envelope.
void OpenMainWindow(Application& app, Desktop& desktop);
void OpenSettings(Application& app, Desktop& desktop);
// The status now posted: status bar, balloon and tray picture.
void ShowStatus(Application& app, Desktop& desktop);
// Why a check that was due did not start, in the status bar and the tooltip.
void ShowNotChecking(Desktop& desktop, const char* text);
// The tray icon, once a tray is there; the window as the face until then.
void ShowInTray(Desktop& desktop, TrayKind kind);
void ShowWithoutTray(Application& app, Desktop& desktop);
// Resume, the network's return, a dial-up link coming up, clicks on notifications and a
// restarted tray host.
void WatchDesktopEvents(Application& app, Desktop& desktop, const QDBusConnection& systemBus,
                        const QDBusConnection& sessionBus);

// The worker's events, served FinishedEvent first.
void WatchWorkerEvents(Application& app, Desktop& desktop);
// Consumes and serves FinishedEvent; false when it was not signalled.
bool ServeFinishedEvent(Application& app, Desktop& desktop);
// Consumes and serves StatusEvent; false when it was not signalled.
bool ServeStatusEvent(Application& app, Desktop& desktop);

// The store: read at start-up, retried while it cannot be read; saves only over a read store.
bool LoadStore(Application& app, Desktop& desktop);
void WaitForStore(Application& app, Desktop& desktop);
// True when the store has been read, trying once more if it had not.
bool EnsureStoreRead(Application& app, Desktop& desktop);
void SaveStoreAtExit(Application& app, Desktop& desktop);
// Check Mail Now: a check, or before the store could be read another try at reading it.
void CheckNow(Application& app, Desktop& desktop);

// The offer to trust the certificate of the last check, shown while there is one to trust.
void UpdateTrustOffer(Application& app, Desktop& desktop);
// Shows the certificate's details and, when the user agrees, trusts it and checks again.
void OfferToTrustCertificate(Application& app, Desktop& desktop);

// The end of the desktop session and SIGTERM, SIGHUP, SIGINT: save the state, then quit.
void WatchSessionEnd(Application& app, Desktop& desktop);
void EndSession(Application& app, Desktop& desktop);
void QuitProgram();

// Start-up, the event loop and the orderly shut-down. Run throws a string id on a start-up failure.
void Run(Application& app, SingleInstance* instance);
void HandleFirstRun(Desktop& desktop);
void Shutdown(Application& app, Desktop& desktop);

// The whole program inside an existing QApplication: the Application, Run, and the
// message box of a start-up failure. Always 0.
int RunPostbell(SingleInstance* instance = nullptr);
