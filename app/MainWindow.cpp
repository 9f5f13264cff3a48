#include "Desktop.h"

#include "CheckScheduling.h"
#include "SettingsDialog.h"
#include "SettingsModel.h"
#include "StringTable.h"

#include <QBoxLayout>
#include <QDialog>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTreeWidget>

#include <mutex>

namespace {

// The window's layout is given in dialog units; they follow the window's own font.
struct DialogUnits {
    explicit DialogUnits(const QFont& font)
    {
        const QFontMetrics metrics(font);
        const int alphabet = metrics.horizontalAdvance(
            QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
        baseX = (alphabet / 26 + 1) / 2;
        baseY = metrics.height();
    }
    int X(int units) const { return (units * baseX + 2) / 4; }
    int Y(int units) const { return (units * baseY + 4) / 8; }
    QSize Size(int width, int height) const { return {X(width), Y(height)}; }

    int baseX = 0;
    int baseY = 0;
};

QPushButton* AddButton(QBoxLayout* row, const DialogUnits& units, const char* text, const char* name,
                       int widthUnits)
{
    auto* button = new QPushButton(QString::fromLatin1(text));
    button->setObjectName(name);
    // None of the buttons is the default: Enter does nothing in this window.
    button->setAutoDefault(false);
    button->setDefault(false);
    button->setMinimumSize(units.Size(widthUnits, 16));
    row->addWidget(button);
    return button;
}

QTreeWidget* CreateMessageList(const DialogUnits& units)
{
    auto* list = new QTreeWidget;
    list->setObjectName(MainWindowNames::List);
    list->setColumnCount(2);
    list->setHeaderLabels({QStringLiteral("From"), QStringLiteral("Subject")});
    list->setRootIsDecorated(false);
    list->setSortingEnabled(false);
    list->setUniformRowHeights(true);
    list->setAllColumnsShowFocus(true);
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list->header()->setSectionsClickable(false);
    list->header()->setSectionsMovable(false);
    list->header()->setStretchLastSection(true);
    list->setFixedSize(units.Size(288, 116));
    list->resizeColumnToContents(0);
    return list;
}

// The saved place of the window, unless this is a first run or the place is on no screen.
QPoint InitialPosition(const Application& app)
{
    const QScreen* primary = QGuiApplication::primaryScreen();
    const QPoint workAreaCorner = primary ? primary->availableGeometry().topLeft() : QPoint(0, 0);
    if (app.firstRun)
        return workAreaCorner;
    const WindowPosition saved = ReadWindowPosition();
    const QPoint position(saved.left, saved.top);
    // A place saved on a screen that is no longer there would put the window out of reach.
    if (!QGuiApplication::screenAt(position))
        return workAreaCorner;
    return position;
}

void AddTrustButton(Application& app)
{
    Desktop& desktop = *app.desktop;
    desktop.trustButton = new QPushButton(QStringLiteral("&Trust Certificate..."));
    desktop.trustButton->setObjectName(MainWindowNames::TrustCertificate);
    desktop.trustButton->setAutoDefault(false);
    desktop.trustButton->setVisible(false);
    desktop.statusBar->addPermanentWidget(desktop.trustButton);
    QObject::connect(desktop.trustButton, &QPushButton::clicked, [&app] { OfferToTrustCertificate(app); });
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
                          "SHA-256 fingerprint:\n%2\n\nSubject: %3\nValid from: %4\nValid until: %5")
        .arg(ToQString(host), GroupedFingerprint(certificate.sha256), ToQString(certificate.subject),
             ToQString(certificate.notBefore), ToQString(certificate.notAfter));
}

std::optional<CertificateDetails> OfferedCertificate(Application& app)
{
    const StatusCode status = app.status.load();
    if (status != Status::CertificateUnknownIssuer && status != Status::CertificateSelfSigned)
        return std::nullopt;
    std::lock_guard lock(app.resultsMutex);
    return app.offeredCertificate;
}

} // namespace

void UpdateTrustOffer(Application& app)
{
    if (app.desktop && app.desktop->trustButton)
        app.desktop->trustButton->setVisible(OfferedCertificate(app).has_value());
}

void OfferToTrustCertificate(Application& app)
{
    const std::optional<CertificateDetails> certificate = OfferedCertificate(app);
    if (!certificate)
        return UpdateTrustOffer(app);
    const auto answer = QMessageBox::question(app.desktop->mainWindow.get(), QStringLiteral("Trust Certificate"),
                                              TrustQuestion(app.settings.host, *certificate));
    if (answer != QMessageBox::Yes)
        return;
    app.settings.trustedFingerprint = certificate->sha256;
    SaveTrustedFingerprint(app.settings.host, certificate->sha256);
    app.desktop->trustButton->setVisible(false);
    RestartCheck(app);
}

void CreateMainWindow(Application& app)
{
    Desktop& desktop = *app.desktop;
    desktop.mainWindow = std::make_unique<QDialog>(
        nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                     Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    QDialog* window = desktop.mainWindow.get();
    window->setObjectName(MainWindowNames::Dialog);
    window->setWindowTitle(QStringLiteral("Postbell"));
    window->setWindowIcon(desktop.appIcon);
    window->setSizeGripEnabled(false);
    const DialogUnits units(window->font());

    auto* totalLabel = new QLabel(QStringLiteral("Total messages:"));
    totalLabel->setObjectName(MainWindowNames::TotalLabel);
    totalLabel->setMinimumWidth(units.X(56));
    desktop.countLabel = new QLabel(QStringLiteral("Not checked yet"));
    desktop.countLabel->setObjectName(MainWindowNames::Count);
    desktop.countLabel->setTextFormat(Qt::PlainText);
    desktop.messageList = CreateMessageList(units);

    auto* countRow = new QHBoxLayout;
    countRow->setSpacing(units.X(4));
    countRow->addWidget(totalLabel, 0, Qt::AlignLeft | Qt::AlignVCenter);
    countRow->addWidget(desktop.countLabel, 1, Qt::AlignLeft | Qt::AlignVCenter);

    auto* buttonRow = new QHBoxLayout;
    buttonRow->setSpacing(units.X(8));
    QPushButton* about = AddButton(buttonRow, units, "&About...", MainWindowNames::About, 48);
    QPushButton* settings = AddButton(buttonRow, units, "&Settings...", MainWindowNames::Settings, 48);
    QPushButton* checkNow = AddButton(buttonRow, units, "Check Mail &Now", MainWindowNames::CheckNow, 64);
    QPushButton* exit = AddButton(buttonRow, units, "E&xit", MainWindowNames::Exit, 48);
    QPushButton* close = AddButton(buttonRow, units, "&Close", MainWindowNames::Close, 48);

    auto* content = new QVBoxLayout;
    content->setContentsMargins(units.X(4), units.Y(4), units.X(4), units.Y(9));
    content->setSpacing(0);
    content->addLayout(countRow);
    content->addSpacing(units.Y(4));
    content->addWidget(desktop.messageList);
    content->addSpacing(units.Y(8));
    content->addLayout(buttonRow);

    desktop.statusBar = new QStatusBar;
    desktop.statusBar->setObjectName(MainWindowNames::StatusBar);
    desktop.statusBar->setSizeGripEnabled(false);
    desktop.statusBar->showMessage(QStringLiteral("Not connected"));
    AddTrustButton(app);

    // The status bar lies below the buttons, across the whole width.
    auto* outer = new QVBoxLayout(window);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    outer->addLayout(content);
    outer->addWidget(desktop.statusBar);

    QWidget::setTabOrder(desktop.messageList, about);
    QWidget::setTabOrder(about, settings);
    QWidget::setTabOrder(settings, checkNow);
    QWidget::setTabOrder(checkNow, exit);
    QWidget::setTabOrder(exit, close);

    QObject::connect(about, &QPushButton::clicked, [&app] { ShowAboutBox(app); });
    QObject::connect(settings, &QPushButton::clicked, [&app] { OpenSettings(app); });
    QObject::connect(checkNow, &QPushButton::clicked, [&app] { RestartCheck(app); });
    QObject::connect(exit, &QPushButton::clicked, [] { QuitProgram(); });
    // Close, Esc and the close box all end in reject(), which only hides the window.
    QObject::connect(close, &QPushButton::clicked, window, &QDialog::reject);
    QObject::connect(&desktop.checkTimer, &QTimer::timeout, [&app] { StartCheck(app); });

    window->setFixedSize(window->sizeHint());
    window->move(InitialPosition(app));
}

bool MainWindowVisible(const Application& app)
{
    return app.desktop && app.desktop->mainWindow && app.desktop->mainWindow->isVisible();
}

std::optional<WindowPosition> MainWindowPosition(const Application& app)
{
    if (!app.desktop || !app.desktop->mainWindow)
        return std::nullopt;
    const QPoint position = app.desktop->mainWindow->pos();
    return WindowPosition{position.x(), position.y()};
}

namespace {

// The count and the rows of the last successful check, highest message number first.
void FillMessageList(Application& app)
{
    Desktop& desktop = *app.desktop;
    const ResultView view = BuildResultView(app);
    desktop.countLabel->setText(QString::number(view.count));
    desktop.messageList->clear();
    QList<QTreeWidgetItem*> rows;
    rows.reserve(static_cast<qsizetype>(view.rows.size()));
    for (const ResultRow& row : view.rows)
        rows.append(new QTreeWidgetItem(QStringList{ToQString(row.from), ToQString(row.subject)}));
    desktop.messageList->addTopLevelItems(rows);
    desktop.messageList->resizeColumnToContents(0);
    desktop.messageList->resizeColumnToContents(1);
    desktop.messageListStale = false;
}

} // namespace

void ShowMainWindow(Application& app)
{
    ResetTrayIcon(app);
    if (app.desktop->messageListStale)
        FillMessageList(app);
    QDialog* window = app.desktop->mainWindow.get();
    window->show();
    window->raise();
    window->activateWindow();
}

void ShowResults(Application& app)
{
    Desktop& desktop = *app.desktop;
    if (MainWindowVisible(app))
        return FillMessageList(app);
    // The program lives hidden: rows of a large mailbox that nobody sees would cost
    // megabytes and time at every check, so a hidden window gets them when it is shown.
    desktop.countLabel->setText(QString::number(CountMessages(app)));
    desktop.messageList->clear();
    desktop.messageListStale = true;
}

void ShowAboutBox(Application& app)
{
    const auto text = LoadString(StringId::AboutText);
    const auto caption = LoadString(StringId::AboutCaption);
    if (!text || !caption)
        return;
    QMessageBox::information(app.desktop->mainWindow.get(), ToQString(*caption), ToQString(*text));
}

void OpenSettings(Application& app)
{
    if (RunSettingsDialog(app.settings, app.desktop->mainWindow.get()))
        RestartCheck(app);
}

void StartCheckTimer(Application& app)
{
    app.desktop->checkTimer.start(std::chrono::minutes(app.settings.delay));
}

void RestartCheck(Application& app)
{
    StopCheck(app);
    StartCheck(app);
    StartCheckTimer(app);
}
