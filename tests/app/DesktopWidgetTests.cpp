// The desktop program's windows and tray icon under the offscreen platform. The offscreen
// platform has no system tray: the QSystemTrayIcon still exists and keeps the picture and
// tooltip it is given, and these are what the tests read back.

#include "CheckScheduling.h"
#include "CheckSession.h"
#include "Desktop.h"
#include "SettingsDialog.h"
#include "SettingsModel.h"
#include "StoreTestSupport.h"
#include "StringTable.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QHeaderView>
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

#include <chrono>
#include <csignal>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

namespace Names = MainWindowNames;

// Runs the event loop until pred holds, for at most timeoutMs.
bool ProcessEventsUntil(const std::function<bool()>& pred, int timeoutMs = 10000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

MessageInfo Message(std::uint32_t number, std::string from, std::string subject)
{
    return {DigestFromBytes(std::string(16, static_cast<char>(number))), number, std::move(from), std::move(subject)};
}

// A check that needs no server: it reports progress, hands over these messages and ends.
CheckRoutine FakeCheck(std::vector<MessageInfo> messages, bool newMail)
{
    return [messages, newMail](std::shared_ptr<WorkerLink> link, CheckRequest) -> std::uint32_t {
        link->PostStatus(12);
        CheckResults results;
        for (const MessageInfo& message : messages) {
            results.messages[message.number] = message;
            results.digests.insert(*message.uidDigest);
        }
        results.newMail = newMail;
        link->PublishResults(std::move(results));
        link->PostStatus(15);
        link->SignalFinished();
        return 0;
    };
}

// Runs act on the next modal window once it is up; a watchdog closes whatever is left open.
struct ModalDriver {
    explicit ModalDriver(std::function<void(QWidget*)> act)
    {
        QObject::connect(&driver, &QTimer::timeout, [this, act] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                driver.stop();
                act(modal);
            }
        });
        QObject::connect(&watchdog, &QTimer::timeout, [] {
            while (QWidget* modal = QApplication::activeModalWidget())
                modal->close();
        });
        driver.start(10);
        watchdog.setSingleShot(true);
        watchdog.start(30000);
    }
    QTimer driver;
    QTimer watchdog;
};

struct DesktopTest : ::testing::Test {
    TempConfigHome home;
    Application app;
    Desktop desktop;

    DesktopTest()
    {
        app.desktop = &desktop;
        app.checkRoutine = FakeCheck({}, false);
    }
    ~DesktopTest() override
    {
        StopCheck(app);
        app.desktop = nullptr;
    }

    // The windows as start-up makes them, before the icon is added.
    void CreateWindows()
    {
        LoadIcons(desktop);
        CreateMainWindow(app);
        CreateTrayIcon(app);
        AddTrayIcon(app, false);
    }

    QDialog* Window() { return desktop.mainWindow.get(); }
    template <typename Widget> Widget* Child(const char* name)
    {
        auto* widget = Window()->findChild<Widget*>(QLatin1String(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    std::string Picture() const
    {
        const qint64 key = desktop.trayIcon->icon().cacheKey();
        if (key == desktop.normalIcon.cacheKey())
            return "normal";
        if (key == desktop.newMailIcon.cacheKey())
            return "new mail";
        if (key == desktop.errorIcon.cacheKey())
            return "error";
        return "other";
    }
    std::string ToolTip() const { return desktop.trayIcon->toolTip().toStdString(); }
    std::string StatusBarText() const { return desktop.statusBar->currentMessage().toStdString(); }

    void Post(StatusCode code)
    {
        app.status.store(code);
        app.statusEvent.Set();
        ASSERT_TRUE(ServeStatusEvent(app));
    }
    void Finish(bool newMail, const std::vector<MessageInfo>& messages = {})
    {
        {
            std::lock_guard lock(app.resultsMutex);
            app.messages.clear();
            for (const MessageInfo& message : messages)
                app.messages[message.number] = message;
            app.newMail = newMail;
        }
        app.finishedEvent.Set();
        ASSERT_TRUE(ServeFinishedEvent(app));
    }
    std::vector<std::string> Rows(int column)
    {
        std::vector<std::string> rows;
        for (int i = 0; i < desktop.messageList->topLevelItemCount(); ++i)
            rows.push_back(desktop.messageList->topLevelItem(i)->text(column).toStdString());
        return rows;
    }
};

TEST_F(DesktopTest, MainWindowHasTheTemplatesControlsInTabOrder)
{
    CreateWindows();
    QDialog* window = Window();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), "Postbell");
    EXPECT_EQ(window->minimumSize(), window->maximumSize()) << "the window must not be resizable";
    EXPECT_FALSE(window->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(window->windowFlags() & Qt::WindowCloseButtonHint);

    EXPECT_EQ(Child<QLabel>(Names::TotalLabel)->text(), "Total messages:");
    EXPECT_EQ(desktop.countLabel->text(), "Not checked yet");
    EXPECT_EQ(StatusBarText(), "Not connected");
    EXPECT_FALSE(desktop.statusBar->isSizeGripEnabled());

    QTreeWidget* list = desktop.messageList;
    EXPECT_EQ(list->headerItem()->text(0), "From");
    EXPECT_EQ(list->headerItem()->text(1), "Subject");
    EXPECT_FALSE(list->rootIsDecorated());
    EXPECT_FALSE(list->isSortingEnabled());
    EXPECT_FALSE(list->header()->sectionsClickable());

    // The focus chain from the list runs through the buttons in the template's order.
    const std::vector<std::pair<const char*, const char*>> buttons = {{Names::About, "&About..."},
                                                                      {Names::Settings, "&Settings..."},
                                                                      {Names::CheckNow, "Check Mail &Now"},
                                                                      {Names::Exit, "E&xit"},
                                                                      {Names::Close, "&Close"}};
    QWidget* previous = list;
    for (const auto& [name, text] : buttons) {
        auto* button = Child<QPushButton>(name);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->text(), text);
        EXPECT_FALSE(button->isDefault() || button->autoDefault()) << name;
        QWidget* next = previous->nextInFocusChain();
        while (next != button && !(next->focusPolicy() & Qt::TabFocus) && next != list)
            next = next->nextInFocusChain();
        EXPECT_EQ(next, button) << name;
        previous = button;
    }

    // Laid out: the status bar below the buttons, the buttons below the list.
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    auto* close = Child<QPushButton>(Names::Close);
    EXPECT_GE(close->geometry().top(), list->geometry().bottom());
    EXPECT_GE(desktop.statusBar->geometry().top(), close->geometry().bottom());
    EXPECT_EQ(desktop.statusBar->geometry().bottom(), window->rect().bottom());
}

TEST_F(DesktopTest, ResultsShowHighestNumberFirstWithTheirCount)
{
    CreateWindows();
    const std::string longSender = "A Sender Whose Name Is Rather Long <long.sender@example.org>";
    Finish(false, {Message(1, "one@example.org", "first"), Message(2, longSender, ""),
                   Message(3, "three@example.org", "third")});
    EXPECT_EQ(desktop.countLabel->text(), "3");
    // A hidden window gets its rows when it is shown.
    EXPECT_EQ(desktop.messageList->topLevelItemCount(), 0);
    ShowMainWindow(app);
    EXPECT_EQ(Rows(0), (std::vector<std::string>{"three@example.org", longSender, "one@example.org"}));
    EXPECT_EQ(Rows(1), (std::vector<std::string>{"third", "", "first"}));
    // The sender column fits its widest entry.
    const int widest = desktop.messageList->fontMetrics().horizontalAdvance(QString::fromStdString(longSender));
    EXPECT_GE(desktop.messageList->columnWidth(0), widest);

    // A visible window shows new results at once.
    Finish(false, {Message(4, "four@example.org", "fourth")});
    EXPECT_EQ(Rows(1), (std::vector<std::string>{"fourth"}));
    Finish(false, {});
    EXPECT_EQ(desktop.countLabel->text(), "0");
    EXPECT_EQ(desktop.messageList->topLevelItemCount(), 0);

    // Rows built for a window that is hidden again give way to the next results, kept
    // for the next showing.
    Window()->hide();
    Finish(false, {Message(5, "five@example.org", "fifth")});
    EXPECT_EQ(desktop.countLabel->text(), "1");
    EXPECT_EQ(desktop.messageList->topLevelItemCount(), 0);
    ShowMainWindow(app);
    EXPECT_EQ(Rows(0), (std::vector<std::string>{"five@example.org"}));
}

TEST_F(DesktopTest, TrayIconFollowsNewMailErrorsAndOpeningWhileHidden)
{
    CreateWindows();
    EXPECT_EQ(Picture(), "normal");
    EXPECT_EQ(ToolTip(), "No new e-mail");

    // New mail while hidden, then a failing check, then the next check's first status.
    Finish(true, {Message(1, "a", "b")});
    EXPECT_EQ(Picture(), "new mail");
    EXPECT_EQ(ToolTip(), "You have new e-mail");
    EXPECT_TRUE(app.trayShowsNewMail);
    EXPECT_FALSE(app.newMail);

    Post(16);
    EXPECT_EQ(Picture(), "error");
    EXPECT_EQ(ToolTip(), "Cannot connect to the mail server.");
    EXPECT_EQ(StatusBarText(), "Cannot connect to the mail server.");

    Post(12);
    EXPECT_EQ(Picture(), "new mail") << "the new-mail state outlives an error";
    EXPECT_EQ(ToolTip(), "Connecting to server...");

    // A failed check, then a click on the icon: the error picture goes, the status bar keeps the text.
    Post(17);
    emit desktop.trayIcon->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(Window()->isVisible());
    EXPECT_EQ(Picture(), "normal");
    EXPECT_EQ(ToolTip(), "No new e-mail");
    EXPECT_FALSE(app.trayShowsNewMail);
    EXPECT_EQ(StatusBarText(), "User name or password was rejected by the mail server.");

    // Closing the window changes nothing; the next status while hidden does.
    Window()->reject();
    EXPECT_FALSE(Window()->isVisible());
    EXPECT_EQ(Picture(), "normal");
    EXPECT_EQ(ToolTip(), "No new e-mail");
    Post(13);
    EXPECT_EQ(Picture(), "normal");
    EXPECT_EQ(ToolTip(), "Sending user name and password...");

    // The other ways in: a balloon click and a double click; a middle click does nothing.
    emit desktop.trayIcon->activated(QSystemTrayIcon::MiddleClick);
    EXPECT_FALSE(Window()->isVisible());
    emit desktop.trayIcon->messageClicked();
    EXPECT_TRUE(ProcessEventsUntil([&] { return Window()->isVisible(); }));
    Window()->reject();
    emit desktop.trayIcon->activated(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(Window()->isVisible());
    Window()->reject();

    // A right click while a balloon shows: Qt reports a balloon click first, yet the menu is meant.
    emit desktop.trayIcon->messageClicked();
    emit desktop.trayIcon->activated(QSystemTrayIcon::Context);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_FALSE(Window()->isVisible());
}

TEST_F(DesktopTest, NothingChangesTheIconWhileTheWindowIsVisible)
{
    CreateWindows();
    ShowMainWindow(app);
    Post(16);
    EXPECT_EQ(StatusBarText(), "Cannot connect to the mail server.");
    EXPECT_EQ(Picture(), "normal");
    EXPECT_EQ(ToolTip(), "No new e-mail");

    Finish(true, {Message(4, "new@example.org", "hello")});
    EXPECT_EQ(Rows(0), std::vector<std::string>{"new@example.org"});
    EXPECT_EQ(Picture(), "normal");
    EXPECT_FALSE(app.trayShowsNewMail);
    EXPECT_FALSE(app.newMail) << "new mail seen in the window is not announced later";

    Window()->reject();
    Post(15);
    EXPECT_EQ(Picture(), "normal");
    EXPECT_EQ(ToolTip(), "Successfully checked for new messages.");
}

TEST_F(DesktopTest, FinishedIsServedBeforeTheStatusOfTheSameWakeUp)
{
    CreateWindows();
    WatchWorkerEvents(app);
    const auto signalBoth = [&](std::uint32_t messageNumber) {
        {
            std::lock_guard lock(app.resultsMutex);
            app.messages[messageNumber] = Message(messageNumber, "a", "b");
            app.newMail = true;
        }
        app.status.store(15);
        app.statusEvent.Set();
        app.finishedEvent.Set();
    };
    const auto bothServed = [&](const char* count) {
        return desktop.countLabel->text() == QLatin1String(count) &&
               ToolTip() == "Successfully checked for new messages.";
    };
    signalBoth(1);
    ASSERT_TRUE(ProcessEventsUntil([&] { return bothServed("1"); }));
    // Served the other way round, the new-mail tooltip would have come last.
    EXPECT_EQ(Picture(), "new mail");
    EXPECT_EQ(ToolTip(), "Successfully checked for new messages.");

    // Whichever wakes the loop: here only the status watcher can.
    ShowMainWindow(app);
    Window()->reject();
    desktop.finishedNotifier->setEnabled(false);
    signalBoth(2);
    ASSERT_TRUE(ProcessEventsUntil([&] { return bothServed("2"); }));
    EXPECT_EQ(Picture(), "new mail");
}

TEST_F(DesktopTest, EscCloseAndTheCloseBoxHideTheWindowAndEnterDoesNothing)
{
    CreateWindows();
    QDialog* window = Window();
    const auto showAndWait = [&] {
        ShowMainWindow(app);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    };

    showAndWait();
    QTest::keyClick(window, Qt::Key_Return);
    EXPECT_TRUE(window->isVisible());
    QTest::keyClick(window, Qt::Key_Escape);
    EXPECT_FALSE(window->isVisible());

    showAndWait();
    QTest::mouseClick(Child<QPushButton>(Names::Close), Qt::LeftButton);
    EXPECT_FALSE(window->isVisible());

    showAndWait();
    window->close();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(Picture(), "normal");
}

TEST_F(DesktopTest, ContextMenuOffersOpenAsDefaultAndExit)
{
    CreateWindows();
    QMenu* menu = desktop.trayIcon->contextMenu();
    ASSERT_NE(menu, nullptr);
    const QList<QAction*> actions = menu->actions();
    ASSERT_EQ(actions.size(), 2);
    EXPECT_EQ(actions[0]->text(), "&Open");
    EXPECT_EQ(actions[1]->text(), "E&xit");
    EXPECT_EQ(menu->defaultAction(), actions[0]);

    ShowNewMailIcon(app);
    actions[0]->trigger();
    EXPECT_TRUE(Window()->isVisible());
    EXPECT_EQ(Picture(), "normal");
}

TEST_F(DesktopTest, WindowStandsAtTheSavedPlaceExceptOnAFirstRun)
{
    SeedValue("WindowLeft", 4, std::string("\x21\x00\x00\x00", 4));
    SeedValue("WindowTop", 4, std::string("\x2C\x00\x00\x00", 4));
    CreateWindows();
    EXPECT_EQ(Window()->pos(), QPoint(33, 44));
    ASSERT_EQ(MainWindowPosition(app).has_value(), true);
    EXPECT_EQ(MainWindowPosition(app)->left, 33);

    const QPoint workAreaCorner = QGuiApplication::primaryScreen()->availableGeometry().topLeft();
    app.firstRun = true;
    CreateMainWindow(app);
    EXPECT_EQ(Window()->pos(), workAreaCorner);

    // A place on no screen (a monitor that is gone) would leave the window out of reach.
    app.firstRun = false;
    SeedValue("WindowLeft", 4, std::string("\x00\x00\xFF\xFF", 4)); // -65536
    CreateMainWindow(app);
    EXPECT_EQ(Window()->pos(), workAreaCorner);
}

TEST_F(DesktopTest, CheckMailNowRestartsTheCheckAndTheTimerAndSavesTheSeenDigests)
{
    app.settings.delay = 7;
    app.checkRoutine = FakeCheck({Message(1, "old@example.org", "old"), Message(2, "new@example.org", "new")}, true);
    CreateWindows();
    WatchWorkerEvents(app);

    Child<QPushButton>(Names::CheckNow)->click();
    EXPECT_TRUE(desktop.checkTimer.isActive());
    EXPECT_EQ(desktop.checkTimer.interval(), 7 * 60000);
    ASSERT_TRUE(ProcessEventsUntil([&] { return desktop.countLabel->text() == "2"; }));
    EXPECT_EQ(Picture(), "new mail");
    // Saved at once, so a crash cannot turn these two into new mail again.
    EXPECT_EQ(RawValue("UIDList"), "3|blob|" + Hex(std::string(16, '\1') + std::string(16, '\2')));
    ShowMainWindow(app);
    EXPECT_EQ(Rows(0), (std::vector<std::string>{"new@example.org", "old@example.org"}));
}

TEST_F(DesktopTest, CancelledSettingsLeaveTheTimerAloneAndConfirmedOnesRestartIt)
{
    app.settings.delay = 5;
    CreateWindows();
    ShowMainWindow(app);
    StartCheckTimer(app);
    // A restart would re-arm the timer with this interval.
    app.settings.delay = 9;

    {
        ModalDriver driver([](QWidget* modal) { modal->close(); });
        Child<QPushButton>(Names::Settings)->click();
    }
    EXPECT_EQ(desktop.checkTimer.interval(), 5 * 60000);
    EXPECT_FALSE(app.workerThread);

    {
        ModalDriver driver([](QWidget* modal) {
            modal->findChild<QLineEdit*>(QLatin1String(SettingsDialogNames::Interval))->setText("1");
            modal->findChild<QPushButton*>(QLatin1String(SettingsDialogNames::Ok))->click();
        });
        Child<QPushButton>(Names::Settings)->click();
    }
    EXPECT_EQ(app.settings.delay, 1u);
    EXPECT_EQ(desktop.checkTimer.interval(), 60000);
    EXPECT_TRUE(app.workerThread) << "a confirmed dialog starts a check";
}

TEST_F(DesktopTest, SessionEndSignalSavesTheStateThenEndsTheLoop)
{
    CreateWindows();
    WatchSessionEnd(app);
    Window()->move(50, 60);
    {
        std::lock_guard lock(app.resultsMutex);
        app.seenDigests.insert(DigestFromBytes(std::string(16, '\7')));
    }
    QTimer::singleShot(0, [] { std::raise(SIGTERM); });
    QTimer watchdog;
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    watchdog.start(30000);
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_EQ(RawValue("WindowLeft"), "4|blob|32000000");
    EXPECT_EQ(RawValue("WindowTop"), "4|blob|3C000000");
    EXPECT_EQ(RawValue("UIDList"), "3|blob|" + Hex(std::string(16, '\7')));
}

TEST_F(DesktopTest, StartUpShowsTheFirstRunDialogFirstAndReportsAMissingTray)
{
    // The offscreen platform has no system tray: start-up must end in message 4, exit code 0.
    SeedValue("FirstRun", 4, std::string("\x01\x00\x00\x00", 4));
    std::vector<std::string> seen;
    bool mainWindowExistedAtFirstRun = true;
    QMessageBox::Icon errorIcon = QMessageBox::NoIcon;
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr)
            return;
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            seen.push_back(box->text().toStdString());
            errorIcon = box->icon();
        } else {
            seen.push_back(modal->objectName().toStdString());
            mainWindowExistedAtFirstRun = false;
            for (QWidget* widget : QApplication::topLevelWidgets())
                mainWindowExistedAtFirstRun |= widget->objectName() == QLatin1String(Names::Dialog);
        }
        modal->close();
    });
    driver.start(10);
    EXPECT_EQ(RunPostbell(), 0);
    driver.stop();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], SettingsDialogNames::Dialog);
    EXPECT_FALSE(mainWindowExistedAtFirstRun);
    EXPECT_EQ(seen[1], std::string(LoadString(4).value()));
    EXPECT_EQ(errorIcon, QMessageBox::Critical);
    EXPECT_EQ(RawValue("FirstRun"), "4|blob|00000000");
}

} // namespace

int main(int argc, char** argv)
{
    // Widget tests run without a display unless one is asked for.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
