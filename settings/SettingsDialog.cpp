#include "SettingsDialog.h"

#include "AutostartEntry.h"
#include "EntryRules.h"
#include "PasswordKeyring.h"
#include "SettingsModel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>

namespace {

namespace Names = SettingsDialogNames;

const char* const Caption = "Postbell Settings";

struct SettingsFields {
    QLineEdit* server = nullptr;
    QLineEdit* port = nullptr;
    QLineEdit* account = nullptr;
    QLineEdit* password = nullptr;
    QComboBox* security = nullptr;
    QLabel* plainWarning = nullptr;
    QLineEdit* interval = nullptr;
    QCheckBox* waitForDialup = nullptr;
    QCheckBox* runAtStartup = nullptr;
};

QLineEdit* CreateField(const char* name, const QString& text, QWidget* parent)
{
    auto* field = new QLineEdit(text, parent);
    field->setObjectName(QLatin1String(name));
    return field;
}

QLabel* CreateLabel(const char* text, QWidget* buddy, QWidget* parent)
{
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setBuddy(buddy);
    return label;
}

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

QToolButton* CreateArrow(const char* name, Qt::ArrowType arrow, int height, QWidget* parent)
{
    auto* button = new QToolButton(parent);
    button->setObjectName(QLatin1String(name));
    button->setArrowType(arrow);
    button->setAutoRepeat(true);
    button->setFocusPolicy(Qt::NoFocus); // the control is not a tab stop
    button->setFixedSize(height + 2, height);
    return button;
}

// Two arrows beside the interval field that write their position into it; the
// arrow keys in the field work them too.
QWidget* CreateUpDown(QLineEdit* field, std::uint32_t delay, QWidget* parent)
{
    auto* upDown = new QWidget(parent);
    upDown->setObjectName(QLatin1String(Names::UpDown));
    const int half = std::max(field->sizeHint().height() / 2, 8);
    QToolButton* up = CreateArrow(Names::UpArrow, Qt::UpArrow, half, upDown);
    QToolButton* down = CreateArrow(Names::DownArrow, Qt::DownArrow, half, upDown);
    auto* column = new QVBoxLayout(upDown);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(up);
    column->addWidget(down);

    auto position = std::make_shared<std::uint32_t>(ClampInterval(delay));
    auto stepUp = [field, position] { StepInterval(field, *position, +1); };
    auto stepDown = [field, position] { StepInterval(field, *position, -1); };
    QObject::connect(up, &QToolButton::clicked, field, stepUp);
    QObject::connect(down, &QToolButton::clicked, field, stepDown);
    auto* upKey = new QShortcut(QKeySequence(Qt::Key_Up), field, stepUp, Qt::WidgetShortcut);
    auto* downKey = new QShortcut(QKeySequence(Qt::Key_Down), field, stepDown, Qt::WidgetShortcut);
    upKey->setAutoRepeat(true);
    downKey->setAutoRepeat(true);
    return upDown;
}

QLayout* CreateIntervalRow(QLineEdit* interval, QWidget* upDown, QWidget* parent)
{
    auto* row = new QHBoxLayout;
    row->addWidget(CreateLabel("Check for &new messages every", interval, parent));
    interval->setFixedWidth(interval->fontMetrics().horizontalAdvance(QLatin1String("00000")) + 12);
    row->addWidget(interval);
    row->addWidget(upDown);
    row->addWidget(new QLabel(QLatin1String("minutes"), parent));
    row->addStretch(1);
    return row;
}

QLayout* CreateButtonRow(QPushButton* ok, QPushButton* cancel)
{
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(ok);
    row->addWidget(cancel);
    return row;
}

// The drop-down lists the choices in the order of their stored numbers.
QComboBox* CreateSecurityChoice(Security security, QWidget* parent)
{
    auto* choice = new QComboBox(parent);
    choice->setObjectName(QLatin1String(Names::Security));
    choice->addItems({QLatin1String("None"), QLatin1String("STARTTLS (STLS)"), QLatin1String("SSL/TLS")});
    choice->setCurrentIndex(static_cast<int>(security));
    return choice;
}

void ShowPlainWarningWhenNeeded(const SettingsFields& fields)
{
    const bool plain = fields.security->currentIndex() == static_cast<int>(Security::None);
    const std::string server = EntryText(fields.server);
    fields.plainWarning->setVisible(plain && !server.empty() && !IsOnThisComputer(server));
}

// The port follows the security choice, and the warning line the choice and the server.
void ConnectSecurityChoice(const SettingsFields& fields)
{
    fields.plainWarning->setObjectName(QLatin1String(Names::PlainWarning));
    fields.plainWarning->setWordWrap(true);
    QObject::connect(fields.security, &QComboBox::currentIndexChanged, fields.port, [fields](int index) {
        const bool tls = index == static_cast<int>(Security::Tls);
        fields.port->setText(QString::fromStdString(PortEntryForSecurity(EntryText(fields.port), tls)));
        ShowPlainWarningWhenNeeded(fields);
    });
    QObject::connect(fields.server, &QLineEdit::textChanged, fields.plainWarning,
                     [fields] { ShowPlainWarningWhenNeeded(fields); });
    ShowPlainWarningWhenNeeded(fields);
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
QLabel* CreatePasswordPlace(QWidget* parent)
{
    auto* place = new QLabel(parent);
    place->setObjectName(QLatin1String(Names::PasswordPlace));
    place->setWordWrap(true);
    AskKeyringAvailable(place, [place](bool available) {
        place->setText(QLatin1String(available
            ? "The password is kept in your desktop's keyring."
            : "No keyring found: the password is kept in Postbell's settings file, unencrypted."));
    });
    return place;
}

// Steps 1 to 8 of OK; false when the interval is refused and the dialog must stay.
bool ConfirmSettings(QDialog& dialog, const SettingsFields& fields, Settings& settings)
{
    std::uint32_t delay = 0;
    if (!ParseInterval(EntryText(fields.interval), delay)) {
        QMessageBox::warning(&dialog, QLatin1String(Caption), QString::fromStdString(IntervalWarningText()));
        return false;
    }
    settings.port = PortFromEntry(EntryText(fields.port));
    const std::string host = CutUtf8(EntryText(fields.server), LongestEntryBytes);
    if (host != settings.host)
        settings.trustedFingerprint.clear(); // a certificate is trusted for one server only
    settings.host = host;
    settings.security = static_cast<Security>(fields.security->currentIndex());
    settings.user = CutUtf8(EntryText(fields.account), LongestEntryBytes);
    settings.password = CutUtf8(EntryText(fields.password), LongestEntryBytes);
    settings.delay = delay;
    settings.waitForDialup = fields.waitForDialup->isChecked();
    settings.runAtStartup = fields.runAtStartup->isChecked();
    UpdateRunEntry(settings.runAtStartup);
    WriteBackSettings(StoredSettings(settings));
    return true;
}

} // namespace

bool RunSettingsDialog(Settings& settings, QWidget* owner)
{
    QDialog dialog(owner);
    dialog.setObjectName(QLatin1String(Names::Dialog));
    dialog.setWindowTitle(QLatin1String(Caption));

    SettingsFields fields;
    fields.server = CreateField(Names::Server, QString::fromStdString(settings.host), &dialog);
    fields.port = CreateField(Names::Port, QString::number(settings.port), &dialog);
    fields.account = CreateField(Names::Account, QString::fromStdString(settings.user), &dialog);
    fields.password = CreateField(Names::Password, QString::fromStdString(settings.password), &dialog);
    fields.password->setEchoMode(QLineEdit::Password);
    fields.security = CreateSecurityChoice(settings.security, &dialog);
    fields.plainWarning = new QLabel(QLatin1String("The password will be sent unencrypted."), &dialog);
    fields.interval = CreateField(Names::Interval, QString::number(settings.delay), &dialog);
    QWidget* upDown = CreateUpDown(fields.interval, settings.delay, &dialog);
    fields.waitForDialup = new QCheckBox(QLatin1String("&Wait for a dial-up connection before checking"), &dialog);
    fields.waitForDialup->setObjectName(QLatin1String(Names::WaitForDialup));
    fields.waitForDialup->setChecked(settings.waitForDialup);
    fields.runAtStartup = new QCheckBox(QLatin1String("&Run Postbell when you log on to your computer"), &dialog);
    fields.runAtStartup->setObjectName(QLatin1String(Names::RunAtStartup));
    fields.runAtStartup->setChecked(settings.runAtStartup);
    auto* ok = new QPushButton(QLatin1String("OK"), &dialog);
    ok->setObjectName(QLatin1String(Names::Ok));
    ok->setDefault(true);
    auto* cancel = new QPushButton(QLatin1String("Cancel"), &dialog);
    cancel->setObjectName(QLatin1String(Names::Cancel));

    auto* form = new QFormLayout;
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    form->addRow(CreateLabel("POP3 &Server:", fields.server, &dialog), fields.server);
    form->addRow(CreateLabel("Port (Default 110):", fields.port, &dialog), fields.port);
    form->addRow(CreateLabel("Securit&y:", fields.security, &dialog), fields.security);
    form->addRow(nullptr, fields.plainWarning);
    form->addRow(CreateLabel("A&ccount name:", fields.account, &dialog), fields.account);
    form->addRow(CreateLabel("&Password:", fields.password, &dialog), fields.password);
    form->addRow(nullptr, CreatePasswordPlace(&dialog));
    fields.server->setMinimumWidth(fields.server->fontMetrics().averageCharWidth() * 30);

    auto* page = new QVBoxLayout(&dialog);
    page->addLayout(form);
    page->addLayout(CreateIntervalRow(fields.interval, upDown, &dialog));
    page->addWidget(fields.waitForDialup);
    page->addWidget(fields.runAtStartup);
    page->addSpacing(6);
    page->addLayout(CreateButtonRow(ok, cancel));
    page->setSizeConstraint(QLayout::SetFixedSize); // a fixed frame, as a modal dialog has

    QWidget::setTabOrder(fields.server, fields.port);
    QWidget::setTabOrder(fields.port, fields.security);
    QWidget::setTabOrder(fields.security, fields.account);
    QWidget::setTabOrder(fields.account, fields.password);
    QWidget::setTabOrder(fields.password, fields.interval);
    QWidget::setTabOrder(fields.interval, fields.waitForDialup);
    QWidget::setTabOrder(fields.waitForDialup, fields.runAtStartup);
    QWidget::setTabOrder(fields.runAtStartup, ok);
    QWidget::setTabOrder(ok, cancel);
    fields.server->setFocus();
    ConnectSecurityChoice(fields);

    QObject::connect(ok, &QPushButton::clicked, &dialog, [&dialog, &fields, &settings] {
        if (ConfirmSettings(dialog, fields, settings))
            dialog.accept();
    });
    QObject::connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);
    return dialog.exec() == QDialog::Accepted;
}
