#include "Desktop.h"

#include "CheckScheduling.h"
#include "PasswordKeyring.h"
#include "SettingsDialog.h"
#include "SettingsModel.h"
#include "StringTable.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMenu>
#include <QMessageBox>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <malloc.h>
#include <mutex>
#include <utility>

namespace {

constexpr int SessionEndSignals[] = {SIGTERM, SIGHUP, SIGINT};

// The descriptor the signal handler writes to; -1 while no handler is installed.
volatile std::sig_atomic_t sessionEndSignalFd = -1;

void OnSessionEndSignal(int)
{
    // Only an async-signal-safe write here; the event loop does the work.
    const int savedErrno = errno;
    AutoResetEvent::SetFd(sessionEndSignalFd);
    errno = savedErrno;
}

void RestoreSessionEndSignals(Desktop& desktop)
{
    if (!desktop.sessionEndSignalsWatched)
        return;
    for (int signalNumber : SessionEndSignals)
        std::signal(signalNumber, SIG_DFL);
    sessionEndSignalFd = -1;
    desktop.sessionEndSignalsWatched = false;
}

// A check that published a changed set of seen digests is saved at once, so that a crash
// or power loss does not turn the whole mailbox into new mail at the next start. An MD5
// over the list tells whether it changed: a large mailbox's set is not kept twice for that.
void SaveSeenDigestsIfChanged(Application& app)
{
    const std::string list = UidListValue(app);
    UidDigest fingerprint = MakeUidDigest(list);
    if (fingerprint == app.desktop->savedDigestsFingerprint)
        return;
    app.desktop->savedDigestsFingerprint = std::move(fingerprint);
    SaveUidList(list);
}

// Clears Application::desktop when Run leaves, also by a throw.
struct DesktopAttachment {
    DesktopAttachment(Application& application, Desktop& desktop) : app(application) { app.desktop = &desktop; }
    ~DesktopAttachment() { app.desktop = nullptr; }
    DesktopAttachment(const DesktopAttachment&) = delete;
    DesktopAttachment& operator=(const DesktopAttachment&) = delete;
    Application& app;
};

void ShowStartupError(int id)
{
    // No owner and no caption of our own: the desktop's default caption.
    QMessageBox box(QMessageBox::Critical, QString(), ToQString(StartupErrorText(id)), QMessageBox::Ok);
    box.exec();
}

// Started at log-on, Postbell may come up before the panel that holds the tray:
// give the tray a little time to appear before start-up fails with error 4.
void AwaitSystemTray()
{
    constexpr qint64 TrayWaitMs = 30000;
    constexpr int TrayPollMs = 250;
    // These platforms never have a tray; waiting would only delay the error.
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal"))
        return;
    QElapsedTimer waited;
    waited.start();
    while (!QSystemTrayIcon::isSystemTrayAvailable() && waited.elapsed() < TrayWaitMs) {
        QEventLoop pause;
        QTimer::singleShot(TrayPollMs, &pause, &QEventLoop::quit);
        pause.exec();
    }
}

} // namespace

Desktop::Desktop() = default;

Desktop::~Desktop()
{
    RestoreSessionEndSignals(*this);
}

void WatchWorkerEvents(Application& app)
{
    Desktop& desktop = *app.desktop;
    desktop.finishedNotifier = std::make_unique<QSocketNotifier>(app.finishedEvent.Fd(), QSocketNotifier::Read);
    QObject::connect(desktop.finishedNotifier.get(), &QSocketNotifier::activated,
                     [&app] { ServeFinishedEvent(app); });
    desktop.statusNotifier = std::make_unique<QSocketNotifier>(app.statusEvent.Fd(), QSocketNotifier::Read);
    QObject::connect(desktop.statusNotifier.get(), &QSocketNotifier::activated, [&app] {
        // FinishedEvent is served first; the status follows on the next turn of the loop.
        ServeFinishedEvent(app);
        QSocketNotifier* notifier = app.desktop->statusNotifier.get();
        notifier->setEnabled(false);
        QMetaObject::invokeMethod(
            notifier,
            [&app, notifier] {
                notifier->setEnabled(true);
                ServeStatusEvent(app);
            },
            Qt::QueuedConnection);
    });
}

bool ServeFinishedEvent(Application& app)
{
    if (!app.finishedEvent.TryConsume())
        return false;
    ShowResults(app);
    bool newMail = false;
    {
        std::lock_guard lock(app.resultsMutex);
        newMail = app.newMail;
        app.newMail = false;
    }
    // While the window is visible the new mail shows only in its list.
    if (newMail && !MainWindowVisible(app))
        ShowNewMailIcon(app);
    SaveSeenDigestsIfChanged(app);
    // glibc keeps what the worker freed in its arena for the life of the program; after a
    // large mailbox's check that is megabytes nobody uses until the next check.
    malloc_trim(0);
    return true;
}

bool ServeStatusEvent(Application& app)
{
    if (!app.statusEvent.TryConsume())
        return false;
    ShowStatus(app);
    UpdateTrustOffer(app);
    return true;
}

void WatchSessionEnd(Application& app)
{
    Desktop& desktop = *app.desktop;
    sessionEndSignalFd = desktop.sessionEndEvent.Fd();
    struct sigaction action {};
    action.sa_handler = OnSessionEndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : SessionEndSignals)
        sigaction(signalNumber, &action, nullptr);
    desktop.sessionEndSignalsWatched = true;

    desktop.sessionEndNotifier =
        std::make_unique<QSocketNotifier>(desktop.sessionEndEvent.Fd(), QSocketNotifier::Read);
    QObject::connect(desktop.sessionEndNotifier.get(), &QSocketNotifier::activated, [&app] {
        if (app.desktop->sessionEndEvent.TryConsume())
            EndSession(app);
    });
#ifndef QT_NO_SESSIONMANAGER
    // The session may end: the request is answered without cancelling it.
    QObject::connect(qApp, &QGuiApplication::commitDataRequest, desktop.mainWindow.get(),
                     [&app](QSessionManager&) { EndSession(app); });
#endif
}

void EndSession(Application& app)
{
    SavePersistedState(app, MainWindowPosition(app));
    QuitProgram();
}

void QuitProgram()
{
    // Every event loop ends, a modal dialog's too, as the quit message would end them.
    QCoreApplication::exit(0);
}

void HandleFirstRun(Application& app)
{
    if (!ReadFirstRun())
        return;
    app.firstRun = true;
    // The result does not matter: FirstRun is reset after OK and Cancel alike.
    RunSettingsDialog(app.settings, nullptr);
    ResetFirstRun();
}

void Run(Application& app)
{
    Desktop desktop;
    const DesktopAttachment attachment(app, desktop);
    QApplication::setQuitOnLastWindowClosed(false);
    LoadIcons(desktop);
    QApplication::setWindowIcon(desktop.appIcon);
    LoadSettings(app);
    LoadKeyringPassword(app.settings.password);
    desktop.savedDigestsFingerprint = MakeUidDigest(UidListValue(app));
    HandleFirstRun(app);
    CreateMainWindow(app);
    CreateTrayIcon(app);
    AwaitSystemTray();
    if (!AddTrayIcon(app, false))
        throw 4;
    app.trayShowsNewMail = false;
    WatchWorkerEvents(app);
    WatchSessionEnd(app);
    StartCheck(app);
    StartCheckTimer(app);
    QApplication::exec();
    Shutdown(app);
}

void Shutdown(Application& app)
{
    Desktop& desktop = *app.desktop;
    SavePersistedState(app, MainWindowPosition(app));
    desktop.checkTimer.stop();
    StopCheck(app);
    RemoveTrayIcon(app);
    desktop.finishedNotifier.reset();
    desktop.statusNotifier.reset();
}

int RunPostbell()
{
    auto app = std::make_unique<Application>();
    app->balloonCapable = QSystemTrayIcon::supportsMessages();
    int failure = 0;
    try {
        Run(*app);
    } catch (int id) {
        failure = id;
    } catch (...) {
        failure = 3;
    }
    // A failure after the first check started must not leave a worker on a dying Application.
    StopCheck(*app);
    app.reset();
    if (failure != 0)
        ShowStartupError(failure);
    return 0;
}
