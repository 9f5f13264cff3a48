#include "SchedulingTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <utility>

namespace {

// A worker that does not answer StopEvent is abandoned after the full wait, and
// whatever it does afterwards reaches neither the Application nor the next worker.
TEST(CheckSchedulingAbandon, WorkerThatIgnoresStopIsAbandonedAndChangesNothing)
{
    Application app;
    const MessageTable previous{{1, Message(1, "alice@example.org", "old one")}};
    app.messages = previous;
    app.seenDigests = {DigestFromBytes(std::string(16, 'a'))};

    Latch release;
    std::atomic<int> generation{0};
    std::atomic<bool> stuckStarted{false};
    std::atomic<bool> stuckSawOwnStop{false};
    std::atomic<bool> nextSawStop{false};
    std::atomic<bool> nextStopAsked{false};
    app.checkRoutine = [&](std::shared_ptr<WorkerLink> link, CheckRequest request) -> std::uint32_t {
        if (++generation > 1) { // the next check behaves
            nextSawStop = WaitReadable(request.stopFd, 10000) && nextStopAsked;
            link->SignalFinished();
            return 0;
        }
        stuckStarted = true;
        release.Wait(60000);
        CheckResults results;
        results.messages = {{7, Message(7, "late@example.org", "late")}};
        results.digests = {DigestFromBytes(std::string(16, 'z'))};
        results.newMail = true;
        link->PostStatus(17);
        link->PublishResults(std::move(results));
        link->SignalStop();
        link->SignalFinished();
        stuckSawOwnStop = WaitReadable(request.stopFd, 5000) && AutoResetEvent::TryConsumeFd(request.stopFd);
        return 0;
    };

    StartCheck(app);
    ASSERT_NE(app.workerThread, nullptr);
    const std::shared_ptr<WorkerLink> stuck = app.workerThread->link;
    ASSERT_TRUE(WaitUntil([&] { return stuckStarted.load(); }));

    const auto start = std::chrono::steady_clock::now();
    StopCheck(app);
    EXPECT_GE(MillisecondsSince(start), StopWaitMs - 50);
    EXPECT_EQ(app.workerThread, nullptr);
    EXPECT_FALSE(app.stopEvent.TryConsume());

    // The next check runs while the abandoned worker wakes up and tries everything.
    StartCheck(app);
    ASSERT_NE(app.workerThread, nullptr);
    release.Open();
    ASSERT_TRUE(stuck->WaitEnded(10000));
    EXPECT_TRUE(stuckSawOwnStop);

    EXPECT_EQ(app.status.load(), 11);
    EXPECT_FALSE(app.statusEvent.TryConsume());
    EXPECT_FALSE(app.finishedEvent.TryConsume());
    {
        std::lock_guard lock(app.resultsMutex);
        EXPECT_EQ(app.messages.size(), 1u);
        EXPECT_EQ(app.messages.at(1).subject, "old one");
        EXPECT_EQ(app.seenDigests, DigestSet{DigestFromBytes(std::string(16, 'a'))});
        EXPECT_FALSE(app.newMail);
    }

    // Its StopEvent still reaches the next worker.
    const auto nextStart = std::chrono::steady_clock::now();
    nextStopAsked = true;
    StopCheck(app);
    EXPECT_LT(MillisecondsSince(nextStart), StopWaitMs / 3);
    EXPECT_TRUE(nextSawStop);
    EXPECT_TRUE(app.finishedEvent.TryConsume());
}

} // namespace
