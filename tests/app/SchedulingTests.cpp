// Check scheduling with stand-in workers, and the dial-up gate. No Qt.
#include "CheckScheduling.h"
#include "CheckSession.h"
#include "DialupGate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <net/if.h>
#include <poll.h>
#include <thread>

namespace {

using namespace std::chrono;

bool WaitReadable(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}
long long MsSince(steady_clock::time_point start)
{
    return duration_cast<milliseconds>(steady_clock::now() - start).count();
}
UidDigest Digest(char c) { return DigestFromBytes(std::string(16, c)); }
// Adds a message above those in the table.
void Add(MessageTable& table, char digest, std::uint32_t number, const std::string& from, const std::string& subject)
{
    MessageInfo message{Digest(digest), number};
    SetMessageText(table, message, from, subject);
    table.entries.push_back(message);
}

TEST(DialupGate, OpensOnlyForAPointToPointInterfaceUpAndRunning)
{
    constexpr unsigned P2p = IFF_POINTOPOINT | IFF_UP | IFF_RUNNING;
    const std::pair<unsigned, bool> cases[] = {{IFF_LOOPBACK | P2p, false}, {IFF_BROADCAST | IFF_UP | IFF_RUNNING, false},
                                               {P2p & ~IFF_RUNNING, false}, {P2p & ~IFF_UP, false}, {P2p, true}};
    for (auto [flags, open] : cases)
        EXPECT_EQ(DialupGateOpen({{"lo", IFF_LOOPBACK | IFF_UP | IFF_RUNNING}, {"if", flags}}), open) << flags;
    bool sawLoopback = false; // the machine's own list is read
    for (const NetworkInterface& nic : ReadNetworkInterfaces())
        sawLoopback |= nic.name == "lo" && (nic.flags & IFF_LOOPBACK);
    EXPECT_TRUE(sawLoopback);
}

// Three workers that run until StopEvent and end as a stopped session does, then one that
// ends alone, as a session does after QUIT; then the closed gate.
TEST(CheckScheduling, EachStartStopsTheRunningCheckAndAWorkerThatEndedAloneLeavesNoStop)
{
    if (IsDialupConnected())
        GTEST_SKIP() << "this machine has a point-to-point interface up";
    Application app;
    Settings settings;
    settings.host = "pop.example.org";
    app.seenDigests = {Digest('a')};
    std::atomic<int> running{0}, most{0}, started{0}, stopped{0};
    std::promise<std::pair<std::string, DigestSet>> request;
    app.checkRoutine = [&](std::shared_ptr<WorkerLink> link, CheckRequest given) -> std::uint32_t {
        most = std::max(most.load(), ++running);
        if (++started == 4) {
            request.set_value({given.connection.host, given.seenDigests});
            link->SignalStop();
        } else {
            stopped += WaitReadable(given.stopFd, 10000) && AutoResetEvent::TryConsumeFd(given.stopFd);
            // Ends well after its stop: a stop that gave up early would let the next worker overlap.
            std::this_thread::sleep_for(milliseconds(200));
        }
        link->SignalFinished();
        --running;
        return 0;
    };
    const auto descriptors = std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    for (int i = 1; i <= 4; ++i) {
        StartCheck(app, settings);
        for (const auto start = steady_clock::now(); started < i && MsSince(start) < 10000;)
            std::this_thread::sleep_for(milliseconds(1));
        ASSERT_EQ(started, i);
        EXPECT_EQ(stopped, i - 1);
    }
    ASSERT_TRUE(app.workerThread->link->WaitEnded(10000));
    settings.waitForDialup = true;
    const auto start = steady_clock::now();
    EXPECT_FALSE(StartCheck(app, settings));
    EXPECT_LT(MsSince(start), StopWaitMs / 3) << "a worker that had ended was waited for";
    EXPECT_EQ(app.workerThread, nullptr);
    EXPECT_EQ(most, 1);
    EXPECT_FALSE(app.stopEvent.TryConsume()) << "a stop left for the next worker";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}), descriptors)
        << "a worker's copy of StopEvent stayed open";
    EXPECT_EQ(request.get_future().get(), std::make_pair(std::string("pop.example.org"), DigestSet{Digest('a')}));
    StopCheck(app);
}

TEST(CheckScheduling, ResultsReadWhileAWorkerPublishesAreNeverTorn)
{
    Application app;
    Settings settings;
    std::atomic<int> reads{0}, last{-1};
    std::atomic<bool> done{false};
    app.checkRoutine = [&](std::shared_ptr<WorkerLink> link, CheckRequest) -> std::uint32_t {
        for (int generation = 0; generation < 100000 && (generation < 300 || reads < 300); ++generation) {
            CheckResults results;
            for (std::uint32_t number = 1; number <= 1u + generation % 7; ++number)
                Add(results.messages, char(number), number, std::to_string(number), std::to_string(generation));
            link->PublishResults(std::move(results));
            last = generation;
        }
        done = true;
        return 0;
    };
    StartCheck(app, settings);
    const auto start = steady_clock::now();
    do {
        const ResultView view = BuildResultView(app, {});
        ++reads;
        ASSERT_EQ(view.count, view.rows.size());
        for (std::size_t i = 0; i < view.rows.size(); ++i)
            ASSERT_TRUE(view.rows[i].subject == view.rows[0].subject && view.rows[i].from == std::to_string(view.count - i));
    } while (!done && MsSince(start) < 30000);
    StopCheck(app);
    EXPECT_EQ(BuildResultView(app, {}).count, 1u + last % 7);
}

// Slow: a worker deaf to StopEvent costs the full wait and is abandoned; whatever it does
// later reaches nothing. (That it keeps a stop of its own: WorkerThreadTest.)
TEST(CheckSchedulingAbandon, AWorkerThatIgnoresStopIsAbandonedAndChangesNothing)
{
    Application app;
    Add(app.messages, 'a', 1, "a", "old one");
    app.seenDigests = {Digest('a')};
    std::promise<void> release;
    app.checkRoutine = [released = release.get_future().share()](std::shared_ptr<WorkerLink> link, CheckRequest) {
        released.wait_for(seconds(60));
        link->PostStatus(17);
        CheckResults late{{}, {Digest('b')}, true};
        Add(late.messages, 'b', 7, "late", "late");
        link->PublishResults(std::move(late));
        link->SignalStop();
        link->SignalFinished();
        return std::uint32_t{0};
    };
    StartCheck(app, Settings{});
    const std::shared_ptr<WorkerLink> stuck = app.workerThread->link;
    const auto start = steady_clock::now();
    StopCheck(app);
    EXPECT_GE(MsSince(start), StopWaitMs - 50);
    release.set_value();
    ASSERT_TRUE(stuck->WaitEnded(10000));
    EXPECT_FALSE(app.statusEvent.TryConsume() || app.finishedEvent.TryConsume() || app.stopEvent.TryConsume());
    const MessageInfo* old = FindMessage(app.messages, 1);
    EXPECT_TRUE(app.messages.entries.size() == 1 && old && MessageSubject(app.messages, *old) == "old one");
    EXPECT_EQ(app.seenDigests, DigestSet{Digest('a')});
    EXPECT_FALSE(app.newMail);
}

} // namespace
