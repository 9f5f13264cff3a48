#pragma once

#include "MainWindow.h"
#include "TrayState.h"

#include <cstddef>

class QIcon;

// Without a tray the main window is the program's face: its title and icon say what the tray
// icon would (new mail, an error). picture is the tray's picture of the face.
void ShowWindowFace(MainWindow& window, const TrayFace& face, const QIcon& picture, const QIcon& appIcon);
// The count of new messages the user has not looked at, in the status bar; none for 0.
void ShowUnseenCount(MainWindow& window, std::size_t count);
