#include "MainWindow.h"

#include "CheckScheduling.h"
#include "QtText.h"
#include "StringTable.h"
#include "ui_MainWindow.h"

#include <QDialog>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMessageBox>
#include <QScreen>

namespace {

// The saved place of the window, unless this is a first run or the place is on no screen.
QPoint InitialPosition(bool firstRun)
{
    const QScreen* primary = QGuiApplication::primaryScreen();
    const QPoint workAreaCorner = primary ? primary->availableGeometry().topLeft() : QPoint(0, 0);
    if (firstRun)
        return workAreaCorner;
    const WindowPosition saved = ReadWindowPosition();
    const QPoint position(saved.left, saved.top);
    // A place saved on a screen that is no longer there would put the window out of reach.
    if (!QGuiApplication::screenAt(position))
        return workAreaCorner;
    return position;
}

} // namespace

MainWindow::MainWindow() = default;
MainWindow::~MainWindow() = default;

void CreateMainWindow(MainWindow& window, const QIcon& appIcon, bool firstRun, const MainWindowActions& actions)
{
    window.dialog = std::make_unique<QDialog>(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    window.ui = std::make_unique<Ui::MainWindow>();
    Ui::MainWindow& ui = *window.ui;
    ui.setupUi(window.dialog.get());
    window.dialog->setWindowIcon(appIcon);
    ui.messageList->header()->setSectionsClickable(false);
    ui.messageList->header()->setSectionsMovable(false);
    ui.statusBar->showMessage(QStringLiteral("Not connected"));
    window.listStale = false;

    QObject::connect(ui.aboutButton, &QPushButton::clicked, [about = actions.about] { about(); });
    QObject::connect(ui.settingsButton, &QPushButton::clicked, [settings = actions.settings] { settings(); });
    QObject::connect(ui.checkNowButton, &QPushButton::clicked, [checkNow = actions.checkNow] { checkNow(); });
    QObject::connect(ui.exitButton, &QPushButton::clicked, [exit = actions.exit] { exit(); });
    window.dialog->move(InitialPosition(firstRun));
}

bool MainWindowVisible(const MainWindow& window)
{
    return window.dialog && window.dialog->isVisible();
}

std::optional<WindowPosition> MainWindowPosition(const MainWindow& window)
{
    if (!window.dialog)
        return std::nullopt;
    const QPoint position = window.dialog->pos();
    return WindowPosition{position.x(), position.y()};
}

namespace {

// The count and the rows of the last successful check, highest message number first.
void FillMessageList(MainWindow& window, Application& app)
{
    Ui::MainWindow& ui = *window.ui;
    const ResultView view = BuildResultView(app);
    ui.countLabel->setText(QString::number(view.count));
    ui.messageList->clear();
    QList<QTreeWidgetItem*> rows;
    rows.reserve(static_cast<qsizetype>(view.rows.size()));
    for (const ResultRow& row : view.rows)
        rows.append(new QTreeWidgetItem(QStringList{ToQString(row.from), ToQString(row.subject)}));
    ui.messageList->addTopLevelItems(rows);
    ui.messageList->resizeColumnToContents(0);
    ui.messageList->resizeColumnToContents(1);
    window.listStale = false;
}

} // namespace

void ShowMainWindow(MainWindow& window, Application& app)
{
    if (window.listStale)
        FillMessageList(window, app);
    window.dialog->show();
    window.dialog->raise();
    window.dialog->activateWindow();
}

void ShowResults(MainWindow& window, Application& app)
{
    if (MainWindowVisible(window))
        return FillMessageList(window, app);
    // The program lives hidden: rows of a large mailbox that nobody sees would cost
    // megabytes and time at every check, so a hidden window gets them when it is shown.
    window.ui->countLabel->setText(QString::number(CountMessages(app)));
    window.ui->messageList->clear();
    window.listStale = true;
}

void ShowStatusBarText(MainWindow& window, std::string_view text)
{
    window.ui->statusBar->showMessage(ToQString(text));
}

void ShowAboutBox(QWidget* owner)
{
    const auto text = LoadString(StringId::AboutText);
    const auto caption = LoadString(StringId::AboutCaption);
    if (!text || !caption)
        return;
    QMessageBox box(QMessageBox::Information, ToQString(*caption), ToQString(*text), QMessageBox::Ok, owner);
    // Modal to the main window only: the tray icon's menu stays usable meanwhile.
    box.setWindowModality(Qt::WindowModal);
    box.exec();
}
