#include "AutostartEntry.h"
#include "EntryRules.h"
#include "PasswordKeyring.h"
#include "SettingsDialog.h"
#include "SettingsModel.h"
#include "StoreTestSupport.h"

#include <gtest/gtest.h>

#include <QTest>
#include <QtWidgets>

#include <fstream>

namespace {

namespace Names = SettingsDialogNames;

QString lastWarning;

// Opens the dialog over settings and runs act on it once shown; a dialog left open is cancelled.
// A message box that act raises is dismissed, its text kept in lastWarning.
bool RunDialog(Settings& settings, const std::function<void(QDialog*)>& act)
{
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_TRUE(dialog != nullptr && dialog->objectName() == QLatin1String(Names::Dialog));
        QTimer::singleShot(0, [] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                lastWarning = box->text();
                box->accept();
            }
        });
        act(dialog);
        if (dialog->isVisible())
            dialog->reject();
    });
    return RunSettingsDialog(settings, nullptr);
}

template <typename Widget = QLineEdit>
Widget* Child(QDialog* dialog, const char* name)
{
    return dialog->findChild<Widget*>(QLatin1String(name));
}

// Also run by with_keyring.sh with a Secret Service: the password goes there instead of the store.
TEST(SettingsDialog, OkStoresCutEntriesAndTheAutostartEntryRefusalsAndCancelStoreNothing)
{
    TempConfigHome home;
    const bool keyring = !qEnvironmentVariableIsEmpty("POSTBELL_TEST_KEYRING");
    Settings settings;
    for (const auto& [field, text] : std::vector<std::pair<const char*, std::string>>{
             {Names::Interval, "61"}, {Names::Interval, "0"}, {Names::Interval, "often"}, {Names::Interval, ""},
             {Names::Account, "jo\nDELE 1"}, {Names::Password, "pw\r\nDELE 1"}, {Names::Password, std::string("p\0w", 3)}}) {
        lastWarning.clear();
        EXPECT_FALSE(RunDialog(settings, [field, text](QDialog* dialog) {
            Child(dialog, Names::Server)->setText("changed.example.org");
            Child(dialog, Names::Interval)->setText("5");
            Child(dialog, field)->setText(QString::fromStdString(text));
            QTest::keyClick(dialog, Qt::Key_Return); // OK is the default button
            EXPECT_TRUE(dialog->isVisible()) << text;
            if (text.empty()) // Escape after the warning
                QTest::keyClick(Child(dialog, Names::Server), Qt::Key_Escape);
        }));
        EXPECT_EQ(lastWarning.toStdString(), field == Names::Interval ? IntervalWarningText() : CredentialsWarningText());
        EXPECT_TRUE(settings.host.empty() && PathMode(home.configHome) == NoFile) << text;
    }
    ASSERT_TRUE(RegistryKey::WriteString("Password", "seeded by a script")); // still used
    Settings confirmed = LoadStoredState().value().settings;
    LoadKeyringPassword(confirmed.password);
    ASSERT_TRUE(RunDialog(confirmed, [keyring](QDialog* dialog) {
        EXPECT_EQ(Child(dialog, Names::Password)->text(), "seeded by a script");
        auto* place = Child<QLabel>(dialog, Names::PasswordPlace);
        EXPECT_TRUE(QTest::qWaitFor([place] { return !place->text().isEmpty(); }, 20000));
        EXPECT_TRUE(place->text().contains(keyring ? "keyring" : "settings file")) << place->text().toStdString();
        Child(dialog, Names::Server)->setText(QString(300, 'h'));
        Child(dialog, Names::Password)->setText(QString(254, 'p') + "é");
        Child<QComboBox>(dialog, Names::Security)->setCurrentIndex(static_cast<int>(Security::Tls));
        EXPECT_EQ(Child(dialog, Names::Port)->text() + Child<QLabel>(dialog, Names::PortLabel)->text(), "995Port (Default 995):");
        Child(dialog, Names::Port)->setText("pop3s"); // not a number: SSL/TLS's own port
        Child<QCheckBox>(dialog, Names::ShowNotification)->setChecked(false);
        Child<QCheckBox>(dialog, Names::PlaySound)->setChecked(false);
        Child(dialog, Names::MailProgram)->setText("thunderbird -mail");
        Child(dialog, Names::Interval)->setText("59");
        Child<QToolButton>(dialog, Names::UpArrow)->click();
        Child<QToolButton>(dialog, Names::UpArrow)->click(); // no further than 60
        Child<QCheckBox>(dialog, Names::RunAtStartup)->setChecked(true);
        QTest::keyClick(dialog, Qt::Key_Return);
    }));
    Settings next = LoadStoredState().value().settings; // the next start
    LoadKeyringPassword(next.password);
    std::string stored;
    EXPECT_TRUE(RegistryKey::ReadString("Password", stored) == StoreRead::Found && stored == (keyring ? "" : next.password));
    for (const Settings& s : {confirmed, next})
        EXPECT_EQ(s.host + std::to_string(s.port) + std::to_string(s.delay) + s.password + s.mailProgram +
                      std::to_string(s.runAtStartup + 2 * static_cast<int>(s.security) + 8 * s.showNotification + 16 * s.playSound),
                  std::string(255, 'h') + "99560" + std::string(254, 'p') + "thunderbird -mail5");
    std::ifstream entry(AutostartEntryPath()); // naming this program
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(entry), {}),
              AutostartEntryText(std::filesystem::read_symlink("/proc/self/exe")));

    ASSERT_TRUE(RunDialog(next, [](QDialog* dialog) {
        Child<QCheckBox>(dialog, Names::RunAtStartup)->setChecked(false);
        QTest::keyClick(dialog, Qt::Key_Return);
    }));
    EXPECT_EQ(PathMode(AutostartEntryPath()), NoFile);
}

TEST(AutostartEntry, TheProgramPathIsQuotedAsDesktopEntriesRequire)
{
    for (const auto& [path, argument] : {
             std::pair{"/usr/bin/postbell", "/usr/bin/postbell"},
             {"/opt/Mail Tools/postbell", "\"/opt/Mail Tools/postbell\""},
             {"/opt/100%/postbell", "/opt/100%%/postbell"},
             // Inside the quotes " ` $ and \ get a backslash; the file format then doubles every backslash.
             {"/x/$a\"b`c\\d e", "\"/x/\\\\$a\\\\\"b\\\\`c\\\\\\\\d e\""},
             {"/x/new\nline", "\"/x/new\\nline\""}})
        EXPECT_EQ(DesktopExecArgument(path), argument);
}

} // namespace
