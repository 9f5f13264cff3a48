#include "TrayState.h"

#include "EntryRules.h"
#include "StringTable.h"

namespace {

std::string Text(int id, std::size_t limit)
{
    return CutUtf8(std::string(LoadString(id).value_or("")), limit);
}

} // namespace

bool IsErrorStatus(StatusCode code)
{
    return Status::IsFailure(code);
}

bool OffersCertificateReview(StatusCode code)
{
    return code == Status::CertificateUnknownIssuer || code == Status::CertificateSelfSigned;
}

TrayFace IdleFace(bool newMail)
{
    if (newMail)
        return {TrayPicture::NewMail, Text(StringId::NewMail, ToolTipLimit)};
    return {TrayPicture::Normal, Text(StringId::NoNewMail, ToolTipLimit)};
}

StatusDisplay DecideStatusDisplay(StatusCode code, std::optional<std::string_view> statusText,
                                  bool windowVisible, bool trayShowsNewMail, bool balloonCapable)
{
    StatusDisplay display;
    if (!statusText)
        return display;
    const std::string text(*statusText);
    display.statusBarText = CutUtf8(text, StatusTextLimit);
    if (windowVisible)
        return display;
    const std::string toolTip = CutUtf8(text, ToolTipLimit);
    if (IsErrorStatus(code)) {
        if (balloonCapable) {
            display.balloon = BalloonAction::ShowError;
            display.balloonTitle = Text(StringId::ErrorBalloonTitle, BalloonTitleLimit);
            const std::string review = OffersCertificateReview(code) ? std::string(" ") + ReviewCertificateText : "";
            display.balloonText = CutUtf8(text + review, BalloonTextLimit);
        }
        display.face = TrayFace{TrayPicture::Error, toolTip};
        return display;
    }
    if (balloonCapable)
        display.balloon = BalloonAction::TakeDown;
    if (trayShowsNewMail)
        display.face = TrayFace{TrayPicture::NewMail, CutUtf8(Text(StringId::NewMail, ToolTipLimit) + "\n" + text, ToolTipLimit)};
    else
        display.face = TrayFace{TrayPicture::Normal, toolTip};
    return display;
}
