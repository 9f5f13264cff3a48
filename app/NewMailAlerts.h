#pragma once

#include "DesktopRun.h"

// What the user is told of new mail, and when it counts as looked at.

// With a tray, the user looks while the window is shown; without one the window stays open as
// the program's face, and the user looks while it is the active window.
bool UserLooks(const Desktop& desktop);
// A finished check's new messages: bold at once while the user looks; else unseen, with the
// new-mail picture, the count in the status bar and, when the count grew, the notification.
void AnnounceNewMail(Application& app, Desktop& desktop);
// The user opened the window: unseen mail is shown bold and counts no more; its notification goes.
void LookAtMail(Desktop& desktop);
// "Mark as seen": as looking, without the window.
void MarkMailSeen(Desktop& desktop);
