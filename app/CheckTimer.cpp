#include "CheckTimer.h"

#include "CheckScheduling.h"

void StartCheckTimer(CheckTimer& checkTimer, const Settings& settings)
{
    checkTimer.timer.start(std::chrono::minutes(settings.delay));
}

void StartTimedCheck(Application& app, CheckTimer& checkTimer, const Settings& settings)
{
    const char* why = settings.host.empty() ? NoAccountText : StartCheck(app, settings) ? nullptr : WaitingForDialupText;
    if (why && checkTimer.showNotChecking)
        checkTimer.showNotChecking(why);
}

void RestartCheck(Application& app, CheckTimer& checkTimer, const Settings& settings)
{
    StopCheck(app);
    StartTimedCheck(app, checkTimer, settings);
    StartCheckTimer(checkTimer, settings);
}

void StartWakeCheck(Application& app, CheckTimer& checkTimer, const Settings& settings)
{
    const auto now = std::chrono::steady_clock::now();
    if (checkTimer.lastFinished && now - *checkTimer.lastFinished < WakeCheckPause)
        return;
    StartTimedCheck(app, checkTimer, settings);
}

void NoteCheckFinished(CheckTimer& checkTimer)
{
    checkTimer.lastFinished = std::chrono::steady_clock::now();
}

void ConnectCheckTimer(Application& app, CheckTimer& checkTimer, const Settings& settings)
{
    QObject::connect(&checkTimer.timer, &QTimer::timeout,
                     [&app, &checkTimer, &settings] { StartTimedCheck(app, checkTimer, settings); });
}
