#pragma once

#include "Application.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// What the tray icon shows and what a status does to it, decided without any
// window: the desktop code only applies these to the QSystemTrayIcon.

enum class TrayPicture { Normal, NewMail, Error };

struct TrayFace {
    TrayPicture picture = TrayPicture::Normal;
    std::string toolTip;
};

enum class BalloonAction { None, ShowError, TakeDown };

struct StatusDisplay {
    std::optional<std::string> statusBarText; // nullopt: a code without text changes nothing
    BalloonAction balloon = BalloonAction::None;
    std::string balloonTitle;
    std::string balloonText;
    std::optional<TrayFace> face; // nullopt: the icon is left as it is
};

constexpr std::size_t StatusTextLimit = 255;
constexpr std::size_t ToolTipLimit = 63;
constexpr std::size_t BalloonTextLimit = 254;
constexpr std::size_t BalloonTitleLimit = 62;
constexpr int BalloonTimeoutMs = 10000;

bool IsErrorStatus(StatusCode code);
// A certificate the user may review in the window and choose to trust: an unknown issuer's
// or a self-signed one.
bool OffersCertificateReview(StatusCode code);
constexpr const char* ReviewCertificateText = "Open Postbell to review the certificate.";

// The face after start-up, a re-add, new mail or the main window's opening:
// the new-mail picture and "You have new e-mail", or the normal one and "No new e-mail".
TrayFace IdleFace(bool newMail);

// The status bar text, balloon and face for the status now posted, whose string-table
// text is statusText. While the user looks at the main window only the status bar changes.
// While the new-mail picture shows, the tooltip says so above the status.
StatusDisplay DecideStatusDisplay(StatusCode code, std::optional<std::string_view> statusText,
                                  bool windowVisible, bool trayShowsNewMail, bool balloonCapable);
