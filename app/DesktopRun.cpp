#include "DesktopRun.h"

#include "CheckScheduling.h"
#include "MailProgram.h"
#include "NewMailAlerts.h"
#include "PasswordKeyring.h"
#include "QtText.h"
#include "SettingsDialog.h"
#include "SettingsModel.h"
#include "StringTable.h"
#include "WindowFace.h"

#include <QApplication>
#include <QDialog>
#include <QMenu>
#include <QMessageBox>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QStatusBar>
#include <QTimer>

#include <cerrno>
#include <chrono>
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
void SaveSeenDigestsIfChanged(Application& app, Desktop& desktop)
{
    if (!desktop.storeRead)
        return;
    const std::string list = SeenListValue(app);
    UidDigest fingerprint = MakeUidDigest(list);
    if (fingerprint == desktop.savedDigestsFingerprint)
        return;
    // Marked only when it landed: a failed save is tried again after the next check and at exit.
    if (SaveUidList(list))
        desktop.savedDigestsFingerprint = std::move(fingerprint);
}

// While the store cannot be read, it is tried every 2 s for a minute, then at the check interval.
constexpr int StoreRetryMs = 2000;
constexpr int QuickStoreRetries = 30;
constexpr const char* StoreUnreadableText = "Cannot read the settings store; trying again.";

void RetryStore(Application& app, Desktop& desktop)
{
    if (!LoadStore(app, desktop))
        return WaitForStore(app, desktop);
    ShowStatusBarText(desktop.window, "");
    HandleFirstRun(desktop);
    StartTimedCheck(app, desktop.checkTimer, desktop.settings);
    StartCheckTimer(desktop.checkTimer, desktop.settings);
}

void SaveDesktopState(Application& app, Desktop& desktop)
{
    SavePersistedState(SeenListValue(app), MainWindowPosition(desktop.window));
    if (const std::optional<WindowLayout> layout = MainWindowLayout(desktop.window))
        WriteWindowLayout(*layout);
}

QWidget* OpenSettingsDialog()
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->isVisible() && widget->objectName() == QLatin1String(SettingsDialogNames::Dialog))
            return widget;
    return nullptr;
}

std::optional<CertificateDetails> OfferedCertificate(Application& app)
{
    if (!OffersCertificateReview(app.status.load()))
        return std::nullopt;
    std::lock_guard lock(app.resultsMutex);
    return app.offeredCertificate;
}

void ShowStartupError(int id)
{
    // No owner and no caption of our own: the desktop's default caption.
    QMessageBox box(QMessageBox::Critical, QString(), ToQString(StartupErrorText(id)), QMessageBox::Ok);
    box.exec();
}

} // namespace

Desktop::Desktop() = default;

Desktop::~Desktop()
{
    RestoreSessionEndSignals(*this);
}

void CreateWindows(Application& app, Desktop& desktop)
{
    MainWindowActions windowActions;
    windowActions.about = [&desktop] { ShowAboutBox(desktop.window.dialog.get()); };
    windowActions.settings = [&app, &desktop] { OpenSettings(app, desktop); };
    windowActions.checkNow = [&app, &desktop] { CheckNow(app, desktop); };
    windowActions.exit = [] { QuitProgram(); };
    windowActions.trustCertificate = [&app, &desktop] { OfferToTrustCertificate(app, desktop); };
    windowActions.hidden = [&desktop] { ForgetBold(desktop.unseen); };
    // Without a tray the window stays open as the face: bringing it to the front is looking.
    windowActions.activated = [&desktop] {
        if (TrayIconShown(desktop.tray) || (!desktop.tray.showsNewMail && desktop.unseen.unseen.empty()))
            return;
        ResetTrayIcon(desktop.tray);
        LookAtMail(desktop);
    };
    CreateMainWindow(desktop.window, desktop.appIcon, desktop.firstRun, windowActions);

    TrayActions trayActions;
    trayActions.open = [&app, &desktop] { OpenMainWindow(app, desktop); };
    trayActions.openMailProgram = [&desktop] { StartMailProgram(desktop.settings.mailProgram); };
    trayActions.mailProgramFound = [&desktop] { return MailProgramCommand(desktop.settings.mailProgram).has_value(); };
    trayActions.markSeen = [&desktop] { MarkMailSeen(desktop); };
    trayActions.checkNow = windowActions.checkNow;
    trayActions.settings = windowActions.settings;
    trayActions.exit = windowActions.exit;
    CreateTrayIcon(desktop.tray, trayActions);
    desktop.tray.faceWithoutTray = [&desktop](const TrayFace& face) {
        ShowWindowFace(desktop.window, face, PictureIcon(desktop.tray, face.picture), desktop.appIcon);
    };
    desktop.checkTimer.showNotChecking = [&desktop](const char* why) { ShowNotChecking(desktop, why); };
    ConnectCheckTimer(app, desktop.checkTimer, desktop.settings);
}

void OpenMainWindow(Application& app, Desktop& desktop)
{
    ResetTrayIcon(desktop.tray);
    LookAtMail(desktop);
    ShowMainWindow(desktop.window, app, desktop.unseen);
}

void OpenSettings(Application& app, Desktop& desktop)
{
    // The tray menu stays usable while the dialog is open: a second Settings... raises it.
    if (QWidget* open = OpenSettingsDialog()) {
        open->raise();
        open->activateWindow();
        return;
    }
    // The dialog's OK writes every field: defaults shown for an unread store would replace it.
    if (!EnsureStoreRead(app, desktop))
        return;
    if (RunSettingsDialog(desktop.settings, desktop.window.dialog.get()))
        RestartCheck(app, desktop.checkTimer, desktop.settings);
}

void ShowNotChecking(Desktop& desktop, const char* text)
{
    ShowStatusBarText(desktop.window, text);
    ShowTrayToolTip(desktop.tray, text);
}

void ShowInTray(Desktop& desktop, TrayKind kind)
{
    AddTrayIcon(desktop.tray, desktop.tray.showsNewMail, kind);
    // The window, if open, is no longer the face: it may be closed into the tray as usual.
    ShowWindowFace(desktop.window, IdleFace(false), desktop.tray.normalIcon, desktop.appIcon);
}

void ShowWithoutTray(Application& app, Desktop& desktop)
{
    // Its title already shows what the icon would. Not brought into focus: whether the user
    // looks, the window's activation tells.
    ShowMainWindow(desktop.window, app, desktop.unseen, false);
}

void WatchDesktopEvents(Application& app, Desktop& desktop, const QDBusConnection& systemBus,
                        const QDBusConnection& sessionBus)
{
    const auto wakeCheck = [&app, &desktop] {
        if (desktop.storeRead)
            StartWakeCheck(app, desktop.checkTimer, desktop.settings);
    };
    WatchResume(desktop.wake, systemBus, wakeCheck);
    WatchNetworkReturn(desktop.wake, wakeCheck);
    WatchDialupLink(desktop.wake, [&desktop, wakeCheck] {
        if (desktop.settings.waitForDialup)
            wakeCheck();
    });
    const auto open = [&app, &desktop](const QString& action) {
        if (action == QLatin1String("mail-program"))
            StartMailProgram(desktop.settings.mailProgram);
        else
            OpenMainWindow(app, desktop);
    };
    desktop.notice.shown.act = open;
    desktop.errorNotice.shown.act = open;
    ConnectNotifications(desktop.notifications, sessionBus, {&desktop.notice.shown, &desktop.errorNotice.shown});
    WatchTrayRestart(desktop.tray, sessionBus);
}

void ShowStatus(Application& app, Desktop& desktop)
{
    const StatusCode code = app.status.load();
    const StatusDisplay display = DecideStatusDisplay(code, LoadString(code), UserLooks(desktop),
                                                      desktop.tray.showsNewMail, desktop.tray.balloonCapable);
    if (display.statusBarText)
        ShowStatusBarText(desktop.window, *display.statusBarText);
    if (!TrayDrawsBalloons(desktop.tray))
        ShowErrorNotice(desktop.notifications, desktop.errorNotice, display);
    ShowTrayStatus(desktop.tray, display);
}

void WatchWorkerEvents(Application& app, Desktop& desktop)
{
    desktop.finishedNotifier = std::make_unique<QSocketNotifier>(app.finishedEvent.Fd(), QSocketNotifier::Read);
    QObject::connect(desktop.finishedNotifier.get(), &QSocketNotifier::activated,
                     [&app, &desktop] { ServeFinishedEvent(app, desktop); });
    desktop.statusNotifier = std::make_unique<QSocketNotifier>(app.statusEvent.Fd(), QSocketNotifier::Read);
    QObject::connect(desktop.statusNotifier.get(), &QSocketNotifier::activated, [&app, &desktop] {
        // FinishedEvent is served first; the status follows on the next turn of the loop.
        ServeFinishedEvent(app, desktop);
        QSocketNotifier* notifier = desktop.statusNotifier.get();
        notifier->setEnabled(false);
        QMetaObject::invokeMethod(
            notifier,
            [&app, &desktop, notifier] {
                notifier->setEnabled(true);
                ServeStatusEvent(app, desktop);
            },
            Qt::QueuedConnection);
    });
}

bool ServeFinishedEvent(Application& app, Desktop& desktop)
{
    if (!app.finishedEvent.TryConsume())
        return false;
    bool newMail = false;
    {
        std::lock_guard lock(app.resultsMutex);
        newMail = app.newMail;
        app.newMail = false;
    }
    // While the user looks at the window the new mail shows only in its list.
    if (newMail)
        AnnounceNewMail(app, desktop);
    ShowResults(desktop.window, app, desktop.unseen);
    // A failed check (a network that is down, say) must not hold back the check on its return.
    if (app.status.load() == Status::Checked)
        NoteCheckFinished(desktop.checkTimer);
    SaveSeenDigestsIfChanged(app, desktop);
    // glibc keeps what the worker freed in its arena for the life of the program; after a
    // large mailbox's check that is megabytes nobody uses until the next check.
    malloc_trim(0);
    return true;
}

bool ServeStatusEvent(Application& app, Desktop& desktop)
{
    if (!app.statusEvent.TryConsume())
        return false;
    ShowStatus(app, desktop);
    UpdateTrustOffer(app, desktop);
    return true;
}

void WatchSessionEnd(Application& app, Desktop& desktop)
{
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
    QObject::connect(desktop.sessionEndNotifier.get(), &QSocketNotifier::activated, [&app, &desktop] {
        if (desktop.sessionEndEvent.TryConsume())
            EndSession(app, desktop);
    });
#ifndef QT_NO_SESSIONMANAGER
    // The session may end: the request is answered without cancelling it.
    QObject::connect(qApp, &QGuiApplication::commitDataRequest, desktop.window.dialog.get(),
                     [&app, &desktop](QSessionManager&) { EndSession(app, desktop); });
#endif
}

bool LoadStore(Application& app, Desktop& desktop)
{
    std::optional<StoredState> stored = LoadStoredState();
    if (!stored)
        return false;
    desktop.settings = std::move(stored->settings);
    LoadKeyringPassword(desktop.settings.password);
    AddSeenDigests(app, std::move(stored->seenDigests));
    desktop.storeRead = true;
    desktop.savedDigestsFingerprint = MakeUidDigest(SeenListValue(app));
    return true;
}

void WaitForStore(Application& app, Desktop& desktop)
{
    if (desktop.storeRetries == 0) {
        desktop.storeRetryTimer.setSingleShot(true);
        QObject::connect(&desktop.storeRetryTimer, &QTimer::timeout, [&app, &desktop] { RetryStore(app, desktop); });
    }
    ShowStatusBarText(desktop.window, StoreUnreadableText);
    if (desktop.storeRetries < QuickStoreRetries)
        desktop.storeRetryTimer.start(StoreRetryMs);
    else
        desktop.storeRetryTimer.start(std::chrono::minutes(desktop.settings.delay));
    ++desktop.storeRetries;
}

bool EnsureStoreRead(Application& app, Desktop& desktop)
{
    if (!desktop.storeRead)
        RetryStore(app, desktop);
    return desktop.storeRead;
}

void SaveStoreAtExit(Application& app, Desktop& desktop)
{
    // Defaults and an empty list must never replace what a store that could not be read holds.
    if (desktop.storeRead)
        SaveDesktopState(app, desktop);
}

void CheckNow(Application& app, Desktop& desktop)
{
    // Without the settings a check could only fail; reading the store starts one when it works.
    if (!desktop.storeRead) {
        EnsureStoreRead(app, desktop);
        return;
    }
    RestartCheck(app, desktop.checkTimer, desktop.settings);
}

void UpdateTrustOffer(Application& app, Desktop& desktop)
{
    ShowTrustOffer(desktop.window, OfferedCertificate(app).has_value());
}

void OfferToTrustCertificate(Application& app, Desktop& desktop)
{
    const std::optional<CertificateDetails> certificate = OfferedCertificate(app);
    if (!certificate)
        return UpdateTrustOffer(app, desktop);
    if (!AskToTrustCertificate(desktop.window, desktop.settings.host, *certificate))
        return;
    desktop.settings.trustedFingerprint = certificate->sha256;
    SaveTrustedFingerprint(desktop.settings.host, certificate->sha256);
    ShowTrustOffer(desktop.window, false);
    CheckNow(app, desktop);
}

void EndSession(Application& app, Desktop& desktop)
{
    SaveStoreAtExit(app, desktop);
    QuitProgram();
}

void QuitProgram()
{
    // Every event loop ends, a modal dialog's too, as the quit message would end them.
    QCoreApplication::exit(0);
}

void HandleFirstRun(Desktop& desktop)
{
    // No installer sets FirstRun on Linux: a store without a server asks for one too.
    const bool firstRunSet = ReadFirstRun();
    if (!firstRunSet && !desktop.settings.host.empty())
        return;
    desktop.firstRun = true;
    // The result does not matter: FirstRun is reset after OK and Cancel alike.
    RunSettingsDialog(desktop.settings, nullptr);
    if (firstRunSet)
        ResetFirstRun();
}

void Run(Application& app, SingleInstance* instance)
{
    Desktop desktop;
    QApplication::setQuitOnLastWindowClosed(false);
    desktop.appIcon = LoadAppIcon();
    QApplication::setWindowIcon(desktop.appIcon);
    const bool storeRead = LoadStore(app, desktop);
    if (storeRead)
        HandleFirstRun(desktop);
    CreateWindows(app, desktop);
    // Without a tray, Postbell runs on with its window as its face, and takes a later tray.
    const QDBusConnection sessionBus = QDBusConnection::sessionBus();
    if (const TrayKind kind = FindTray(sessionBus); kind != TrayKind::None)
        ShowInTray(desktop, kind);
    else
        WaitForTray(desktop.trayWatch, sessionBus, [&desktop](TrayKind found) { ShowInTray(desktop, found); },
                    [&app, &desktop] { ShowWithoutTray(app, desktop); });
    WatchWorkerEvents(app, desktop);
    WatchSessionEnd(app, desktop);
    WatchDesktopEvents(app, desktop, QDBusConnection::systemBus(), sessionBus);
    if (instance)
        ServeShowRequests(*instance, [&app, &desktop] { OpenMainWindow(app, desktop); });
    if (storeRead) {
        StartTimedCheck(app, desktop.checkTimer, desktop.settings);
        StartCheckTimer(desktop.checkTimer, desktop.settings);
    } else {
        WaitForStore(app, desktop);
    }
    QApplication::exec();
    Shutdown(app, desktop);
}

void Shutdown(Application& app, Desktop& desktop)
{
    SaveStoreAtExit(app, desktop);
    desktop.storeRetryTimer.stop();
    desktop.checkTimer.timer.stop();
    StopCheck(app);
    RemoveTrayIcon(desktop.tray);
    desktop.finishedNotifier.reset();
    desktop.statusNotifier.reset();
}

int RunPostbell(SingleInstance* instance)
{
    auto app = std::make_unique<Application>();
    int failure = 0;
    try {
        Run(*app, instance);
    } catch (int id) {
        failure = id;
    } catch (...) {
        failure = StringId::UnexpectedError;
    }
    // A failure after the first check started must not leave a worker on a dying Application.
    StopCheck(*app);
    app.reset();
    if (failure != 0)
        ShowStartupError(failure);
    return 0;
}
