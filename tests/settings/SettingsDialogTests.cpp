#include "AutostartEntry.h"
#include "PasswordKeyring.h"
#include "RegistryKey.h"
#include "SettingsDialog.h"
#include "SettingsModel.h"
#include "StoreTestSupport.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <functional>
#include <string>

// Readable failure messages.
void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

namespace {

namespace Names = SettingsDialogNames;

template <typename Widget>
Widget* Child(QDialog* dialog, const char* name)
{
    auto* widget = dialog->findChild<Widget*>(QLatin1String(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

QLineEdit* Field(QDialog* dialog, const char* name)
{
    return Child<QLineEdit>(dialog, name);
}

// Opens the dialog over settings and runs act on it once it is shown. A dialog that
// act leaves open is cancelled; a watchdog ends anything still open after 30 s.
bool RunDialog(Settings& settings, const std::function<void(QDialog*)>& act)
{
    bool acted = false;
    QTimer driver;
    driver.setSingleShot(true);
    QObject::connect(&driver, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        acted = dialog != nullptr && dialog->objectName() == QLatin1String(Names::Dialog);
        if (!acted)
            return;
        act(dialog);
        if (dialog->isVisible())
            dialog->reject();
    });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] {
        while (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
    });
    driver.start(0);
    watchdog.start(30000);
    const bool confirmed = RunSettingsDialog(settings, nullptr);
    EXPECT_TRUE(acted) << "the dialog was not found";
    return confirmed;
}

struct Warning {
    bool shown = false;
    QString caption;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

// Presses OK; a message box that it raises is recorded and dismissed.
Warning PressOk(QDialog* dialog)
{
    Warning warning;
    QTimer dismiss;
    dismiss.setSingleShot(true);
    QObject::connect(&dismiss, &QTimer::timeout, [&warning] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            warning = {true, box->windowTitle(), box->text(), box->icon()};
            box->accept();
        }
    });
    dismiss.start(0);
    Child<QPushButton>(dialog, Names::Ok)->click();
    return warning;
}

void ExpectSameSettings(const Settings& actual, const Settings& expected)
{
    EXPECT_EQ(actual.host, expected.host);
    EXPECT_EQ(actual.user, expected.user);
    EXPECT_EQ(actual.password, expected.password);
    EXPECT_EQ(actual.port, expected.port);
    EXPECT_EQ(actual.delay, expected.delay);
    EXPECT_EQ(actual.waitForDialup, expected.waitForDialup);
    EXPECT_EQ(actual.runAtStartup, expected.runAtStartup);
    EXPECT_EQ(actual.showNotification, expected.showNotification);
}

Settings SomeSettings()
{
    Settings settings;
    settings.host = "pop.example.org";
    settings.user = "alice";
    settings.password = "s3cret";
    settings.port = 4000;
    settings.delay = 15;
    return settings;
}

struct SettingsDialogTest : ::testing::Test {
    TempConfigHome home;
};

TEST_F(SettingsDialogTest, ShowsTheSettingsCentredInTabOrder)
{
    Settings settings = SomeSettings();
    RunDialog(settings, [](QDialog* dialog) {
        EXPECT_EQ(dialog->windowTitle(), "Postbell Settings");
        EXPECT_EQ(dialog->windowModality(), Qt::WindowModal) << "the tray must stay usable";
        const QRect screen = dialog->screen()->availableGeometry();
        EXPECT_LE((dialog->geometry().center() - screen.center()).manhattanLength(), 8);
        EXPECT_TRUE(Child<QCheckBox>(dialog, Names::ShowNotification)->isChecked());
        EXPECT_EQ(Field(dialog, Names::Password)->text(), "s3cret");
        EXPECT_EQ(Field(dialog, Names::Password)->echoMode(), QLineEdit::Password);
        const char* order[] = {Names::Server,       Names::Port,         Names::Security,         Names::Account,
                               Names::Password,     Names::Interval,     Names::WaitForDialup,    Names::RunAtStartup,
                               Names::ShowNotification, Names::Ok,       Names::Cancel,           Names::Server};
        QWidget* widget = Field(dialog, Names::Server);
        for (const char* name : order) {
            EXPECT_EQ(widget->objectName(), QLatin1String(name));
            do
                widget = widget->nextInFocusChain();
            while (!(widget->focusPolicy() & Qt::TabFocus));
        }
    });
}

TEST_F(SettingsDialogTest, AnIntervalOutsideOneToSixtyIsRefusedAndChangesNothing)
{
    for (const char* entry : {"0", "61", "-5", "often", ""}) {
        Settings settings = SomeSettings();
        const bool confirmed = RunDialog(settings, [entry](QDialog* dialog) {
            Field(dialog, Names::Server)->setText("changed.example.org");
            Field(dialog, Names::Port)->setText("995");
            Child<QCheckBox>(dialog, Names::RunAtStartup)->setChecked(true);
            Field(dialog, Names::Interval)->setText(QLatin1String(entry));
            const Warning warning = PressOk(dialog);
            EXPECT_TRUE(warning.shown) << entry;
            EXPECT_EQ(warning.caption, "Postbell Settings");
            EXPECT_EQ(warning.text, "You may check for new messages every 1 to 60 minutes only.");
            EXPECT_EQ(warning.icon, QMessageBox::Warning);
            EXPECT_TRUE(dialog->isVisible()) << entry;
            EXPECT_EQ(Field(dialog, Names::Interval)->text(), QLatin1String(entry));
            EXPECT_EQ(Field(dialog, Names::Server)->text(), "changed.example.org");
        });
        EXPECT_FALSE(confirmed) << entry;
        ExpectSameSettings(settings, SomeSettings());
        EXPECT_FALSE(PathExists(home.configHome)) << "something was stored for " << entry;
    }
    for (const auto& [entry, minutes] : {std::pair{"1", 1u}, std::pair{"60", 60u}}) {
        Settings settings = SomeSettings();
        const bool confirmed = RunDialog(settings, [entry = entry](QDialog* dialog) {
            Field(dialog, Names::Interval)->setText(QLatin1String(entry));
            EXPECT_FALSE(PressOk(dialog).shown) << entry;
        });
        EXPECT_TRUE(confirmed) << entry;
        EXPECT_EQ(settings.delay, minutes);
        std::uint32_t stored = 0;
        EXPECT_EQ(RegistryKey::ReadDword("Delay", stored), StoreRead::Found);
        EXPECT_EQ(stored, minutes);
    }
}

TEST_F(SettingsDialogTest, TheUpDownArrowsStepWithinOneToSixtyWithoutWrapping)
{
    Settings settings = SomeSettings();
    RunDialog(settings, [](QDialog* dialog) {
        QLineEdit* interval = Field(dialog, Names::Interval);
        auto* up = Child<QToolButton>(dialog, Names::UpArrow);
        auto* down = Child<QToolButton>(dialog, Names::DownArrow);
        up->click();
        EXPECT_EQ(interval->text(), "16");
        interval->setText("59");
        up->click();
        EXPECT_EQ(interval->text(), "60");
        up->click();
        EXPECT_EQ(interval->text(), "60");
        interval->setText("2");
        down->click();
        EXPECT_EQ(interval->text(), "1");
        down->click();
        EXPECT_EQ(interval->text(), "1");
        interval->setText("500"); // a number beyond the range starts from the limit
        down->click();
        EXPECT_EQ(interval->text(), "59");
        interval->setText("soon"); // no number: from where the control last stood
        up->click();
        EXPECT_EQ(interval->text(), "60");

        // The keys act on the focused field of the active window.
        dialog->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(dialog));
        interval->setFocus();
        ASSERT_TRUE(interval->hasFocus());
        interval->setText("30");
        QTest::keyClick(interval, Qt::Key_Up);
        EXPECT_EQ(interval->text(), "31");
        QTest::keyClick(interval, Qt::Key_Down);
        QTest::keyClick(interval, Qt::Key_Down);
        EXPECT_EQ(interval->text(), "29");
        EXPECT_FALSE(up->focusPolicy() & Qt::TabFocus);
    });
}

TEST_F(SettingsDialogTest, APortThatIsNoNumberOrOutOfRangeBecomes110)
{
    const std::pair<const char*, std::uint16_t> cases[] = {
        {"", 110}, {"0", 110}, {"65536", 110}, {"70000", 110}, {"pop", 110}, {"65535", 65535}, {"995", 995}};
    for (const auto& [entry, port] : cases) {
        Settings settings = SomeSettings();
        const bool confirmed = RunDialog(settings, [entry = entry](QDialog* dialog) {
            Field(dialog, Names::Port)->setText(QLatin1String(entry));
            EXPECT_FALSE(PressOk(dialog).shown);
        });
        EXPECT_TRUE(confirmed) << entry;
        EXPECT_EQ(settings.port, port) << entry;
        EXPECT_EQ(RawValue("Port"), "4|blob|" + Hex(std::string{static_cast<char>(port & 0xFF),
                                                                 static_cast<char>(port >> 8), 0, 0}))
            << entry;
    }
}

TEST_F(SettingsDialogTest, OkStoresTheEntriesAndReopeningShowsThem)
{
    const std::string longHost = std::string(300, 'h');
    const std::string password = std::string(254, 'p') + "é"; // the cut would split the "é"
    Settings settings = SomeSettings();
    const bool confirmed = RunDialog(settings, [&](QDialog* dialog) {
        Field(dialog, Names::Server)->setText(QString::fromStdString(longHost));
        Field(dialog, Names::Account)->setText(" bob ");
        Field(dialog, Names::Password)->setText(QString::fromStdString(password));
        Field(dialog, Names::Port)->setText("70000");
        Field(dialog, Names::Interval)->setText("45");
        Child<QCheckBox>(dialog, Names::WaitForDialup)->setChecked(true);
        Child<QCheckBox>(dialog, Names::RunAtStartup)->setChecked(true);
        Child<QCheckBox>(dialog, Names::ShowNotification)->setChecked(false);
        QTest::keyClick(Field(dialog, Names::Account), Qt::Key_Return); // OK is the default button
    });
    ASSERT_TRUE(confirmed);
    EXPECT_EQ(settings.host, std::string(255, 'h'));
    EXPECT_EQ(settings.user, " bob ");
    EXPECT_EQ(settings.password, std::string(254, 'p'));
    EXPECT_EQ(settings.port, 110);
    EXPECT_EQ(settings.delay, 45u);
    EXPECT_TRUE(settings.waitForDialup);
    EXPECT_TRUE(settings.runAtStartup);
    EXPECT_FALSE(settings.showNotification);
    EXPECT_TRUE(PathExists(AutostartEntryPath()));

    Application app;
    LoadSettings(app);
    ExpectSameSettings(app.settings, settings);
    EXPECT_EQ(RawValue("Host"), "1|blob|" + Hex(std::string(255, 'h') + '\0'));

    // Reopened over what was loaded; OK with the log-on box clear removes the entry.
    const bool again = RunDialog(app.settings, [](QDialog* dialog) {
        EXPECT_EQ(Field(dialog, Names::Server)->text(), QString(255, 'h'));
        EXPECT_EQ(Field(dialog, Names::Account)->text(), " bob ");
        EXPECT_EQ(Field(dialog, Names::Port)->text(), "110");
        EXPECT_EQ(Field(dialog, Names::Interval)->text(), "45");
        EXPECT_TRUE(Child<QCheckBox>(dialog, Names::WaitForDialup)->isChecked());
        EXPECT_FALSE(Child<QCheckBox>(dialog, Names::ShowNotification)->isChecked());
        QCheckBox* runAtStartup = Child<QCheckBox>(dialog, Names::RunAtStartup);
        EXPECT_TRUE(runAtStartup->isChecked());
        runAtStartup->setChecked(false);
        EXPECT_FALSE(PressOk(dialog).shown);
    });
    EXPECT_TRUE(again);
    EXPECT_FALSE(app.settings.runAtStartup);
    EXPECT_FALSE(PathExists(AutostartEntryPath()));
    bool stored = true;
    EXPECT_EQ(RegistryKey::ReadBool("RunAtStartup", stored), StoreRead::Found);
    EXPECT_FALSE(stored);
}

TEST_F(SettingsDialogTest, ThePortAndTheWarningFollowTheSecurityChoice)
{
    // Each row, from the choice of the row before: the port typed, the new choice, the port after it.
    struct Step {
        const char* port;
        Security choice;
        const char* portAfter;
    };
    const Step steps[] = {
        {"110", Security::Tls, "995"},  {"995", Security::StartTls, "110"}, {"110", Security::Tls, "995"},
        {"995", Security::None, "110"}, {"1100", Security::Tls, "1100"},    {"995", Security::StartTls, "110"},
        {"995", Security::Tls, "995"},  {"2995", Security::StartTls, "2995"},
    };
    Settings settings = SomeSettings();
    settings.trustedFingerprint = std::string(64, 'b');
    const bool confirmed = RunDialog(settings, [&](QDialog* dialog) {
        auto* choice = Child<QComboBox>(dialog, Names::Security);
        QWidget* warning = Child<QLabel>(dialog, Names::PlainWarning);
        EXPECT_EQ(choice->currentText(), "None");
        EXPECT_TRUE(warning->isVisibleTo(dialog)) << "None with a server elsewhere";
        for (const Step& step : steps) {
            Field(dialog, Names::Port)->setText(QLatin1String(step.port));
            choice->setCurrentIndex(static_cast<int>(step.choice));
            EXPECT_EQ(Field(dialog, Names::Port)->text(), QLatin1String(step.portAfter)) << step.port;
            EXPECT_EQ(warning->isVisibleTo(dialog), step.choice == Security::None) << step.port;
        }
        choice->setCurrentIndex(static_cast<int>(Security::None));
        Field(dialog, Names::Port)->setText("2995");
        for (const char* local : {"localhost", "127.0.0.1", "::1"}) {
            Field(dialog, Names::Server)->setText(QLatin1String(local));
            EXPECT_FALSE(warning->isVisibleTo(dialog)) << local;
        }
        Field(dialog, Names::Server)->setText("pop.example.org");
        EXPECT_TRUE(warning->isVisibleTo(dialog));
        choice->setCurrentIndex(static_cast<int>(Security::StartTls));
        Field(dialog, Names::Server)->setText("mail.example.org");
        EXPECT_FALSE(PressOk(dialog).shown);
    });
    ASSERT_TRUE(confirmed);
    EXPECT_EQ(settings.security, Security::StartTls);
    EXPECT_EQ(settings.port, 2995);
    EXPECT_EQ(settings.trustedFingerprint, "") << "a new server forgets the trusted certificate";
}

TEST_F(SettingsDialogTest, CancelEscapeAndTheCloseBoxChangeNothing)
{
    const std::function<void(QDialog*)> endings[] = {
        [](QDialog* dialog) { Child<QPushButton>(dialog, Names::Cancel)->click(); },
        [](QDialog* dialog) { QTest::keyClick(Field(dialog, Names::Server), Qt::Key_Escape); },
        [](QDialog* dialog) { dialog->close(); },
    };
    for (const auto& end : endings) {
        Settings settings = SomeSettings();
        const bool confirmed = RunDialog(settings, [&end](QDialog* dialog) {
            Field(dialog, Names::Server)->setText("other.example.org");
            Field(dialog, Names::Port)->setText("995");
            Field(dialog, Names::Account)->setText("mallory");
            Field(dialog, Names::Password)->setText("guess");
            Field(dialog, Names::Interval)->setText("30");
            Child<QCheckBox>(dialog, Names::WaitForDialup)->setChecked(true);
            Child<QCheckBox>(dialog, Names::RunAtStartup)->setChecked(true);
            end(dialog);
            EXPECT_FALSE(dialog->isVisible());
        });
        EXPECT_FALSE(confirmed);
        ExpectSameSettings(settings, SomeSettings());
        EXPECT_FALSE(PathExists(home.configHome));
    }
}

// Run twice: as it is, without a session bus, and by with_keyring.sh with a Secret Service.
TEST_F(SettingsDialogTest, ThePasswordGoesToTheKeyringWhenThereIsOne)
{
    const bool keyring = !qEnvironmentVariableIsEmpty("POSTBELL_TEST_KEYRING");
    ASSERT_TRUE(RegistryKey::WriteString("Password", "seeded by a script"));
    Application app;
    LoadSettings(app);
    LoadKeyringPassword(app.settings.password);
    EXPECT_EQ(app.settings.password, "seeded by a script") << "a password in the store is still used";

    const bool confirmed = RunDialog(app.settings, [keyring](QDialog* dialog) {
        auto* place = Child<QLabel>(dialog, Names::PasswordPlace);
        EXPECT_TRUE(QTest::qWaitFor([place] { return !place->text().isEmpty(); }, 20000));
        EXPECT_TRUE(place->text().contains(keyring ? "keyring" : "settings file")) << place->text().toStdString();
        Field(dialog, Names::Password)->setText("kept safe");
        EXPECT_FALSE(PressOk(dialog).shown);
    });
    ASSERT_TRUE(confirmed);
    std::string stored;
    EXPECT_EQ(RegistryKey::ReadString("Password", stored), StoreRead::Found);
    EXPECT_EQ(stored, keyring ? "" : "kept safe");

    Application next; // the next start
    LoadSettings(next);
    LoadKeyringPassword(next.settings.password);
    EXPECT_EQ(next.settings.password, "kept safe");
}

} // namespace

int main(int argc, char** argv)
{
    // Widget tests run without a display unless one is asked for.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never the user's own keyring: a test keyring is given only by tests/settings/with_keyring.sh.
    if (qEnvironmentVariableIsEmpty("POSTBELL_TEST_KEYRING"))
        qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
