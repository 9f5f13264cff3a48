#pragma once

#include "Application.h"

class QWidget;

// The modal settings dialog over the given settings. On a confirmed OK it has
// taken the entries into settings, updated the autostart entry and written the
// settings back to the store (the password into the desktop's keyring when there is
// one, the store's Password then empty); true then. Cancel, Esc and the close box: false,
// and nothing has changed. owner may be null (the first run has no window yet).
bool RunSettingsDialog(Settings& settings, QWidget* owner);

// Object names of the dialog and its controls, after the template's ids.
namespace SettingsDialogNames {
constexpr const char* Dialog = "SettingsDialog";
constexpr const char* Server = "edit1006";
constexpr const char* Port = "edit1014";
constexpr const char* Account = "edit1007";
constexpr const char* Password = "edit1008";
constexpr const char* Security = "securityChoice";
constexpr const char* PlainWarning = "plainPasswordWarning";
constexpr const char* PasswordPlace = "passwordPlace";
constexpr const char* Interval = "edit1009";
constexpr const char* UpDown = "updown1010";
constexpr const char* UpArrow = "updown1010Up";
constexpr const char* DownArrow = "updown1010Down";
constexpr const char* WaitForDialup = "check1012";
constexpr const char* RunAtStartup = "check1013";
constexpr const char* Ok = "button1";
constexpr const char* Cancel = "button2";
} // namespace SettingsDialogNames
