#include "CheckScheduling.h"

#include "DialupGate.h"
#include "WorkerThread.h"

namespace {

ResultRow RowOf(const MessageTable& table, const MessageInfo& message)
{
    return {std::string(MessageFrom(table, message)), std::string(MessageSubject(table, message)), message.isNew};
}

} // namespace

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
    return app.messages.entries.size();
}

std::string SeenListValue(Application& app)
{
    std::lock_guard lock(app.resultsMutex);
    return PackDigests(app.seenDigests);
}

void AddSeenDigests(Application& app, DigestSet&& digests)
{
    std::lock_guard lock(app.resultsMutex);
    MergeDigests(app.seenDigests, digests);
}

ResultView BuildResultView(Application& app)
{
    std::lock_guard lock(app.resultsMutex);
    ResultView view;
    view.count = app.messages.entries.size();
    view.rows.reserve(app.messages.entries.size());
    for (auto it = app.messages.entries.rbegin(); it != app.messages.entries.rend(); ++it)
        view.rows.push_back(RowOf(app.messages, *it));
    return view;
}

std::vector<ResultRow> NewestNewRows(Application& app, std::size_t limit, std::size_t& newCount)
{
    std::lock_guard lock(app.resultsMutex);
    std::vector<ResultRow> rows;
    newCount = 0;
    for (auto it = app.messages.entries.rbegin(); it != app.messages.entries.rend(); ++it) {
        if (!it->isNew)
            continue;
        ++newCount;
        if (rows.size() < limit)
            rows.push_back(RowOf(app.messages, *it));
    }
    return rows;
}
