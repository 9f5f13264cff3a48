#pragma once

#include "Application.h"

#include <QTimer>

// The timer that starts the periodic checks.
struct CheckTimer {
    QTimer timer;
};

void StartCheckTimer(CheckTimer& checkTimer, const Settings& settings);
// Check Mail Now and confirmed settings: stop the running check, check at once, re-arm the timer.
void RestartCheck(Application& app, CheckTimer& checkTimer);
// Starts a check at each tick.
void ConnectCheckTimer(Application& app, CheckTimer& checkTimer);
