#include "CheckScheduling.h"

#include "DialupGate.h"
#include "WorkerThread.h"

void StopCheck(Application& app)
{
    if (!app.workerThread)
        return;
    StopWorkerThread(app, *app.workerThread);
    app.workerThread.reset();
    // A stop that no worker consumed (it had ended on its own) must not reach the next one.
    app.stopEvent.Reset();
}

bool StartCheck(Application& app, const Settings& settings)
{
    StopCheck(app);
    if (settings.waitForDialup && !IsDialupConnected())
        return false;
    app.connection = ConnectionOf(settings);
    app.secure = SecureConnectionOf(settings);
    app.workerThread = StartWorkerThread(app);
    return true;
}

std::uint64_t CountMessages(Application& app)
{
    std::lock_guard lock(app.resultsMutex);
    return app.messages.size();
}

std::string SeenListValue(Application& app)
{
    std::lock_guard lock(app.resultsMutex);
    return PackDigests(app.seenDigests);
}

void AddSeenDigests(Application& app, DigestSet&& digests)
{
    std::lock_guard lock(app.resultsMutex);
    app.seenDigests.merge(digests);
}

ResultView BuildResultView(Application& app)
{
    std::lock_guard lock(app.resultsMutex);
    ResultView view;
    view.count = app.messages.size();
    view.rows.reserve(app.messages.size());
    for (auto it = app.messages.rbegin(); it != app.messages.rend(); ++it)
        view.rows.push_back({it->second.from, it->second.subject, it->second.isNew});
    return view;
}

std::vector<ResultRow> NewestNewRows(Application& app, std::size_t limit, std::size_t& newCount)
{
    std::lock_guard lock(app.resultsMutex);
    std::vector<ResultRow> rows;
    newCount = 0;
    for (auto it = app.messages.rbegin(); it != app.messages.rend(); ++it) {
        if (!it->second.isNew)
            continue;
        ++newCount;
        if (rows.size() < limit)
            rows.push_back({it->second.from, it->second.subject, true});
    }
    return rows;
}
