#include "SchedulingTestSupport.h"

#include "DialupGate.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <dirent.h>
#include <memory>
#include <netinet/in.h>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

int OpenDescriptorCount()
{
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++count;
        closedir(dir);
    }
    return count;
}

MessageTable PreviousResults()
{
    return {{1, Message(1, "alice@example.org", "old one")}, {2, Message(2, "bob@example.org", "old two")}};
}

// A worker that keeps its session open until StopEvent, then ends the way a
// session stopped in its dialogue does: FinishedEvent, no status, no results.
struct StoppableRoutine {
    std::atomic<int> running{0};
    std::atomic<int> mostRunning{0};
    std::atomic<int> started{0};
    std::atomic<int> stopped{0};

    CheckRoutine Routine()
    {
        return [this](std::shared_ptr<WorkerLink> link, CheckRequest request) -> std::uint32_t {
            const int now = ++running;
            int most = mostRunning.load();
            while (now > most && !mostRunning.compare_exchange_weak(most, now)) {
            }
            ++started;
            if (WaitReadable(request.stopFd, 10000)) {
                AutoResetEvent::TryConsumeFd(request.stopFd);
                ++stopped;
            }
            // A teardown that takes a moment: a second worker started too early would overlap it.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            link->SignalFinished();
            --running;
            return 0;
        };
    }
};

TEST(CheckScheduling, ResultViewListsHighestMessageNumberFirst)
{
    Application app;
    EXPECT_EQ(BuildResultView(app).count, 0u);
    EXPECT_TRUE(BuildResultView(app).rows.empty());

    app.messages = {{1, Message(1, "one@example.org", "first")},
                    {3, Message(3, "three@example.org", "")},
                    {2, Message(2, "", "second")}};
    const ResultView view = BuildResultView(app);
    EXPECT_EQ(view.count, 3u);
    ASSERT_EQ(view.rows.size(), 3u);
    EXPECT_EQ(view.rows[0].from, "three@example.org");
    EXPECT_EQ(view.rows[0].subject, "");
    EXPECT_EQ(view.rows[1].from, "");
    EXPECT_EQ(view.rows[1].subject, "second");
    EXPECT_EQ(view.rows[2].from, "one@example.org");
    EXPECT_EQ(view.rows[2].subject, "first");
}

TEST(CheckScheduling, StopDuringDialogueGivesFinishedEventAndPreviousResults)
{
    Application app;
    app.messages = PreviousResults();
    StoppableRoutine worker;
    app.checkRoutine = worker.Routine();

    StartCheck(app);
    ASSERT_NE(app.workerThread, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return worker.started == 1; }));
    StopCheck(app);

    EXPECT_EQ(app.workerThread, nullptr);
    EXPECT_EQ(worker.stopped, 1);
    EXPECT_TRUE(app.finishedEvent.TryConsume());
    EXPECT_FALSE(app.statusEvent.TryConsume());
    EXPECT_FALSE(app.stopEvent.TryConsume());
    const ResultView view = BuildResultView(app);
    EXPECT_EQ(view.count, 2u);
    ASSERT_EQ(view.rows.size(), 2u);
    EXPECT_EQ(view.rows[0].subject, "old two");
    EXPECT_EQ(view.rows[1].subject, "old one");
}

TEST(CheckScheduling, EveryTriggerStopsTheRunningCheckAndStartsOneNew)
{
    Application app;
    StoppableRoutine worker;
    app.checkRoutine = worker.Routine();
    const int descriptorsBefore = OpenDescriptorCount();

    constexpr int triggers = 5;
    for (int i = 1; i <= triggers; ++i) {
        StartCheck(app);
        ASSERT_NE(app.workerThread, nullptr);
        ASSERT_TRUE(WaitUntil([&] { return worker.started == i; }));
        EXPECT_EQ(worker.stopped, i - 1);
    }
    StopCheck(app);

    EXPECT_EQ(worker.started, triggers);
    EXPECT_EQ(worker.stopped, triggers);
    EXPECT_EQ(worker.mostRunning, 1);
    EXPECT_EQ(worker.running, 0);
    EXPECT_FALSE(app.stopEvent.TryConsume());
    // Each worker's duplicate of StopEvent is closed once it has gone.
    EXPECT_EQ(OpenDescriptorCount(), descriptorsBefore);
}

TEST(CheckScheduling, ClosedDialupGateStopsTheRunningCheckAndStartsNone)
{
    if (IsDialupConnected())
        GTEST_SKIP() << "this machine has a point-to-point interface up and running";
    Application app;
    StoppableRoutine worker;
    app.checkRoutine = worker.Routine();

    StartCheck(app);
    ASSERT_TRUE(WaitUntil([&] { return worker.started == 1; }));
    app.settings.waitForDialup = true;
    StartCheck(app);
    EXPECT_EQ(app.workerThread, nullptr);
    EXPECT_EQ(worker.stopped, 1);
    EXPECT_EQ(worker.started, 1);
    EXPECT_EQ(app.status.load(), 11);
    EXPECT_FALSE(app.statusEvent.TryConsume());

    app.settings.waitForDialup = false;
    StartCheck(app);
    EXPECT_NE(app.workerThread, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return worker.started == 2; }));
    StopCheck(app);
}

TEST(CheckScheduling, WorkerThatEndedOnItsOwnIsReleasedAtOnce)
{
    Application app;
    StopCheck(app); // no worker: nothing to do, and no stop left behind
    EXPECT_FALSE(app.stopEvent.TryConsume());

    app.settings.host = "pop.example.org";
    app.seenDigests = {DigestFromBytes(std::string(16, 'a'))};
    std::string hostSeen;
    DigestSet digestsSeen;
    app.checkRoutine = [&](std::shared_ptr<WorkerLink> link, CheckRequest request) -> std::uint32_t {
        hostSeen = request.connection.host;
        digestsSeen = request.seenDigests;
        CheckResults results;
        results.messages = {{1, Message(1, "new@example.org", "hello")}};
        results.digests = {DigestFromBytes(std::string(16, 'b'))};
        results.newMail = true;
        link->PostStatus(15);
        link->PublishResults(std::move(results));
        // After QUIT a session stops its own loop; that stop is left unconsumed here.
        link->SignalStop();
        link->SignalFinished();
        return 0;
    };

    StartCheck(app);
    ASSERT_NE(app.workerThread, nullptr);
    const std::shared_ptr<WorkerLink> link = app.workerThread->link;
    ASSERT_TRUE(link->WaitEnded(10000));
    const auto start = Clock::now();
    StopCheck(app);
    EXPECT_LT(MillisecondsSince(start), StopWaitMs / 3);

    EXPECT_EQ(app.workerThread, nullptr);
    EXPECT_FALSE(app.stopEvent.TryConsume());
    EXPECT_EQ(hostSeen, "pop.example.org");
    EXPECT_EQ(digestsSeen, DigestSet{DigestFromBytes(std::string(16, 'a'))});
    EXPECT_EQ(app.status.load(), 15);
    EXPECT_TRUE(app.statusEvent.TryConsume());
    EXPECT_TRUE(app.finishedEvent.TryConsume());
    EXPECT_TRUE(app.newMail);
    EXPECT_EQ(app.seenDigests, DigestSet{DigestFromBytes(std::string(16, 'b'))});
    ASSERT_EQ(app.messages.size(), 1u);
    EXPECT_EQ(app.messages.at(1).subject, "hello");
}

TEST(CheckScheduling, StopDuringNameLookupReturnsAtOnceAndLeavesNoEffect)
{
    Application app;
    app.settings.host = "pop.example.invalid";
    app.messages = PreviousResults();
    app.seenDigests = {DigestFromBytes(std::string(16, 'a'))};

    // A name lookup that hangs until the test lets it answer.
    struct Lookup {
        Latch release;
        std::atomic<bool> entered{false};
        std::atomic<bool> answered{false};
    };
    auto lookup = std::make_shared<Lookup>();
    app.resolveHost = [lookup](const std::string&, std::uint32_t& address) {
        lookup->entered = true;
        lookup->release.Wait(60000);
        address = htonl(INADDR_LOOPBACK);
        lookup->answered = true;
        return true;
    };

    StartCheck(app);
    ASSERT_NE(app.workerThread, nullptr);
    const std::shared_ptr<WorkerLink> link = app.workerThread->link;
    ASSERT_TRUE(WaitUntil([&] { return lookup->entered.load(); }));
    app.statusEvent.Reset();
    const StatusCode statusBefore = app.status.load();

    const auto start = Clock::now();
    StopCheck(app);
    const long long stopMs = MillisecondsSince(start);
    EXPECT_LT(stopMs, StopWaitMs / 3);
    RecordProperty("stop_during_lookup_ms", std::to_string(stopMs));
    {
        std::lock_guard lock(link->mutex);
        EXPECT_TRUE(link->ended) << "the worker was abandoned instead of ending";
    }

    // The late answer must change nothing either.
    lookup->release.Open();
    ASSERT_TRUE(WaitUntil([&] { return lookup->answered.load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    EXPECT_EQ(app.status.load(), statusBefore);
    EXPECT_FALSE(app.statusEvent.TryConsume());
    EXPECT_FALSE(app.finishedEvent.TryConsume());
    EXPECT_FALSE(app.stopEvent.TryConsume());
    EXPECT_EQ(app.messages.size(), 2u);
    EXPECT_EQ(app.seenDigests, DigestSet{DigestFromBytes(std::string(16, 'a'))});
    EXPECT_FALSE(app.newMail);
}

TEST(CheckScheduling, ResultsReadWhileAWorkerPublishesAreNeverTorn)
{
    Application app;
    std::atomic<int> reads{0};
    std::atomic<int> lastGeneration{-1};
    std::atomic<bool> done{false};
    // Publishes until the reader has looked often enough to overlap many hand-overs.
    app.checkRoutine = [&](std::shared_ptr<WorkerLink> link, CheckRequest) -> std::uint32_t {
        for (int generation = 0; generation < 100000 && (generation < 300 || reads < 300); ++generation) {
            CheckResults results;
            const std::uint32_t count = 1 + generation % 7;
            for (std::uint32_t number = 1; number <= count; ++number)
                results.messages[number] =
                    Message(number, "sender" + std::to_string(number), std::to_string(generation));
            results.newMail = generation % 2;
            link->PublishResults(std::move(results));
            lastGeneration = generation;
        }
        done = true;
        return 0;
    };

    StartCheck(app);
    ASSERT_NE(app.workerThread, nullptr);
    const auto start = Clock::now();
    do {
        const ResultView view = BuildResultView(app);
        ++reads;
        ASSERT_EQ(view.count, view.rows.size());
        for (std::size_t i = 0; i < view.rows.size(); ++i) {
            EXPECT_EQ(view.rows[i].subject, view.rows[0].subject);
            EXPECT_EQ(view.rows[i].from, "sender" + std::to_string(view.count - i));
        }
    } while (!done && MillisecondsSince(start) < 30000);
    StopCheck(app);
    EXPECT_TRUE(done);
    EXPECT_EQ(BuildResultView(app).count, 1u + lastGeneration % 7);
}

} // namespace
