// The desktop program's windows and tray icon under the offscreen platform, which has no
// tray: the QSystemTrayIcon keeps the picture and tooltip it is given, and these are read back.
#include "CheckScheduling.h"
#include "CheckSession.h"
#include "DesktopRun.h"
#include "RegistryKey.h"
#include "SettingsDialog.h"
#include "SettingsModel.h"
#include "StoreTestSupport.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <functional>

namespace {

namespace Names = MainWindowNames;

bool ProcessEventsUntil(const std::function<bool()>& pred)
{
    QDeadlineTimer deadline(10000);
    while (!pred() && !deadline.hasExpired())
        QTest::qWait(5);
    return pred();
}

// Messages named by digits: "31" is message 3 from "3" and message 1 from "1", subject "s1".
MessageTable Messages(const std::string& digits, bool isNew = false)
{
    MessageTable messages;
    for (char c : digits)
        messages[c - '0'] = {DigestFromBytes(std::string(16, c)), static_cast<std::uint32_t>(c - '0'),
                             std::string(1, c), std::string{'s', c}, isNew};
    return messages;
}

// A check without a server: progress, these messages, the end.
CheckRoutine FakeCheck(const std::string& digits, bool newMail)
{
    return [digits, newMail](std::shared_ptr<WorkerLink> link, CheckRequest) -> std::uint32_t {
        link->PostStatus(12);
        CheckResults results{Messages(digits), {}, newMail};
        for (const auto& [number, message] : results.messages)
            results.digests.insert(*message.uidDigest);
        link->PublishResults(std::move(results));
        link->PostStatus(15);
        link->SignalFinished();
        return 0;
    };
}

// Runs act on the next modal window; a watchdog closes whatever is left open.
struct ModalDriver {
    explicit ModalDriver(std::function<void(QWidget*)> act)
    {
        QObject::connect(&driver, &QTimer::timeout, [this, act] {
            if (QWidget* modal = QApplication::activeModalWidget())
                driver.stop(), act(modal);
        });
        QObject::connect(&watchdog, &QTimer::timeout, [] {
            while (QWidget* modal = QApplication::activeModalWidget())
                modal->close();
        });
        driver.start(10);
        watchdog.start(30000);
    }
    QTimer driver, watchdog;
};

struct DesktopTest : ::testing::Test {
    TempConfigHome home;
    Application app;
    Desktop desktop;

    DesktopTest()
    {
        desktop.storeRead = true;
        app.checkRoutine = FakeCheck("", false);
    }
    ~DesktopTest() override { StopCheck(app); }

    void CreateWindows()
    {
        desktop.appIcon = LoadAppIcon();
        ::CreateWindows(app, desktop);
        AddTrayIcon(desktop.tray, false);
    }
    QDialog* Window() { return desktop.window.dialog.get(); }
    template <typename Widget> Widget* Child(const char* name) { return Window()->findChild<Widget*>(QLatin1String(name)); }
    QString Count() { return Child<QLabel>(Names::Count)->text(); }
    QTreeWidget* List() { return Child<QTreeWidget>(Names::List); }
    std::string StatusBarText() { return Child<QStatusBar>(Names::StatusBar)->currentMessage().toStdString(); }
    std::string ToolTip() const { return desktop.tray.icon->toolTip().toStdString(); }
    char Picture() const // N normal, E new mail, e error
    {
        const qint64 key = desktop.tray.icon->icon().cacheKey();
        return key == desktop.tray.normalIcon.cacheKey() ? 'N' : key == desktop.tray.newMailIcon.cacheKey() ? 'E' : key == desktop.tray.errorIcon.cacheKey() ? 'e' : '?';
    }
    std::string Rows()
    {
        std::string rows;
        for (int i = 0; i < List()->topLevelItemCount(); ++i)
            rows += List()->topLevelItem(i)->text(0).toStdString();
        return rows;
    }
    void Post(StatusCode code)
    {
        app.status.store(code);
        app.statusEvent.Set();
        ASSERT_TRUE(ServeStatusEvent(app, desktop));
    }
    void Finish(bool newMail, const std::string& digits)
    {
        {
            std::lock_guard lock(app.resultsMutex);
            app.messages = Messages(digits);
            app.newMail = newMail;
        }
        app.finishedEvent.Set();
        ASSERT_TRUE(ServeFinishedEvent(app, desktop));
    }
};

// One person's session as a script: what happens, then the icon, the window and the list.
TEST_F(DesktopTest, TrayIconAndListFollowChecksClicksAndTheWindow)
{
    CreateWindows();
    const std::string none = "No new e-mail", newMail = "You have new e-mail", cannot = "Cannot connect to the mail server.";
    struct Step { const char* act; std::string arg; char picture; std::string tip; bool visible; const char* count; std::string rows; };
    const Step steps[] = {
        {"finish", "132", 'N', none, false, "3", ""}, // a hidden window gets its rows when shown
        {"open", "", 'N', none, true, "3", "321"},
        {"finish", "4", 'N', none, true, "1", "4"}, // a visible one at once
        {"hide+finish", "5", 'N', none, false, "1", ""},
        {"open", "", 'N', none, true, "1", "5"},
        {"enter", "", 'N', none, true, "1", "5"}, // no button is a default one
        {"esc+finish new", "1", 'E', newMail, false, "1", ""},
        {"post", "16", 'e', cannot, false, "1", ""},
        {"post", "12", 'E', "Connecting to server...", false, "1", ""}, // new mail outlives an error
        {"post", "17", 'e', "User name or password was rejected by the mail server.", false, "1", ""},
        {"click", "", 'N', none, true, "1", "1"},
        {"post", "16", 'N', none, true, "1", "1"}, // nothing changes the icon while the window shows
        {"finish new", "6", 'N', none, true, "1", "6"},
        {"hide+post", "13", 'N', "Sending user name and password...", false, "1", ""},
        {"middle", "", 'N', "Sending user name and password...", false, "1", ""},
        {"balloon", "", 'N', none, true, "1", "6"},
        {"close-button+double", "", 'N', none, true, "1", "6"},
        {"close-box+balloon+menu", "", 'N', none, false, "1", ""}, // Qt reports a balloon click before a right click
    };
    for (const Step& step : steps) {
        const std::string act = step.act;
        if (act == "open" || act == "enter")
            OpenMainWindow(app, desktop), (void)QTest::qWaitForWindowExposed(Window());
        if (act.starts_with("hide"))
            Window()->reject();
        if (act.starts_with("esc") || act == "enter")
            QTest::keyClick(Window(), act == "enter" ? Qt::Key_Return : Qt::Key_Escape);
        if (act.starts_with("close-b"))
            act.starts_with("close-button") ? QTest::mouseClick(Child<QPushButton>(Names::Close), Qt::LeftButton) : (void)Window()->close();
        if (act.find("finish") != std::string::npos)
            Finish(act.ends_with("new"), step.arg);
        if (act.ends_with("post"))
            Post(std::stoi(step.arg));
        if (act.ends_with("click") || act.ends_with("double") || act == "middle")
            emit desktop.tray.icon->activated(act == "click" ? QSystemTrayIcon::Trigger : act == "middle" ? QSystemTrayIcon::MiddleClick : QSystemTrayIcon::DoubleClick);
        if (act.find("balloon") != std::string::npos)
            emit desktop.tray.icon->messageClicked();
        if (act.ends_with("menu"))
            emit desktop.tray.icon->activated(QSystemTrayIcon::Context);
        if (act.find("balloon") != std::string::npos)
            ProcessEventsUntil([&] { return Window()->isVisible() == step.visible; });
        EXPECT_EQ(Picture(), step.picture) << act;
        EXPECT_EQ(ToolTip(), step.tip) << act;
        EXPECT_EQ(Window()->isVisible(), step.visible) << act;
        EXPECT_EQ(Count(), step.count) << act;
        EXPECT_EQ(step.visible ? Rows() : step.rows, step.rows) << act;
    }
    EXPECT_FALSE(app.newMail) << "new mail seen in the window is not announced later";
    EXPECT_EQ(StatusBarText(), "Sending user name and password...");
}

TEST_F(DesktopTest, FinishedIsServedBeforeTheStatusOfTheSameWakeUp)
{
    CreateWindows();
    WatchWorkerEvents(app, desktop);
    for (const char* count : {"1", "2"}) {
        {
            std::lock_guard lock(app.resultsMutex);
            app.messages.merge(Messages(count));
            app.newMail = true;
        }
        app.status.store(15);
        app.statusEvent.Set();
        app.finishedEvent.Set();
        ASSERT_TRUE(ProcessEventsUntil([&] { return Count() == count && ToolTip() == "Successfully checked for new messages."; }))
            << "served the other way round, the new-mail tooltip comes last";
        EXPECT_EQ(Picture(), 'E');
        OpenMainWindow(app, desktop);
        Window()->reject();
        desktop.finishedNotifier->setEnabled(false); // now only the status watcher can wake the loop
    }
}

TEST_F(DesktopTest, WindowStandsAtTheSavedPlaceUnlessFirstRunOrOffEveryScreen)
{
    SeedValue("WindowLeft", 4, std::string("\x21\x00\x00\x00", 4));
    SeedValue("WindowTop", 4, std::string("\x2C\x00\x00\x00", 4));
    CreateWindows();
    EXPECT_EQ(Window()->pos(), QPoint(33, 44));
    const QPoint corner = QGuiApplication::primaryScreen()->availableGeometry().topLeft();
    CreateMainWindow(desktop.window, desktop.appIcon, true, {});
    EXPECT_EQ(Window()->pos(), corner);
    SeedValue("WindowLeft", 4, std::string("\x00\x00\xFF\xFF", 4)); // -65536: a monitor that is gone
    CreateMainWindow(desktop.window, desktop.appIcon, false, {});
    EXPECT_EQ(Window()->pos(), corner);
}

TEST_F(DesktopTest, CheckMailNowWaitsForDialupOrRestartsCheckAndTimerAndSavesTheSeenListAtOnce)
{
    desktop.settings.delay = 7;
    desktop.settings.waitForDialup = true; // the test machine has no point-to-point interface
    app.checkRoutine = FakeCheck("12", true);
    CreateWindows();
    WatchWorkerEvents(app, desktop);
    Child<QPushButton>(Names::CheckNow)->click();
    EXPECT_FALSE(app.workerThread);
    EXPECT_EQ(StatusBarText() + "|" + ToolTip(), "Waiting for a dial-up connection|Waiting for a dial-up connection");
    desktop.settings.waitForDialup = false;
    desktop.tray.icon->contextMenu()->actions()[1]->trigger(); // Check Mail Now
    EXPECT_EQ(desktop.checkTimer.timer.interval(), 7 * 60000);
    EXPECT_TRUE(desktop.checkTimer.timer.isActive());
    ASSERT_TRUE(ProcessEventsUntil([&] { return Count() == "2"; }));
    EXPECT_EQ(Picture(), 'E');
    EXPECT_EQ(RawValue("UIDList"), "3|blob|" + Hex(std::string(16, '1') + std::string(16, '2')))
        << "not saved at once: a crash would announce these again";
    desktop.tray.icon->contextMenu()->actions()[0]->trigger(); // Open
    EXPECT_TRUE(Window()->isVisible());
    EXPECT_EQ(Picture(), 'N');
}

TEST_F(DesktopTest, CancelledSettingsLeaveTheTimerAloneAndConfirmedOnesRestartIt)
{
    desktop.settings.delay = 5;
    CreateWindows();
    OpenMainWindow(app, desktop);
    StartCheckTimer(desktop.checkTimer, desktop.settings);
    desktop.settings.delay = 9; // what a restart would wrongly arm
    int dialogs = 0;
    {
        ModalDriver driver([&](QWidget* modal) {
            desktop.tray.menu->actions()[2]->trigger(); // the menu's Settings... raises, opens no second
            for (QWidget* widget : QApplication::topLevelWidgets())
                dialogs += widget->isVisible() && widget->objectName() == SettingsDialogNames::Dialog;
            modal->close();
        });
        Child<QPushButton>(Names::Settings)->click();
    }
    EXPECT_EQ(dialogs, 1);
    EXPECT_EQ(desktop.checkTimer.timer.interval(), 5 * 60000);
    EXPECT_FALSE(app.workerThread);
    {
        ModalDriver driver([](QWidget* modal) {
            modal->findChild<QLineEdit*>(QLatin1String(SettingsDialogNames::Interval))->setText("1");
            modal->findChild<QPushButton*>(QLatin1String(SettingsDialogNames::Ok))->click();
        });
        Child<QPushButton>(Names::Settings)->click();
    }
    EXPECT_EQ(desktop.checkTimer.timer.interval(), 60000);
    EXPECT_TRUE(app.workerThread) << "a confirmed dialog starts a check";
}

TEST_F(DesktopTest, NewRowsAreBoldUntilHiddenAndTheLayoutIsKept)
{
    SeedValue("WindowWidth", 4, std::string("\xBC\x02\x00\x00", 4));     // 700
    SeedValue("WindowHeight", 4, std::string("\x90\x01\x00\x00", 4));    // 400
    SeedValue("FromColumnWidth", 4, std::string("\x96\x00\x00\x00", 4)); // 150
    CreateWindows();
    EXPECT_EQ(Window()->size(), QSize(700, 400));
    {
        std::lock_guard lock(app.resultsMutex);
        app.messages = Messages("1");
        app.messages.merge(Messages("2", true));
        app.messages[2].subject = std::string(200, 's');
    }
    app.finishedEvent.Set();
    ServeFinishedEvent(app, desktop);
    OpenMainWindow(app, desktop);
    const auto bold = [&](int row) { return List()->topLevelItem(row)->font(1).bold(); };
    EXPECT_TRUE(bold(0) && !bold(1));
    EXPECT_EQ(List()->topLevelItem(0)->toolTip(1).size(), 200) << "a long subject shows in full as a tooltip";
    EXPECT_EQ(List()->columnWidth(0), 150) << "a kept width is not fitted to the rows";
    Window()->reject();
    OpenMainWindow(app, desktop);
    EXPECT_FALSE(bold(0)) << "seen once the window was hidden";
    Window()->resize(640, 300);
    List()->setColumnWidth(0, 222);
    EndSession(app, desktop);
    EXPECT_EQ(RawValue("WindowWidth") + RawValue("WindowHeight") + RawValue("FromColumnWidth"),
              "4|blob|800200004|blob|2C0100004|blob|DE000000");
}

TEST_F(DesktopTest, ALockedStoreIsRetriedNeverWrittenOverAndAFailedSaveIsTriedAgain)
{
    SeedValue("Host", 1, std::string("kept\0", 5));
    SeedValue("UIDList", 3, std::string(16, '\1'));
    desktop.storeRead = false;
    app.checkRoutine = FakeCheck("2", true);
    CreateWindows();
    WatchWorkerEvents(app, desktop);
    auto lock = std::make_unique<StoreLock>();
    ASSERT_FALSE(LoadStore(app, desktop));
    WaitForStore(app, desktop);
    EXPECT_EQ(StatusBarText(), "Cannot read the settings store; trying again.");
    bool dialogShown = false; // its OK would write every field over the unread store
    {
        ModalDriver driver([&](QWidget* modal) { dialogShown = true, modal->close(); });
        Child<QPushButton>(Names::Settings)->click();
    }
    EXPECT_FALSE(dialogShown);
    Child<QPushButton>(Names::CheckNow)->click();
    SaveStoreAtExit(app, desktop);
    EXPECT_FALSE(app.workerThread) << "a check ran before the settings were read";

    lock.reset();
    ASSERT_TRUE(ProcessEventsUntil([&] { return Count() == "1"; })) << "no check once the store could be read";
    EXPECT_EQ(desktop.settings.host, "kept");
    EXPECT_EQ(RawValue("UIDList"), "3|blob|" + Hex(std::string(16, '2')));
    // The save after this check meets a lock; the next check, with the same list, saves it.
    app.checkRoutine = FakeCheck("34", false);
    for (bool locked : {true, false}) {
        if (locked)
            lock = std::make_unique<StoreLock>();
        Child<QLabel>(Names::Count)->clear();
        CheckNow(app, desktop);
        ASSERT_TRUE(ProcessEventsUntil([&] { return Count() == "2"; }));
        lock.reset();
        EXPECT_EQ(RawValue("UIDList") == "3|blob|" + Hex(std::string(16, '3') + std::string(16, '4')), !locked);
    }
}

TEST_F(DesktopTest, StartUpShowsTheFirstRunDialogBeforeAnyWindowThenReportsAMissingTray)
{
    SeedValue("FirstRun", 4, std::string("\x01\x00\x00\x00", 4));
    std::vector<std::string> seen;
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr)
            return;
        auto* box = qobject_cast<QMessageBox*>(modal);
        seen.push_back(box ? std::to_string(box->icon()) + box->text().toStdString() : modal->objectName().toStdString());
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (!box && widget->objectName() == QLatin1String(Names::Dialog))
                seen.back() += " after the main window";
        modal->close();
    });
    driver.start(10);
    EXPECT_EQ(RunPostbell(), 0);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], SettingsDialogNames::Dialog);
    EXPECT_EQ(seen[1], std::to_string(QMessageBox::Critical) +
                           "Error: Could not create notification icon. Try restarting Postbell or your computer.");
}

TEST_F(DesktopTest, ACertificateOfAnUnknownIssuerMayBeTrustedForItsHostOnly)
{
    CreateWindows();
    desktop.settings.host = "mail.home.test";
    auto* trust = Child<QPushButton>(Names::TrustCertificate);
    app.offeredCertificate = CertificateDetails{std::string(62, 'a') + "0f", "CN=mail.home.test", "2026-01-01", "2027-01-01"};
    Post(31); // a wrong name is never offered
    EXPECT_FALSE(trust->isVisibleTo(Window()));
    Post(33);
    EXPECT_TRUE(trust->isVisibleTo(Window()));
    QString shown;
    ModalDriver driver([&shown](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        shown = box->text();
        box->button(QMessageBox::Yes)->click();
    });
    trust->click();
    EXPECT_TRUE(shown.contains("AA:AA:") && shown.contains(":0F\n") && shown.contains("CN=mail.home.test")) << shown.toStdString();
    EXPECT_FALSE(trust->isVisibleTo(Window()));
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("POSTBELL_TEST_KEYRING")) // never the user's own keyring
        qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
