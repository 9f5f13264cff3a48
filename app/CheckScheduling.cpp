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

namespace {

bool Among(const DigestSet& digests, const MessageInfo& message)
{
    return message.uidDigest && digests.contains(*message.uidDigest);
}

} // namespace

ResultView BuildResultView(Application& app, const UnseenMail& mail)
{
    std::lock_guard lock(app.resultsMutex);
    ResultView view;
    view.count = app.messages.size();
    view.rows.reserve(app.messages.size());
    for (auto it = app.messages.rbegin(); it != app.messages.rend(); ++it) {
        const MessageInfo& message = it->second;
        view.rows.push_back({message.from, message.subject, message.uidDigest && ShownBold(mail, *message.uidDigest)});
    }
    return view;
}

DigestSet NewDigests(Application& app)
{
    std::lock_guard lock(app.resultsMutex);
    DigestSet digests;
    for (const auto& [number, message] : app.messages)
        if (message.isNew && message.uidDigest)
            digests.insert(*message.uidDigest);
    return digests;
}

std::vector<ResultRow> NewestRowsAmong(Application& app, const DigestSet& among, std::size_t limit)
{
    std::lock_guard lock(app.resultsMutex);
    std::vector<ResultRow> rows;
    for (auto it = app.messages.rbegin(); it != app.messages.rend() && rows.size() < limit; ++it)
        if (Among(among, it->second))
            rows.push_back({it->second.from, it->second.subject, true});
    return rows;
}
