#include "CheckScheduling.h"

#include "DialupGate.h"
#include "WorkerThread.h"

namespace {

ResultRow RowOf(const MessageTable& table, const MessageInfo& message, bool bold)
{
    return {std::string(MessageFrom(table, message)), std::string(MessageSubject(table, message)), bold};
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

ResultView BuildResultView(Application& app, const UnseenMail& mail)
{
    std::lock_guard lock(app.resultsMutex);
    ResultView view;
    view.count = app.messages.entries.size();
    view.rows.reserve(app.messages.entries.size());
    for (auto it = app.messages.entries.rbegin(); it != app.messages.entries.rend(); ++it)
        view.rows.push_back(RowOf(app.messages, *it, ShownBold(mail, it->uidDigest)));
    return view;
}

DigestSet NewDigests(Application& app)
{
    std::lock_guard lock(app.resultsMutex);
    DigestSet digests;
    for (const MessageInfo& message : app.messages.entries)
        if (message.isNew)
            digests.push_back(message.uidDigest);
    MakeDigestSet(digests);
    return digests;
}

std::vector<ResultRow> NewestRowsAmong(Application& app, const DigestSet& among, std::size_t limit)
{
    std::lock_guard lock(app.resultsMutex);
    std::vector<ResultRow> rows;
    for (auto it = app.messages.entries.rbegin(); it != app.messages.entries.rend() && rows.size() < limit; ++it)
        if (ContainsDigest(among, it->uidDigest))
            rows.push_back(RowOf(app.messages, *it, true));
    return rows;
}
