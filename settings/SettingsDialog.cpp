#include "SettingsDialog.h"

#include "AutostartEntry.h"
#include "EntryRules.h"
#include "PasswordKeyring.h"
#include "SettingsModel.h"
#include "ui_SettingsDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGuiApplication>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QToolButton>

#include <algorithm>
#include <memory>

namespace {

const char* const Caption = "Postbell Settings"; // the warning box's caption too

std::string EntryText(const QLineEdit* field)
{
    return field->text().toStdString();
}

std::uint32_t ClampInterval(std::uint32_t minutes)
{
    return std::clamp(minutes, ShortestInterval, LongestInterval);
}

// One click of the up-down control: it starts from the number in the field when
// there is one, else from where it last stood, and stops at the limits.
void StepInterval(QLineEdit* field, std::uint32_t& position, int step)
{
    std::uint32_t typed = 0;
    if (ParseUnsignedDecimal(EntryText(field), typed))
        position = ClampInterval(typed);
    if (step > 0 && position < LongestInterval)
        ++position;
    else if (step < 0 && position > ShortestInterval)
        --position;
    field->setText(QString::number(position));
}

// The arrow keys in the interval field step it as the arrows beside it do.
void ConnectUpDown(const Ui::SettingsDialog& ui, std::uint32_t delay)
{
    QLineEdit* field = ui.intervalEdit;
    auto position = std::make_shared<std::uint32_t>(ClampInterval(delay));
    auto stepUp = [field, position] { StepInterval(field, *position, +1); };
    auto stepDown = [field, position] { StepInterval(field, *position, -1); };
    QObject::connect(ui.intervalUpArrow, &QToolButton::clicked, field, stepUp);
    QObject::connect(ui.intervalDownArrow, &QToolButton::clicked, field, stepDown);
    auto* upKey = new QShortcut(QKeySequence(Qt::Key_Up), field, stepUp, Qt::WidgetShortcut);
    auto* downKey = new QShortcut(QKeySequence(Qt::Key_Down), field, stepDown, Qt::WidgetShortcut);
    upKey->setAutoRepeat(true);
    downKey->setAutoRepeat(true);
}

void FillFields(const Ui::SettingsDialog& ui, const Settings& settings)
{
    ui.serverEdit->setText(QString::fromStdString(settings.host));
    ui.portEdit->setText(QString::number(settings.port));
    ui.accountEdit->setText(QString::fromStdString(settings.user));
    ui.passwordEdit->setText(QString::fromStdString(settings.password));
    ui.intervalEdit->setText(QString::number(settings.delay));
    ui.waitForDialupCheck->setChecked(settings.waitForDialup);
    ui.runAtStartupCheck->setChecked(settings.runAtStartup);
    ui.showNotificationCheck->setChecked(settings.showNotification);
    ui.playSoundCheck->setChecked(settings.playSound);
    ui.playSoundCheck->setEnabled(settings.showNotification); // the sound comes with the notification
    ui.mailProgramEdit->setText(QString::fromStdString(settings.mailProgram));
    // The drop-down lists the choices in the order of their stored numbers.
    ui.securityChoice->setCurrentIndex(static_cast<int>(settings.security));
}

void ShowPlainWarningWhenNeeded(const Ui::SettingsDialog& ui)
{
    const bool plain = ui.securityChoice->currentIndex() == static_cast<int>(Security::None);
    const std::string server = EntryText(ui.serverEdit);
    ui.plainPasswordWarning->setVisible(plain && !server.empty() && !IsOnThisComputer(server));
}

bool TlsChosen(const Ui::SettingsDialog& ui)
{
    return ui.securityChoice->currentIndex() == static_cast<int>(Security::Tls);
}

void ShowPortLabel(const Ui::SettingsDialog& ui)
{
    ui.portLabel->setText(QStringLiteral("Port (Default %1):").arg(TlsChosen(ui) ? DefaultTlsPort : DefaultPort));
}

// The port and its label follow the security choice, and the warning line the choice and the server.
void ConnectSecurityChoice(const Ui::SettingsDialog& ui)
{
    QObject::connect(ui.securityChoice, &QComboBox::currentIndexChanged, ui.portEdit, [&ui] {
        ui.portEdit->setText(QString::fromStdString(PortEntryForSecurity(EntryText(ui.portEdit), TlsChosen(ui))));
        ShowPortLabel(ui);
        ShowPlainWarningWhenNeeded(ui);
    });
    ShowPortLabel(ui);
    QObject::connect(ui.serverEdit, &QLineEdit::textChanged, ui.plainPasswordWarning,
                     [&ui] { ShowPlainWarningWhenNeeded(ui); });
    ShowPlainWarningWhenNeeded(ui);
}

// What the store gets: the password only when no keyring took it.
Settings StoredSettings(const Settings& settings)
{
    Settings stored = settings;
    if (WriteKeyringPassword(settings.password))
        stored.password.clear();
    return stored;
}

// Says where the password will be kept, once the keyring has answered.
void ShowPasswordPlace(QLabel* place)
{
    AskKeyringAvailable(place, [place](bool available) {
        place->setText(QLatin1String(available
            ? "The password is kept in your desktop's keyring."
            : "No keyring found: the password is kept in Postbell's settings file, unencrypted."));
    });
}

// Takes the entries in and saves them; false when an entry is refused and the dialog must stay.
bool ConfirmSettings(QDialog& dialog, const Ui::SettingsDialog& ui, Settings& settings)
{
    std::uint32_t delay = 0;
    if (!ParseInterval(EntryText(ui.intervalEdit), delay)) {
        QMessageBox::warning(&dialog, QLatin1String(Caption), QString::fromStdString(IntervalWarningText()));
        return false;
    }
    if (!CredentialsAreSendable(EntryText(ui.accountEdit), EntryText(ui.passwordEdit))) {
        QMessageBox::warning(&dialog, QLatin1String(Caption), QString::fromStdString(CredentialsWarningText()));
        return false;
    }
    settings.port = PortFromEntry(EntryText(ui.portEdit), TlsChosen(ui));
    const std::string host = CutUtf8(EntryText(ui.serverEdit), LongestEntryBytes);
    if (host != settings.host)
        settings.trustedFingerprint.clear(); // a certificate is trusted for one server only
    settings.host = host;
    settings.security = static_cast<Security>(ui.securityChoice->currentIndex());
    settings.user = CutUtf8(EntryText(ui.accountEdit), LongestEntryBytes);
    settings.password = CutUtf8(EntryText(ui.passwordEdit), LongestEntryBytes);
    settings.delay = delay;
    settings.waitForDialup = ui.waitForDialupCheck->isChecked();
    settings.runAtStartup = ui.runAtStartupCheck->isChecked();
    settings.showNotification = ui.showNotificationCheck->isChecked();
    settings.playSound = ui.playSoundCheck->isChecked();
    settings.mailProgram = CutUtf8(EntryText(ui.mailProgramEdit), LongestEntryBytes);
    UpdateRunEntry(settings.runAtStartup);
    WriteBackSettings(StoredSettings(settings));
    return true;
}

} // namespace

bool RunSettingsDialog(Settings& settings, QWidget* owner)
{
    QDialog dialog(owner);
    Ui::SettingsDialog ui;
    ui.setupUi(&dialog);
    FillFields(ui, settings);
    ConnectUpDown(ui, settings.delay);
    ConnectSecurityChoice(ui);
    QObject::connect(ui.showNotificationCheck, &QCheckBox::toggled, ui.playSoundCheck, &QCheckBox::setEnabled);
    ShowPasswordPlace(ui.passwordPlace);
    ui.serverEdit->setFocus();
    // Modal to the main window only: the tray icon's menu stays usable meanwhile.
    dialog.setWindowModality(Qt::WindowModal);
    dialog.adjustSize();
    if (const QScreen* screen = owner ? owner->screen() : QGuiApplication::primaryScreen())
        dialog.move(screen->availableGeometry().center() - dialog.rect().center());
    QObject::connect(ui.okButton, &QPushButton::clicked, &dialog, [&dialog, &ui, &settings] {
        if (ConfirmSettings(dialog, ui, settings))
            dialog.accept();
    });
    return dialog.exec() == QDialog::Accepted;
}
