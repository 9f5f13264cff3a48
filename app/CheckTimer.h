#pragma once

#include "Application.h"
#include "SettingsModel.h"

#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

// What starts a check besides the user: the timer, a resume from suspend and the
// network's return. All go through StartTimedCheck.
struct CheckTimer {
    QTimer timer;
    std::function<void(const char* why)> showNotChecking; // a check was due but did not start
    std::optional<std::chrono::steady_clock::time_point> lastFinished;
};

constexpr const char* WaitingForDialupText = "Waiting for a dial-up connection";
constexpr const char* NoAccountText = "No mail account set up";

// A resume or reconnect right after a check needs no second one.
constexpr std::chrono::seconds WakeCheckPause{30};

void StartCheckTimer(CheckTimer& checkTimer, const Settings& settings);
// A check; without a server to check (the first-run dialog cancelled, say), or while the
// dial-up gate is closed, the reason instead.
void StartTimedCheck(Application& app, CheckTimer& checkTimer, const Settings& settings);
// Check Mail Now and confirmed settings: stop the running check, check at once, re-arm the timer.
void RestartCheck(Application& app, CheckTimer& checkTimer, const Settings& settings);
// A resume or the network's return: a check unless one finished within WakeCheckPause.
void StartWakeCheck(Application& app, CheckTimer& checkTimer, const Settings& settings);
void NoteCheckFinished(CheckTimer& checkTimer);
// Starts a check at each tick, with the settings of that moment.
void ConnectCheckTimer(Application& app, CheckTimer& checkTimer, const Settings& settings);
