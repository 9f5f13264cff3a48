#include "CheckTimer.h"

#include "CheckScheduling.h"

void StartCheckTimer(CheckTimer& checkTimer, const Settings& settings)
{
    checkTimer.timer.start(std::chrono::minutes(settings.delay));
}

void StartTimedCheck(Application& app, CheckTimer& checkTimer)
{
    if (!StartCheck(app) && checkTimer.showWaitingForDialup)
        checkTimer.showWaitingForDialup();
}

void RestartCheck(Application& app, CheckTimer& checkTimer)
{
    StopCheck(app);
    StartTimedCheck(app, checkTimer);
    StartCheckTimer(checkTimer, app.settings);
}

void StartWakeCheck(Application& app, CheckTimer& checkTimer)
{
    const auto now = std::chrono::steady_clock::now();
    if (checkTimer.lastFinished && now - *checkTimer.lastFinished < WakeCheckPause)
        return;
    StartTimedCheck(app, checkTimer);
}

void NoteCheckFinished(CheckTimer& checkTimer)
{
    checkTimer.lastFinished = std::chrono::steady_clock::now();
}

void ConnectCheckTimer(Application& app, CheckTimer& checkTimer)
{
    QObject::connect(&checkTimer.timer, &QTimer::timeout, [&app, &checkTimer] { StartTimedCheck(app, checkTimer); });
}
