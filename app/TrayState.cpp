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
            display.balloonText = CutUtf8(text, BalloonTextLimit);
        }
        display.face = TrayFace{TrayPicture::Error, toolTip};
        return display;
    }
    if (balloonCapable)
        display.balloon = BalloonAction::TakeDown;
    display.face = TrayFace{trayShowsNewMail ? TrayPicture::NewMail : TrayPicture::Normal, toolTip};
    return display;
}
