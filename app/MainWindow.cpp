#include "MainWindow.h"

#include "CheckScheduling.h"
#include "QtText.h"
#include "StringTable.h"
#include "ui_MainWindow.h"

#include <QDialog>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QWindow>

#include <algorithm>
#include <functional>

namespace {

QRect FreeArea(const QPoint& at)
{
    const QScreen* screen = QGuiApplication::screenAt(at);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect(0, 0, 4096, 4096);
}

// The place and size stored by the last session: the place unless this is a first run, the
// size where one is stored; the template's size otherwise.
QRect StoredGeometry(bool firstRun, const QSize& templateSize)
{
    const QPoint corner = FreeArea({}).topLeft();
    const WindowPosition position = firstRun ? WindowPosition{corner.x(), corner.y()} : ReadWindowPosition();
    const WindowLayout layout = ReadWindowLayout();
    const QSize size = layout.width > 0 && layout.height > 0 ? QSize(layout.width, layout.height) : templateSize;
    return {QPoint(position.left, position.top), size};
}

// Fitted into the free area of the screen the place is on (a place on a screen that is no
// longer there would put the window out of reach): at a scale factor of 2, or on a small
// screen, the window never opens larger than that area.
QRect FittedGeometry(const QRect& stored, QDialog& dialog)
{
    const QPoint place = QGuiApplication::screenAt(stored.topLeft()) ? stored.topLeft() : FreeArea({}).topLeft();
    const QRect area = FreeArea(place);
    const QSize frame = dialog.frameGeometry().size() - dialog.size(); // the title bar and borders, where known
    const QSize room = area.size() - frame;
    dialog.setMinimumSize(dialog.minimumSizeHint().boundedTo(room));
    const QSize size = stored.size().expandedTo(dialog.minimumSize()).boundedTo(room);
    const QPoint inside(std::clamp(place.x(), area.left(), area.right() + 1 - size.width() - frame.width()),
                        std::clamp(place.y(), area.top(), area.bottom() + 1 - size.height() - frame.height()));
    return {inside, size};
}

// The size, place and column width of the last session, fitted to the screen.
void RestoreLayout(MainWindow& window, bool firstRun)
{
    QDialog& dialog = *window.dialog;
    window.storedGeometry = StoredGeometry(firstRun, dialog.size());
    window.fittedGeometry = FittedGeometry(window.storedGeometry, dialog);
    dialog.resize(window.fittedGeometry.size());
    dialog.move(window.fittedGeometry.topLeft());
    const int columnWidth = ReadWindowLayout().fromColumnWidth;
    if (columnWidth > 0)
        window.ui->messageList->setColumnWidth(0, std::min(columnWidth, window.fittedGeometry.width()));
}

QTreeWidgetItem* MakeRow(const ResultRow& row)
{
    const QString from = ToQString(row.from);
    const QString subject = ToQString(row.subject);
    auto* item = new QTreeWidgetItem(QStringList{from, subject});
    // A long sender or subject reads in full where the column cuts it.
    item->setToolTip(0, from);
    item->setToolTip(1, subject);
    if (row.isNew) {
        QFont bold = item->font(0);
        bold.setBold(true);
        item->setFont(0, bold);
        item->setFont(1, bold);
    }
    return item;
}

QPushButton* AddTrustButton(QStatusBar* statusBar, const std::function<void()>& trust)
{
    auto* button = new QPushButton(QStringLiteral("&Trust Certificate..."));
    button->setObjectName(MainWindowNames::TrustCertificate);
    button->setAutoDefault(false);
    button->setVisible(false);
    statusBar->addPermanentWidget(button);
    QObject::connect(button, &QPushButton::clicked, [trust] { trust(); });
    return button;
}

// AB:CD:... as certificate viewers show a fingerprint.
QString GroupedFingerprint(const std::string& hex)
{
    QString grouped;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        if (i == hex.size() / 2)
            grouped += QLatin1String(":\n"); // two lines of 16 bytes, never wrapped at random
        else if (i > 0)
            grouped += QLatin1Char(':');
        grouped += QString::fromStdString(hex.substr(i, 2)).toUpper();
    }
    return grouped;
}

QString TrustQuestion(const std::string& host, const CertificateDetails& certificate)
{
    return QStringLiteral("The certificate of %1 was not issued by an authority this computer trusts. "
                          "Trust exactly this certificate for %1 from now on? Do so only when you know "
                          "that it is your server's (compare the fingerprint with the server's own).\n\n"
                          "SHA-256 fingerprint:\n%2\n\nSubject: %3\nIssuer: %4\nValid from: %5\nValid until: %6")
        .arg(ToQString(host), GroupedFingerprint(certificate.sha256), ToQString(certificate.subject),
             ToQString(certificate.issuer), ToQString(certificate.notBefore), ToQString(certificate.notAfter));
}

void ShowAllAsSeen(Ui::MainWindow& ui)
{
    for (int i = 0; i < ui.messageList->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = ui.messageList->topLevelItem(i);
        if (!item->font(0).bold())
            continue;
        QFont plain = item->font(0);
        plain.setBold(false);
        item->setFont(0, plain);
        item->setFont(1, plain);
    }
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
    window.trustButton = AddTrustButton(ui.statusBar, actions.trustCertificate);
    window.unseenLabel = new QLabel;
    window.unseenLabel->setObjectName(MainWindowNames::UnseenCount);
    ui.statusBar->addPermanentWidget(window.unseenLabel);
    window.listStale = false;

    QObject::connect(ui.aboutButton, &QPushButton::clicked, [about = actions.about] { about(); });
    QObject::connect(ui.settingsButton, &QPushButton::clicked, [settings = actions.settings] { settings(); });
    QObject::connect(ui.checkNowButton, &QPushButton::clicked, [checkNow = actions.checkNow] { checkNow(); });
    QObject::connect(ui.exitButton, &QPushButton::clicked, [exit = actions.exit] { exit(); });
    // New messages stay bold until the window is hidden again.
    QObject::connect(window.dialog.get(), &QDialog::finished, [&window, hidden = actions.hidden] {
        ShowAllAsSeen(*window.ui);
        if (hidden)
            hidden();
    });
    window.dialog->winId(); // its native window, whose activation tells that the user looks
    QObject::connect(window.dialog->windowHandle(), &QWindow::activeChanged, [&window, activated = actions.activated] {
        if (activated && MainWindowActive(window))
            activated();
    });
    RestoreLayout(window, firstRun);
    window.columnWidthKept = ReadWindowLayout().fromColumnWidth > 0;
    QObject::connect(ui.messageList->header(), &QHeaderView::sectionResized, [&window](int column) {
        if (column == 0 && !window.fittingColumn)
            window.columnWidthKept = true;
    });
}

std::optional<WindowLayout> MainWindowLayout(const MainWindow& window)
{
    if (!window.dialog)
        return std::nullopt;
    QSize size = window.dialog->size();
    if (size == window.fittedGeometry.size())
        size = window.storedGeometry.size();
    // A width the program fits to the rows is not kept: the next start fits it again.
    const int fromColumnWidth = window.columnWidthKept ? window.ui->messageList->columnWidth(0) : 0;
    return WindowLayout{size.width(), size.height(), fromColumnWidth};
}

bool MainWindowVisible(const MainWindow& window)
{
    return window.dialog && window.dialog->isVisible();
}

bool MainWindowActive(const MainWindow& window)
{
    return MainWindowVisible(window) && window.dialog->isActiveWindow();
}

std::optional<WindowPosition> MainWindowPosition(const MainWindow& window)
{
    if (!window.dialog || QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
        return std::nullopt;
    QPoint position = window.dialog->pos();
    if (position == window.fittedGeometry.topLeft())
        position = window.storedGeometry.topLeft();
    return WindowPosition{position.x(), position.y()};
}

namespace {

// The count and the rows of the last successful check, highest message number first.
void FillMessageList(MainWindow& window, Application& app, const UnseenMail& mail)
{
    Ui::MainWindow& ui = *window.ui;
    const ResultView view = BuildResultView(app, mail);
    ui.countLabel->setText(QString::number(view.count));
    ui.messageList->clear();
    QList<QTreeWidgetItem*> rows;
    rows.reserve(static_cast<qsizetype>(view.rows.size()));
    for (const ResultRow& row : view.rows)
        rows.append(MakeRow(row));
    ui.messageList->addTopLevelItems(rows);
    // A width the user chose, or one kept from the last session, stays.
    if (!window.columnWidthKept) {
        window.fittingColumn = true;
        ui.messageList->resizeColumnToContents(0);
        window.fittingColumn = false;
    }
    window.listStale = false;
}

} // namespace

void ShowMainWindow(MainWindow& window, Application& app, const UnseenMail& mail, bool activate)
{
    if (window.listStale)
        FillMessageList(window, app, mail);
    window.dialog->setAttribute(Qt::WA_ShowWithoutActivating, !activate);
    window.dialog->show();
    window.dialog->raise();
    if (activate)
        window.dialog->activateWindow();
}

void ShowResults(MainWindow& window, Application& app, const UnseenMail& mail)
{
    if (MainWindowVisible(window))
        return FillMessageList(window, app, mail);
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

void ShowTrustOffer(MainWindow& window, bool offered)
{
    if (window.trustButton)
        window.trustButton->setVisible(offered);
}

bool AskToTrustCertificate(MainWindow& window, const std::string& host, const CertificateDetails& certificate)
{
    // No unless the user chooses Yes: Enter alone must not trust a stranger's certificate.
    return QMessageBox::question(window.dialog.get(), QStringLiteral("Trust Certificate"), TrustQuestion(host, certificate),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}
