#include "CheckTimer.h"

#include "CheckScheduling.h"

#include <chrono>

void StartCheckTimer(CheckTimer& checkTimer, const Settings& settings)
{
    checkTimer.timer.start(std::chrono::minutes(settings.delay));
}

void RestartCheck(Application& app, CheckTimer& checkTimer)
{
    StopCheck(app);
    StartCheck(app);
    StartCheckTimer(checkTimer, app.settings);
}

void ConnectCheckTimer(Application& app, CheckTimer& checkTimer)
{
    QObject::connect(&checkTimer.timer, &QTimer::timeout, [&app] { StartCheck(app); });
}
