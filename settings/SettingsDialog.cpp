#include "SettingsDialog.h"

#include "AutostartEntry.h"
#include "EntryRules.h"
#include "SettingsModel.h"
#include "ui_SettingsDialog.h"

#include <QCheckBox>
#include <QDialog>
#include <QGuiApplication>
#include <QKeySequence>
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
}

// Takes the entries in and saves them; false when the interval is refused and the dialog must stay.
bool ConfirmSettings(QDialog& dialog, const Ui::SettingsDialog& ui, Settings& settings)
{
    std::uint32_t delay = 0;
    if (!ParseInterval(EntryText(ui.intervalEdit), delay)) {
        QMessageBox::warning(&dialog, QLatin1String(Caption), QString::fromStdString(IntervalWarningText()));
        return false;
    }
    settings.port = PortFromEntry(EntryText(ui.portEdit));
    settings.host = CutUtf8(EntryText(ui.serverEdit), LongestEntryBytes);
    settings.user = CutUtf8(EntryText(ui.accountEdit), LongestEntryBytes);
    settings.password = CutUtf8(EntryText(ui.passwordEdit), LongestEntryBytes);
    settings.delay = delay;
    settings.waitForDialup = ui.waitForDialupCheck->isChecked();
    settings.runAtStartup = ui.runAtStartupCheck->isChecked();
    settings.showNotification = ui.showNotificationCheck->isChecked();
    UpdateRunEntry(settings.runAtStartup);
    WriteBackSettings(settings);
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
