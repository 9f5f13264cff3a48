#include "SettingsDialog.h"

#include "AutostartEntry.h"
#include "EntryRules.h"
#include "SettingsModel.h"

#include <QCheckBox>
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

// Steps 1 to 8 of OK; false when the interval is refused and the dialog must stay.
bool ConfirmSettings(QDialog& dialog, const SettingsFields& fields, Settings& settings)
{
    std::uint32_t delay = 0;
    if (!ParseInterval(EntryText(fields.interval), delay)) {
        QMessageBox::warning(&dialog, QLatin1String(Caption), QString::fromStdString(IntervalWarningText()));
        return false;
    }
    settings.port = PortFromEntry(EntryText(fields.port));
    settings.host = CutUtf8(EntryText(fields.server), LongestEntryBytes);
    settings.user = CutUtf8(EntryText(fields.account), LongestEntryBytes);
    settings.password = CutUtf8(EntryText(fields.password), LongestEntryBytes);
    settings.delay = delay;
    settings.waitForDialup = fields.waitForDialup->isChecked();
    settings.runAtStartup = fields.runAtStartup->isChecked();
    UpdateRunEntry(settings.runAtStartup);
    WriteBackSettings(settings);
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
    form->addRow(CreateLabel("A&ccount name:", fields.account, &dialog), fields.account);
    form->addRow(CreateLabel("&Password:", fields.password, &dialog), fields.password);
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
    QWidget::setTabOrder(fields.port, fields.account);
    QWidget::setTabOrder(fields.account, fields.password);
    QWidget::setTabOrder(fields.password, fields.interval);
    QWidget::setTabOrder(fields.interval, fields.waitForDialup);
    QWidget::setTabOrder(fields.waitForDialup, fields.runAtStartup);
    QWidget::setTabOrder(fields.runAtStartup, ok);
    QWidget::setTabOrder(ok, cancel);
    fields.server->setFocus();

    QObject::connect(ok, &QPushButton::clicked, &dialog, [&dialog, &fields, &settings] {
        if (ConfirmSettings(dialog, fields, settings))
            dialog.accept();
    });
    QObject::connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);
    return dialog.exec() == QDialog::Accepted;
}
