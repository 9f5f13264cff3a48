#pragma once

#include "Application.h"
#include "SettingsModel.h"
#include "UnseenMail.h"

#include <QRect>

#include <functional>
#include <memory>
#include <optional>
#include <string_view>

class QDialog;
class QIcon;
class QLabel;
class QPushButton;
class QWidget;
namespace Ui {
class MainWindow;
}

// What the main window's buttons do; the run loop supplies them.
struct MainWindowActions {
    std::function<void()> about;
    std::function<void()> settings;
    std::function<void()> checkNow;
    std::function<void()> exit;
    std::function<void()> trustCertificate; // the offer in the status bar
    std::function<void()> hidden;
    std::function<void()> activated; // the user brought the window to the front
};

// The main window, laid out by resources/MainWindow.ui.
struct MainWindow {
    MainWindow();
    ~MainWindow();
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    std::unique_ptr<QDialog> dialog;
    std::unique_ptr<Ui::MainWindow> ui;
    bool listStale = false;       // rows are built again on the next show
    bool columnWidthKept = false; // the From column's width was set by the user or the last session
    bool fittingColumn = false;   // the program itself is sizing the From column
    QPushButton* trustButton = nullptr; // in the status bar while a certificate may be trusted
    QLabel* unseenLabel = nullptr;      // in the status bar while new mail waits to be looked at
    // The place and size as stored, and as given to the window once fitted to the screen: while
    // the window keeps the fitted ones, the stored ones are saved again, not the fitted ones.
    QRect storedGeometry;
    QRect fittedGeometry;
};

// Object names of the main window's controls (resources/MainWindow.ui).
namespace MainWindowNames {
constexpr const char* Dialog = "mainWindow";
constexpr const char* TotalLabel = "totalLabel";
constexpr const char* Count = "countLabel";
constexpr const char* List = "messageList";
constexpr const char* About = "aboutButton";
constexpr const char* Settings = "settingsButton";
constexpr const char* CheckNow = "checkNowButton";
constexpr const char* Exit = "exitButton";
constexpr const char* Close = "closeButton";
constexpr const char* StatusBar = "statusBar";
constexpr const char* TrustCertificate = "trustCertificate";
constexpr const char* UnseenCount = "unseenCount";
} // namespace MainWindowNames

// Hidden, at the saved place unless firstRun, and never larger than the screen's free area.
void CreateMainWindow(MainWindow& window, const QIcon& appIcon, bool firstRun, const MainWindowActions& actions);
bool MainWindowVisible(const MainWindow& window);
bool MainWindowActive(const MainWindow& window);
// Its size, and the From column's width when the user chose it (else 0), to keep.
std::optional<WindowLayout> MainWindowLayout(const MainWindow& window);
// Nothing where the window manager alone places windows (Wayland).
std::optional<WindowPosition> MainWindowPosition(const MainWindow& window);
// Shows and raises the window, with the rows of the last check, bold as mail says; activated
// unless the program shows it of its own accord.
void ShowMainWindow(MainWindow& window, Application& app, const UnseenMail& mail, bool activate = true);
// The results of a finished check: rows at once while visible, the count alone while hidden.
void ShowResults(MainWindow& window, Application& app, const UnseenMail& mail);
void ShowStatusBarText(MainWindow& window, std::string_view text);
void ShowAboutBox(QWidget* owner);
// The offer to trust the certificate of the last check, shown while there is one to trust.
void ShowTrustOffer(MainWindow& window, bool offered);
// Shows the certificate's details; true when the user agrees to trust it for host.
bool AskToTrustCertificate(MainWindow& window, const std::string& host, const CertificateDetails& certificate);
