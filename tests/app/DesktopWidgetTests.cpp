// The tray decisions alone (a balloon cannot be read back), then the windows and tray icon
// under the offscreen platform, whose QSystemTrayIcon keeps the picture and tooltip it is given.
#include "CheckScheduling.h"
#include "CheckSession.h"
#include "DesktopRun.h"
#include "SettingsDialog.h"
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

#include <algorithm>
#include <functional>
#include <map>
#include <sstream>

namespace {

namespace Names = MainWindowNames;

TEST(TrayState, EachStatusGivesItsPictureAndBalloonOnlyWhileTheWindowIsHidden)
{
    using enum BalloonAction;
    const char* pictures = "NEe"; // Normal, new mail (E), error (e); '-': left as it is
    struct Case { StatusCode code; bool visible, newMail, balloons; BalloonAction balloon; char picture; };
    const Case cases[] = {
        {16, false, false, true, ShowError, 'e'}, {17, false, true, true, ShowError, 'e'}, {18, false, true, false, None, 'e'},
        {30, false, false, true, ShowError, 'e'}, {36, false, false, true, ShowError, 'e'}, {12, false, true, true, TakeDown, 'E'},
        {15, false, false, true, TakeDown, 'N'},  {13, false, false, false, None, 'N'},     {16, true, false, true, None, '-'},
        {12, true, true, true, None, '-'}, {37, false, false, true, ShowError, 'e'},
    };
    for (const Case& c : cases) {
        const StatusDisplay display = DecideStatusDisplay(c.code, "some text", c.visible, c.newMail, c.balloons);
        EXPECT_EQ(display.statusBarText, "some text") << c.code;
        EXPECT_EQ(display.balloon, c.balloon) << c.code << c.visible;
        EXPECT_EQ(display.face ? pictures[static_cast<int>(display.face->picture)] : '-', c.picture) << c.code << c.visible;
        EXPECT_EQ(display.balloonText, c.balloon == ShowError ? "some text" : "") << c.code;
    }
    const StatusDisplay none = DecideStatusDisplay(99, std::nullopt, false, true, true);
    EXPECT_FALSE(none.statusBarText || none.face || none.balloon != None) << "a code without text changes nothing";
    // Each place cuts a long text to its own length, never inside a character.
    const StatusDisplay cut = DecideStatusDisplay(18, std::string(62, 'a') + "\xC3\xA9" + std::string(300, 'b'), false, false, true);
    EXPECT_EQ(cut.face->toolTip, std::string(62, 'a')); // the two-byte character would end at 64
    EXPECT_EQ(cut.balloonText.size(), BalloonTextLimit);
    EXPECT_EQ(cut.statusBarText->size(), StatusTextLimit);
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

struct DesktopTest : ::testing::Test {
    TempConfigHome home;
    Application app;
    Desktop desktop;
    std::unique_ptr<StoreLock> lock;
    QTimer modalDriver, watchdog; // the watchdog closes what onModal left open
    std::function<void(QWidget*)> onModal = [](QWidget* modal) { modal->close(); }; // must close it
    int dialogs = 0;      // settings dialogs open once the menu's Settings... was used in one
    std::string question; // the text of the last message box answered

    DesktopTest()
    {
        desktop.storeRead = true;
        Mailbox("", false);
        QObject::connect(&modalDriver, &QTimer::timeout, [this] {
            if (QWidget* modal = QApplication::activeModalWidget())
                onModal(modal);
        });
        QObject::connect(&watchdog, &QTimer::timeout, [] {
            while (QWidget* modal = QApplication::activeModalWidget())
                modal->close();
        });
        modalDriver.start(10);
        watchdog.start(30000);
    }
    ~DesktopTest() override { StopCheck(app); }

    Settings& Chosen() { return desktop.settings; } // the one place these tests reach the program's settings
    void Mailbox(const std::string& digits, bool newMail)
    {
        app.checkRoutine = [digits, newMail](std::shared_ptr<WorkerLink> link, CheckRequest) -> std::uint32_t {
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
    void CreateWindows()
    {
        desktop.appIcon = LoadAppIcon();
        ::CreateWindows(app, desktop);
        AddTrayIcon(desktop.tray, false);
        WatchWorkerEvents(app, desktop);
    }
    QDialog* Window() { return desktop.window.dialog.get(); }
    template <typename Widget> Widget* Child(const char* name) { return Window()->findChild<Widget*>(QLatin1String(name)); }
    QTreeWidget* List() { return Child<QTreeWidget>(Names::List); }
    void Finish(const MessageTable& messages, bool newMail)
    {
        SetResults(messages, newMail);
        app.finishedEvent.Set();
        ServeFinishedEvent(app, desktop);
    }
    void SetResults(const MessageTable& messages, bool newMail)
    {
        std::lock_guard lock(app.resultsMutex);
        app.messages = messages;
        app.newMail = newMail;
    }

    using Arg = const std::string&;
    QAction* MenuEntry(int index) { return desktop.tray.menu->actions()[index]; } // Open, Check Mail Now, Settings...
    // What a step does: acts joined by '+', each a verb and its argument.
    const std::map<std::string, std::function<void(Arg)>> acts = {
        {"tray", [this](Arg how) { // a click on the icon: left, double, middle or right
             emit desktop.tray.icon->activated(how == "double" ? QSystemTrayIcon::DoubleClick : how == "middle" ? QSystemTrayIcon::MiddleClick
                                               : how == "right" ? QSystemTrayIcon::Context : QSystemTrayIcon::Trigger);
         }},
        {"balloon", [this](Arg) { emit desktop.tray.icon->messageClicked(); }},
        {"open", [this](Arg) { OpenMainWindow(app, desktop), (void)QTest::qWaitForWindowExposed(Window()); }},
        {"hide", [this](Arg) { Window()->reject(); }},
        {"close-box", [this](Arg) { Window()->close(); }},
        {"key", [this](Arg key) { QTest::keyClick(Window(), key == "Return" ? Qt::Key_Return : Qt::Key_Escape); }},
        {"button", [this](Arg name) { Child<QPushButton>(name.c_str())->click(); }},
        {"menu", [this](Arg index) { MenuEntry(std::stoi(index))->trigger(); }},
        // A status, a check's end ("new": with new mail), served as their events' watchers would.
        {"post", [this](Arg code) { app.status.store(std::stoi(code)), app.statusEvent.Set(), ServeStatusEvent(app, desktop); }},
        {"finish", [this](Arg digits) { Finish(Messages(digits.substr(0, digits.find(' '))), digits.ends_with(" new")); }},
        {"wake", [this](Arg digits) { SetResults(Messages(digits), true), app.status.store(15), app.statusEvent.Set(), app.finishedEvent.Set(); }},
        {"unwatch-finished", [this](Arg) { desktop.finishedNotifier->setEnabled(false); }},
        {"mailbox", [this](Arg digits) { Mailbox(digits.substr(0, digits.find(' ')), digits.ends_with(" new")); }},
        {"delay", [this](Arg minutes) { Chosen().delay = std::stoi(minutes); }},
        {"gate", [this](Arg state) { Chosen().waitForDialup = state == "closed"; }}, // no point-to-point interface here
        {"lock", [this](Arg) { lock = std::make_unique<StoreLock>(); }},
        {"unlock", [this](Arg) { lock.reset(); }},
        {"load-store", [this](Arg) { LoadStore(app, desktop) || (WaitForStore(app, desktop), true); }},
        {"save-at-exit", [this](Arg) { SaveStoreAtExit(app, desktop); }},
        {"stop", [this](Arg) { StopCheck(app); }},
        {"clear-count", [this](Arg) { Child<QLabel>(Names::Count)->clear(); }},
        {"offer", [this](Arg) { // a certificate of an unknown issuer for the server's name
             Chosen().host = "mail.home.test";
             app.offeredCertificate = CertificateDetails{std::string(62, 'a') + "0f", "CN=mail.home.test", "2026-01-01", "2027-01-01"};
         }},
        // How the next modal windows are answered.
        {"cancel-after-menu", [this](Arg) {
             onModal = [this](QWidget* modal) {
                 MenuEntry(2)->trigger(); // raises the open dialog, opens no second
                 for (QWidget* widget : QApplication::topLevelWidgets())
                     dialogs += widget->isVisible() && widget->objectName() == SettingsDialogNames::Dialog;
                 modal->close();
             };
         }},
        {"ok-with-interval", [this](Arg minutes) {
             onModal = [minutes](QWidget* modal) {
                 modal->findChild<QLineEdit*>(QLatin1String(SettingsDialogNames::Interval))->setText(QString::fromStdString(minutes));
                 modal->findChild<QPushButton*>(QLatin1String(SettingsDialogNames::Ok))->click();
             };
         }},
        {"yes", [this](Arg) {
             onModal = [this](QWidget* modal) {
                 question = qobject_cast<QMessageBox*>(modal)->text().toStdString();
                 qobject_cast<QMessageBox*>(modal)->button(QMessageBox::Yes)->click();
             };
         }},
    };

    std::string Observe(const std::string& what)
    {
        const QTimer& timer = desktop.checkTimer.timer;
        const qint64 icon = desktop.tray.icon->icon().cacheKey();
        std::string rows, saved, raw = RawValue("UIDList");
        for (int i = 0; i < List()->topLevelItemCount(); ++i)
            rows += List()->topLevelItem(i)->text(0).toStdString();
        for (std::size_t i = 7; i + 32 <= raw.size(); i += 32) // a digest per message: its digit sixteen times
            saved += static_cast<char>(std::stoi(raw.substr(i, 2), nullptr, 16));
        const std::map<std::string, std::string> seen = {
            {"icon", icon == desktop.tray.normalIcon.cacheKey() ? "N" : icon == desktop.tray.newMailIcon.cacheKey() ? "E" : icon == desktop.tray.errorIcon.cacheKey() ? "e" : "?"},
            {"tip", desktop.tray.icon->toolTip().toStdString()},
            {"window", Window()->isVisible() ? "shown" : "hidden"},
            {"count", Child<QLabel>(Names::Count)->text().toStdString()},
            {"rows", rows}, // the From column, top to bottom
            {"bar", Child<QStatusBar>(Names::StatusBar)->currentMessage().toStdString()},
            {"timer", timer.isActive() ? std::to_string(timer.interval() / 60000) + " min" : "off"},
            {"worker", app.workerThread ? "kept" : "none"}, // a check started and not stopped since
            {"saved", saved}, // the stored seen list
            {"trust", Child<QPushButton>(Names::TrustCertificate)->isVisibleTo(Window()) ? "offered" : "none"},
            {"dialogs", std::to_string(dialogs)},
            {"question", question},
            {"host", Chosen().host},
            {"new mail", app.newMail ? "pending" : "none"},
        };
        return seen.contains(what) ? seen.at(what) : "(nothing called " + what + ")";
    }

    // Plays steps: {acts, what must then hold}: "key=value" or "key~part of the value", '|'
    // between them. Each step waits until all hold, for what its acts start in the background.
    void Play(const std::vector<std::pair<std::string, std::string>>& steps)
    {
        for (const auto& [step, expected] : steps) {
            std::stringstream actList(step), checkList(expected);
            for (std::string act; std::getline(actList, act, '+');) {
                const std::size_t space = std::min(act.find(' '), act.size());
                ASSERT_TRUE(acts.contains(act.substr(0, space))) << act;
                acts.at(act.substr(0, space))(act.substr(std::min(space + 1, act.size())));
            }
            std::vector<std::tuple<std::string, char, std::string>> checks;
            for (std::string check; std::getline(checkList >> std::ws, check, '|');) {
                const std::size_t op = check.find_first_of("=~");
                checks.emplace_back(check.substr(0, op), check[op], check.substr(op + 1, check.find_last_not_of(' ') - op));
            }
            const auto holds = [this](const auto& check) {
                const auto& [what, op, value] = check;
                return op == '=' ? Observe(what) == value : Observe(what).find(value) != std::string::npos;
            };
            for (QDeadlineTimer deadline(10000); !std::all_of(checks.begin(), checks.end(), holds) && !deadline.hasExpired();)
                QTest::qWait(5);
            for (const auto& check : checks)
                EXPECT_TRUE(holds(check)) << step << ": " << std::get<0>(check) << " is " << Observe(std::get<0>(check));
        }
    }
};

TEST_F(DesktopTest, TrayIconAndListFollowChecksClicksAndTheWindow)
{
    CreateWindows();
    Play({
        {"finish 132+open", "icon=N | tip=No new e-mail | count=3 | window=shown | rows=321"}, // a hidden window gets its rows when shown
        {"finish 4", "count=1 | rows=4"}, // a visible one at once
        {"hide+finish 5+open", "window=shown | count=1 | rows=5"},
        {"key Return", "window=shown"}, // no button is a default one
        {"key Escape+finish 1 new", "icon=E | tip=You have new e-mail | window=hidden"},
        {"post 16+post 12", "icon=E | tip=Connecting to server..."}, // new mail outlives an error
        // The icon keeps still while the window shows.
        {"tray left+post 16", "icon=N | tip=No new e-mail | window=shown | rows=1 | bar=Cannot connect to the mail server."},
        {"finish 6 new", "icon=N | tip=No new e-mail | rows=6 | new mail=none"}, // seen in the window, never announced later
        {"hide+tray middle", "window=hidden"},
        {"balloon", "icon=N | tip=No new e-mail | window=shown"},
        {"button closeButton+tray double", "window=shown"},
        {"close-box+balloon+tray right", "window=hidden"}, // Qt reports a balloon click before a right click
        // A check's end and its last status in one wake-up (then one that only the status wakes):
        // the end is served first, else the new-mail tooltip would come last.
        {"wake 67", "count=2 | icon=E | tip=Successfully checked for new messages."},
        {"open+hide+unwatch-finished+wake 678", "count=3 | icon=E | tip=Successfully checked for new messages."},
    });
}

TEST_F(DesktopTest, CheckMailNowAndConfirmedSettingsRestartCheckAndTimerAndTheSeenListIsSavedAtOnce)
{
    CreateWindows();
    Play({
        {"delay 7+gate closed+mailbox 12 new+button checkNowButton",
         "worker=none | bar=Waiting for a dial-up connection | tip=Waiting for a dial-up connection"},
        {"gate open+menu 1", "timer=7 min | count=2 | icon=E | saved=12"}, // saved at once: a crash would announce these again
        {"menu 0+stop", "window=shown | icon=N | worker=none"},
        {"delay 9+cancel-after-menu+button settingsButton", "dialogs=1 | timer=7 min | worker=none"},
        {"ok-with-interval 1+button settingsButton", "timer=1 min | worker=kept"},
    });
}

TEST_F(DesktopTest, ALockedStoreIsRetriedNeverWrittenOverAndAFailedSaveIsTriedAgain)
{
    RegistryKey::WriteString("Host", "kept");
    RegistryKey::WriteBinary("UIDList", std::string(16, '\1'));
    desktop.storeRead = false;
    CreateWindows();
    Play({
        {"mailbox 2 new+lock+load-store", "bar=Cannot read the settings store; trying again."},
        // The dialog's OK would write every field over the unread store.
        {"cancel-after-menu+button settingsButton+button checkNowButton+save-at-exit", "dialogs=0 | worker=none"},
        {"unlock", "worker=kept | count=1 | host=kept | saved=2"},
        // The save after this check meets a lock; the next check, with the same list, saves it.
        {"mailbox 34+lock+clear-count+button checkNowButton", "count=2"},
        {"unlock", "saved=2"},
        {"clear-count+button checkNowButton", "count=2 | saved=34"},
    });
}

TEST_F(DesktopTest, ACertificateOfAnUnknownIssuerMayBeTrustedForItsHostOnly)
{
    CreateWindows();
    Play({
        {"offer+post 31", "trust=none"}, // a wrong name is never offered
        {"post 33", "trust=offered"},
        {"yes+button trustCertificate", "trust=none | question~CN=mail.home.test | question~\nAA:AA: | question~:0F\n"},
    });
}

TEST_F(DesktopTest, WindowKeepsItsPlaceOnAScreenItsSizeAndColumnAndNewRowsAreBoldUntilHidden)
{
    const std::pair<const char*, std::uint32_t> saved[] = {
        {"WindowLeft", 33}, {"WindowTop", 44}, {"WindowWidth", 700}, {"WindowHeight", 400}, {"FromColumnWidth", 150}};
    for (auto [name, value] : saved)
        RegistryKey::WriteDword(name, value);
    CreateWindows();
    EXPECT_EQ(Window()->pos(), QPoint(33, 44));
    EXPECT_EQ(Window()->size(), QSize(700, 400));
    MessageTable messages = Messages("2", true);
    messages.merge(Messages("1"));
    messages[2].subject = std::string(200, 's');
    Finish(messages, false);
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
    SaveStoreAtExit(app, desktop);
    EXPECT_EQ(RawValue("WindowWidth") + RawValue("WindowHeight") + RawValue("FromColumnWidth"),
              "4|blob|800200004|blob|2C0100004|blob|DE000000");
    // A first run, and a place on a monitor that is gone, start at the work area's corner.
    const QPoint corner = QGuiApplication::primaryScreen()->availableGeometry().topLeft();
    CreateMainWindow(desktop.window, desktop.appIcon, true, {});
    EXPECT_EQ(Window()->pos(), corner);
    RegistryKey::WriteDword("WindowLeft", -65536);
    CreateMainWindow(desktop.window, desktop.appIcon, false, {});
    EXPECT_EQ(Window()->pos(), corner);
}

TEST_F(DesktopTest, StartUpShowsTheFirstRunDialogBeforeAnyWindowThenReportsAMissingTray)
{
    RegistryKey::WriteDword("FirstRun", 1);
    std::string seen;
    onModal = [&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        seen += (box ? QString::number(box->icon()) + box->text() : modal->objectName()).toStdString() + "|";
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (!box && widget->objectName() == QLatin1String(Names::Dialog))
                seen += "after the main window|";
        modal->close();
    };
    EXPECT_EQ(RunPostbell(), 0);
    EXPECT_EQ(seen, SettingsDialogNames::Dialog + ("|" + std::to_string(QMessageBox::Critical)) +
                        "Error: Could not create notification icon. Try restarting Postbell or your computer.|");
}

} // namespace
