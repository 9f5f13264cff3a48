#pragma once

#include "SettingsModel.h"

class QWidget;

// The modal settings dialog over the given settings. On a confirmed OK it has
// taken the entries into settings, updated the autostart entry and written the
// settings back to the store (the password into the desktop's keyring when there is
// one, the store's Password then empty); true then. Cancel, Esc and the close box: false,
// and nothing has changed. owner may be null (the first run has no window yet).
bool RunSettingsDialog(Settings& settings, QWidget* owner);

// Object names of the dialog and its controls (resources/SettingsDialog.ui).
namespace SettingsDialogNames {
constexpr const char* Dialog = "settingsDialog";
constexpr const char* Server = "serverEdit";
constexpr const char* Port = "portEdit";
constexpr const char* Account = "accountEdit";
constexpr const char* Password = "passwordEdit";
constexpr const char* Security = "securityChoice";
constexpr const char* PlainWarning = "plainPasswordWarning";
constexpr const char* PasswordPlace = "passwordPlace";
constexpr const char* Interval = "intervalEdit";
constexpr const char* UpDown = "intervalUpDown";
constexpr const char* UpArrow = "intervalUpArrow";
constexpr const char* DownArrow = "intervalDownArrow";
constexpr const char* WaitForDialup = "waitForDialupCheck";
constexpr const char* RunAtStartup = "runAtStartupCheck";
constexpr const char* ShowNotification = "showNotificationCheck";
constexpr const char* PlaySound = "playSoundCheck";
constexpr const char* MailProgram = "mailProgramEdit";
constexpr const char* PortLabel = "portLabel";
constexpr const char* Ok = "okButton";
constexpr const char* Cancel = "cancelButton";
} // namespace SettingsDialogNames
