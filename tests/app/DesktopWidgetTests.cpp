// The tray decisions alone (a balloon cannot be read back), then the windows and tray icon
// under the offscreen platform, whose QSystemTrayIcon keeps the picture and tooltip it is given.
#include "AutostartEntry.h"
#include "CheckScheduling.h"
#include "CheckSession.h"
#include "DesktopRun.h"
#include "MailProgram.h"
#include "SettingsDialog.h"
#include "StoreTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

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
#include <filesystem>
#include <fstream>
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
    // A certificate the window lets the user trust is worth a look there.
    EXPECT_EQ(DecideStatusDisplay(33, "Self-signed.", false, false, true).balloonText,
              "Self-signed. Open Postbell to review the certificate.");
}

// The default mailto: application as the MIME lists name it, found in this order: a list of the
// current desktop, the user's, the system's; defaults, added associations, then mimeinfo.cache.
TEST(MailProgram, TheDesktopsMailtoApplicationStartsWithoutALinkUnlessSettingsNameACommand)
{
    TempConfigHome home;
    const std::string data = home.root + "/data", system = home.root + "/system";
    for (const auto& [name, value] : {std::pair{"XDG_DATA_HOME", data}, {"XDG_DATA_DIRS", system},
                                      {"XDG_CONFIG_DIRS", home.root + "/etc"}, {"XDG_CURRENT_DESKTOP", "X-Test:KDE"}})
        setenv(name, value.c_str(), 1);
    const std::string odd = "/opt/Mail $Tools/100%/mail\\er"; // AutostartEntry's quoting, read back
    const std::tuple<std::string, std::string, std::string> steps[] = {
        {system + "/applications/claws.desktop", "[Desktop Entry]\nExec=claws-mail --compose %u\n", ""}, // not named: none
        {system + "/applications/mimeinfo.cache", "[MIME Cache]\nx-scheme-handler/mailto=claws.desktop;\n", "claws-mail|--compose"},
        {data + "/applications/odd.desktop", "[Desktop Entry]\nExec=" + DesktopExecArgument(odd) + " %U\n", "claws-mail|--compose"},
        {home.root + "/etc/mimeapps.list", "[Added Associations]\nx-scheme-handler/mailto=odd.desktop\n", odd},
        {home.configHome + "/mimeapps.list", "[Default Applications]\nx-scheme-handler/mailto=gone.desktop;mutt.desktop\n", odd},
        {system + "/applications/mutt.desktop", "[Desktop Entry]\nExec=mutt\nTerminal=true\n", "x-terminal-emulator|-e|mutt"},
        {home.configHome + "/kde-mimeapps.list", "[Default Applications]\nx-scheme-handler/mailto=claws.desktop\n", "claws-mail|--compose"},
    };
    for (const auto& [file, text, command] : steps) {
        std::filesystem::create_directories(std::filesystem::path(file).parent_path());
        std::ofstream(file) << text;
        EXPECT_EQ(MailProgramCommand("").value_or(QStringList()).join('|').toStdString(), command) << file;
    }
    EXPECT_EQ(MailProgramCommand("evolution \"--component=mail\"")->join('|').toStdString(), "evolution|--component=mail");
    EXPECT_EQ(ExecArguments("\"unterminated %u"), std::nullopt);
}

// Adds message c (a digit) from "c", with subject "sc" unless another is given, above the others.
void AddMessage(MessageTable& messages, char c, bool isNew, const std::string& subject = "")
{
    MessageInfo message{DigestFromBytes(std::string(16, c)), static_cast<std::uint32_t>(c - '0')};
    message.isNew = isNew;
    SetMessageText(messages, message, std::string(1, c), subject.empty() ? std::string{'s', c} : subject);
    messages.entries.push_back(message);
}

// Messages named by digits, a star after one that is new at this check: "3*1" is message 3
// from "3", subject "s3", new, and message 1 from "1", subject "s1".
MessageTable Messages(const std::string& digits)
{
    std::string numbers;
    for (char c : digits)
        if (c != '*')
            numbers += c;
    std::sort(numbers.begin(), numbers.end());
    MessageTable messages;
    for (char c : numbers)
        AddMessage(messages, c, digits.find(std::string{c, '*'}) != std::string::npos);
    return messages;
}
bool AnyNew(const MessageTable& messages)
{
    return std::any_of(messages.entries.begin(), messages.entries.end(), [](const MessageInfo& m) { return m.isNew; });
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
        desktop.settings.host = "pop.example.org";
        Mailbox("");
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
    void Mailbox(const std::string& digits)
    {
        app.checkRoutine = [digits](std::shared_ptr<WorkerLink> link, CheckRequest) -> std::uint32_t {
            link->PostStatus(12);
            CheckResults results{Messages(digits), {}, AnyNew(Messages(digits))};
            for (const MessageInfo& message : results.messages.entries)
                results.digests.push_back(message.uidDigest);
            MakeDigestSet(results.digests);
            link->PublishResults(std::move(results));
            link->PostStatus(15);
            link->SignalFinished();
            return 0;
        };
    }
    void CreateWindows(bool tray = true)
    {
        desktop.appIcon = LoadAppIcon();
        ::CreateWindows(app, desktop);
        if (tray)
            AddTrayIcon(desktop.tray, false, TrayKind::XEmbed);
        WatchWorkerEvents(app, desktop);
    }
    QDialog* Window() { return desktop.window.dialog.get(); }
    template <typename Widget> Widget* Child(const char* name) { return Window()->findChild<Widget*>(QLatin1String(name)); }
    QTreeWidget* List() { return Child<QTreeWidget>(Names::List); }
    void Finish(const MessageTable& messages)
    {
        SetResults(messages);
        app.finishedEvent.Set();
        ServeFinishedEvent(app, desktop);
    }
    void SetResults(const MessageTable& messages)
    {
        std::lock_guard lock(app.resultsMutex);
        app.messages = messages;
        app.newMail = AnyNew(messages);
    }

    using Arg = const std::string&;
    QAction* MenuEntry(const std::string& name) { return desktop.tray.menu->findChild<QAction*>(QString::fromStdString(name)); }
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
        {"menu", [this](Arg name) { MenuEntry(name)->trigger(); }},
        // A status, a check's end ("new": with new mail), served as their events' watchers would.
        {"post", [this](Arg code) { app.status.store(std::stoi(code)), app.statusEvent.Set(), ServeStatusEvent(app, desktop); }},
        {"finish", [this](Arg digits) { Finish(Messages(digits)); }},
        {"wake", [this](Arg digits) { SetResults(Messages(digits)), app.status.store(15), app.statusEvent.Set(), app.finishedEvent.Set(); }},
        {"unwatch-finished", [this](Arg) { desktop.finishedNotifier->setEnabled(false); }},
        {"mailbox", [this](Arg digits) { Mailbox(digits); }},
        {"host", [this](Arg host) { Chosen().host = host == "none" ? "" : host; }},
        {"tray-appears", [this](Arg) { ShowInTray(desktop, TrayKind::XEmbed); }},
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
             app.offeredCertificate = CertificateDetails{std::string(62, 'a') + "0f", "CN=mail.home.test", "CN=Home CA", "2026-01-01", "2027-01-01"};
         }},
        // How the next modal windows are answered.
        {"cancel-after-menu", [this](Arg) {
             onModal = [this](QWidget* modal) {
                 MenuEntry(TrayMenuNames::Settings)->trigger(); // raises the open dialog, opens no second
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
        {"enter", [this](Arg) { onModal = [](QWidget* modal) { QTest::keyClick(modal, Qt::Key_Return); }; }},
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
        const qint64 icon = TrayIconShown(desktop.tray) ? desktop.tray.icon->icon().cacheKey() : 0;
        std::string rows, bold, saved, raw = RawValue("UIDList");
        for (int i = 0; i < List()->topLevelItemCount(); ++i) {
            rows += List()->topLevelItem(i)->text(0).toStdString();
            bold += List()->topLevelItem(i)->font(1).bold() ? rows.back() : '-';
        }
        for (std::size_t i = 7; i + 32 <= raw.size(); i += 32) // a digest per message: its digit sixteen times
            saved += static_cast<char>(std::stoi(raw.substr(i, 2), nullptr, 16));
        const std::map<std::string, std::string> seen = {
            {"icon", icon == desktop.tray.normalIcon.cacheKey() ? "N" : icon == desktop.tray.newMailIcon.cacheKey() ? "E" : icon == desktop.tray.errorIcon.cacheKey() ? "e" : "none"},
            {"tip", icon ? desktop.tray.icon->toolTip().toStdString() : ""},
            {"title", Window()->windowTitle().toStdString()},
            {"window icon", Window()->windowIcon().cacheKey() == desktop.appIcon.cacheKey() ? "app" : "picture"},
            {"unseen", Child<QLabel>(Names::UnseenCount)->text().toStdString()}, // the status bar's count
            {"bold", bold}, // the From column, '-' for a row not in bold
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
        {"key Escape+finish 1*", "icon=E | tip=You have new e-mail | window=hidden | unseen=1 new message"},
        {"post 16+post 12", "icon=E | tip=You have new e-mail\nConnecting to server..."}, // new mail outlives an error
        // The icon keeps still while the window shows.
        {"tray left+post 16", "icon=N | tip=No new e-mail | window=shown | rows=1 | bar=Cannot connect to the mail server."},
        {"finish 6*", "icon=N | tip=No new e-mail | rows=6 | bold=6 | unseen= | new mail=none"}, // seen in the window, never announced later
        {"hide+tray middle", "window=hidden"},
        {"balloon", "icon=N | tip=No new e-mail | window=shown"},
        {"button closeButton+tray double", "window=shown"},
        {"close-box+balloon+tray right", "window=hidden"}, // Qt reports a balloon click before a right click
        // A check's end and its last status in one wake-up (then one that only the status wakes):
        // the end is served first, else the new-mail tooltip would come last.
        {"wake 6*7", "count=2 | icon=E | tip=You have new e-mail\nSuccessfully checked for new messages."},
        {"open+hide+unwatch-finished+wake 678*", "count=3 | icon=E | tip=You have new e-mail\nSuccessfully checked for new messages."},
    });
}

TEST_F(DesktopTest, NewMailCountsUntilTheUserLooksAndWithoutATrayTheWindowSaysWhatTheIconWould)
{
    CreateWindows(false);
    Play({
        {"finish 1*", "icon=none | title=Postbell - You have new e-mail | window icon=picture | unseen=1 new message | window=hidden"},
        {"finish 2*1", "unseen=2 new messages"}, // two arrivals between looks
        {"post 16", "title=Postbell - Cannot connect to the mail server."},
        {"post 12", "title=Postbell - You have new e-mail"},
        {"open", "title=Postbell | window icon=app | unseen= | bold=21"}, // all that came since the last look
        {"hide+finish 3*21+open", "bold=3--"},
        {"hide+tray-appears", "icon=N | title=Postbell"}, // a later tray takes the face over
        {"finish 4*321", "icon=E | tip=You have new e-mail | unseen=1 new message"},
        {"menu markSeenAction", "icon=N | unseen="},
        {"open", "bold=----"},
        {"finish 5*4321", "icon=N | bold=5---- | unseen="}, // in the open window: bold, and never counted
        {"host none+button checkNowButton", "worker=none | bar=No mail account set up | tip=No mail account set up"},
    });
}

TEST_F(DesktopTest, CheckMailNowAndConfirmedSettingsRestartCheckAndTimerAndTheSeenListIsSavedAtOnce)
{
    CreateWindows();
    Play({
        {"delay 7+gate closed+mailbox 1*2*+button checkNowButton",
         "worker=none | bar=Waiting for a dial-up connection | tip=Waiting for a dial-up connection"},
        {"gate open+menu checkNowAction", "timer=7 min | count=2 | icon=E | saved=12"}, // saved at once: a crash would announce these again
        {"menu openAction+stop", "window=shown | icon=N | worker=none"},
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
        {"mailbox 2*+lock+load-store", "bar=Cannot read the settings store; trying again."},
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
        {"enter+button trustCertificate", "trust=offered"}, // Enter alone answers No
        {"yes+button trustCertificate", "trust=none | question~CN=mail.home.test | question~Issuer: CN=Home CA\n | question~\nAA:AA: | question~:0F\n"},
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
    MessageTable messages = Messages("1");
    AddMessage(messages, '2', true, std::string(200, 's'));
    Finish(messages);
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
    // Larger than the screen (a scale factor of 2, a small screen): fitted into its free area,
    // and what was stored is saved again, not the fitted size and place.
    for (auto [name, value] : {std::pair{"WindowLeft", 700}, {"WindowTop", 500}, {"WindowWidth", 5000}, {"WindowHeight", 4000}})
        RegistryKey::WriteDword(name, value);
    CreateMainWindow(desktop.window, desktop.appIcon, false, {});
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_TRUE(area.contains(Window()->frameGeometry())) << Window()->width() << "x" << Window()->height();
    SaveStoreAtExit(app, desktop);
    EXPECT_EQ(RawValue("WindowLeft") + RawValue("WindowTop") + RawValue("WindowWidth") + RawValue("WindowHeight"),
              "4|blob|BC0200004|blob|F40100004|blob|881300004|blob|A00F0000");
}

// Cancel at the first run, and no tray: the window comes up as the program's face, with no
// check and no advice to restart the computer.
TEST_F(DesktopTest, StartUpShowsTheFirstRunDialogBeforeAnyWindowAndWithoutATrayTheWindow)
{
    RegistryKey::WriteDword("FirstRun", 1);
    std::string seen;
    onModal = [&](QWidget* modal) { // a message box (a start-up error) has no name
        seen += modal->objectName().toStdString() + "|";
        for (QWidget* widget : QApplication::topLevelWidgets())
            seen += widget->objectName() == QLatin1String(Names::Dialog) ? "after the main window|" : "";
        modal->close();
    };
    QTimer face;
    QObject::connect(&face, &QTimer::timeout, [&] {
        for (QWidget* window : QApplication::topLevelWidgets())
            if (window->objectName() == QLatin1String(Names::Dialog) && window->isVisible() && !seen.ends_with("up|"))
                seen += (window->windowTitle() + ": " + window->findChild<QStatusBar*>()->currentMessage() + "|").toStdString(), QuitProgram();
    });
    face.start(10);
    EXPECT_EQ(RunPostbell(), 0);
    EXPECT_EQ(seen, SettingsDialogNames::Dialog + std::string("|Postbell: No mail account set up|"));
}

} // namespace
