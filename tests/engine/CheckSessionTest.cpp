// One check session against the scripted server: exact bytes both ways, the
// statuses, FinishedEvent, the exit code and what reaches the Application.

#include "CheckSession.h"
#include "ScriptedServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <fcntl.h>
#include <future>
#include <optional>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// One CheckSessionThread on a thread of its own, joined to a fresh Application.
struct SessionRun {
    Application app;
    std::shared_ptr<WorkerLink> link = std::make_shared<WorkerLink>(app);
    int stopFd = -1;
    std::future<std::uint32_t> exit;
    std::thread thread;
    std::optional<std::uint32_t> exitCode;

    SessionRun()
    {
        // Results of an earlier check, which a failed check must leave alone.
        app.messages[42].subject = "previous";
        app.seenDigests.insert(MakeUidDigest("previous"));
    }

    void Start(ConnectionSettings connection, HostResolver resolver = {}, Security security = Security::None)
    {
        stopFd = fcntl(app.stopEvent.Fd(), F_DUPFD_CLOEXEC, 0);
        CheckRequest request;
        request.connection = std::move(connection);
        request.secure.security = security;
        request.seenDigests = app.seenDigests;
        request.stopFd = stopFd;
        request.resolveHost = std::move(resolver);
        std::packaged_task<std::uint32_t()> task(
            [link = link, request = std::move(request)]() mutable { return CheckSessionThread(link, std::move(request)); });
        exit = task.get_future();
        thread = std::thread(std::move(task));
    }

    void StartLoopback(std::uint16_t port, std::string password = "pw")
    {
        Start(ConnectionSettings{"127.0.0.1", port, "jo", std::move(password)});
    }

    // The exit code; nothing when the session did not end in time.
    std::optional<std::uint32_t> Exit()
    {
        if (!exitCode && exit.valid() && exit.wait_for(ScriptPatience) == std::future_status::ready) {
            exitCode = exit.get();
            thread.join();
        }
        return exitCode;
    }

    bool Finished() const { return app.finishedEvent.TryConsume(); }

    bool ResultsUntouched()
    {
        std::lock_guard lock(app.resultsMutex);
        return app.messages.size() == 1 && app.messages.count(42) == 1 && !app.newMail
            && app.seenDigests == DigestSet{MakeUidDigest("previous")};
    }

    ~SessionRun()
    {
        if (thread.joinable()) {
            app.stopEvent.Set();
            if (exit.wait_for(ScriptPatience) == std::future_status::ready) {
                thread.join();
            } else {
                link->Cut();
                thread.detach();
                return; // the stray session still polls stopFd
            }
        }
        if (stopFd >= 0)
            close(stopFd);
    }
};

void ExpectScriptPassed(ScriptedServer& server)
{
    ASSERT_TRUE(server.Finish());
    EXPECT_EQ(server.failure, "");
}

// The login and a mailbox of one message, as the server plays it.
void PlayLoginAndStat(ScriptConnection& c, std::string_view stat)
{
    c.Send("+OK ready\r\n");
    c.Expect("USER jo\r\n");
    c.Send("+OK\r\n");
    c.Expect("PASS pw\r\n");
    c.Send("+OK\r\n");
    c.Expect("STAT\r\n");
    c.Send(stat);
}

} // namespace

TEST(CheckSessionTest, WholeCheckWithSplitAndBundledReplies)
{
    ScriptedServer server;
    server.Start([](ScriptConnection& c) {
        c.SendByteByByte("+OK POP3 ready\r\n");
        c.Expect("USER jo\r\n");
        c.Send("+OK\r");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        c.Send("\n");
        c.Expect("PASS a secret\r\n");
        c.Send("+OK logged in\r\n");
        c.Expect("STAT\r\n");
        c.Send("+OK 2 320\r\n");
        c.Expect("UIDL\r\n");
        c.Send("+OK\r\n1 uid-1\r\n2 uid-2\r\n.\r\n");
        c.Expect("TOP 1 0\r\n");
        c.SendByteByByte("+OK\r\nFrom: Ann <ann@example.org>\r\nSubject: Hello\r\n\r\n.\r\n");
        c.Expect("TOP 2 0\r\n");
        // The QUIT reply comes in the same read as the end of the headers.
        c.Send("+OK\r\nFrom: Bob\r\nSubject:  Re: hi\r\n\r\n.\r\n+OK bye\r\n");
        c.Expect("QUIT\r\n");
        c.ExpectClosed();
    });
    SessionRun run;
    run.app.seenDigests = {MakeUidDigest("uid-1")};
    run.StartLoopback(server.port, "a secret");

    // Read the results the way the user interface does, all through the check.
    bool finished = false;
    const auto deadline = Clock::now() + ScriptPatience;
    while (!finished && Clock::now() < deadline) {
        {
            std::lock_guard lock(run.app.resultsMutex);
            volatile std::size_t seen = run.app.messages.size() + run.app.seenDigests.size();
            (void)seen;
        }
        finished = run.app.finishedEvent.Wait(1);
    }
    EXPECT_TRUE(finished);
    EXPECT_EQ(run.Exit(), 0u);
    ExpectScriptPassed(server);
    EXPECT_EQ(server.received, "USER jo\r\nPASS a secret\r\nSTAT\r\nUIDL\r\nTOP 1 0\r\nTOP 2 0\r\nQUIT\r\n");
    EXPECT_EQ(run.app.status, 15);
    EXPECT_FALSE(run.app.stopEvent.TryConsume()) << "the session's own stop was consumed";

    std::lock_guard lock(run.app.resultsMutex);
    ASSERT_EQ(run.app.messages.size(), 2u);
    EXPECT_EQ(run.app.messages.at(1).from, "Ann <ann@example.org>");
    EXPECT_EQ(run.app.messages.at(1).subject, "Hello");
    EXPECT_EQ(run.app.messages.at(2).from, "Bob");
    EXPECT_EQ(run.app.messages.at(2).subject, " Re: hi");
    EXPECT_EQ(run.app.messages.at(2).uidDigest, MakeUidDigest("uid-2"));
    EXPECT_TRUE(run.app.newMail);
    EXPECT_EQ(run.app.seenDigests, (DigestSet{MakeUidDigest("uid-1"), MakeUidDigest("uid-2")}));
}

TEST(CheckSessionTest, NegativeReplyInEveryStateSendsQuitAndKeepsEarlierResults)
{
    struct Step {
        std::string_view command; // what the client must send first
        std::string_view reply;
    };
    const Step steps[] = {
        {"", "+OK hi\r\n"},          {"USER jo\r\n", "+OK\r\n"},           {"PASS pw\r\n", "+OK\r\n"},
        {"STAT\r\n", "+OK 1 5\r\n"}, {"UIDL\r\n", "+OK\r\n1 a\r\n.\r\n"}, {"TOP 1 0\r\n", "+OK\r\nFrom: x\r\n.\r\n"},
    };
    const StatusCode reasons[] = {16, 17, 17, 18, 18, 18};
    for (std::size_t failing = 0; failing < std::size(steps); ++failing) {
        SCOPED_TRACE("refused step " + std::to_string(failing));
        std::string transcript;
        for (std::size_t i = 0; i <= failing; ++i)
            transcript += steps[i].command;
        transcript += "QUIT\r\n";

        ScriptedServer server;
        server.Start([&](ScriptConnection& c) {
            for (std::size_t i = 0; i <= failing; ++i) {
                c.Expect(steps[i].command);
                c.Send(i == failing ? std::string_view("-ERR refused\r\n") : steps[i].reply);
            }
            c.Expect("QUIT\r\n");
            c.Send("+OK bye\r\n");
            c.ExpectClosed();
        });
        SessionRun run;
        run.StartLoopback(server.port);
        EXPECT_EQ(run.Exit(), 0u);
        ExpectScriptPassed(server);
        EXPECT_EQ(server.received, transcript);
        EXPECT_EQ(run.app.status, reasons[failing]);
        EXPECT_TRUE(run.Finished());
        EXPECT_TRUE(run.ResultsUntouched());
    }
}

TEST(CheckSessionTest, StopDuringDialogueClosesWithoutQuit)
{
    std::promise<void> userArrived;
    ScriptedServer server;
    server.Start([&](ScriptConnection& c) {
        c.Send("+OK hi\r\n");
        c.Expect("USER jo\r\n");
        userArrived.set_value();
        c.ExpectClosed();
    });
    SessionRun run;
    bool asked = false;
    // A host name goes through the lookup; a dotted one never does.
    run.Start(ConnectionSettings{"pop.example.test", server.port, "jo", "pw"},
              [&asked](const std::string& host, std::uint32_t& address) {
                  asked = host == "pop.example.test";
                  address = htonl(INADDR_LOOPBACK);
                  return true;
              });
    ASSERT_EQ(userArrived.get_future().wait_for(ScriptPatience), std::future_status::ready);
    run.app.stopEvent.Set();
    EXPECT_EQ(run.Exit(), 0u);
    ExpectScriptPassed(server);
    EXPECT_TRUE(asked);
    EXPECT_EQ(server.received, "USER jo\r\n");
    EXPECT_EQ(run.app.status, 13);
    EXPECT_TRUE(run.Finished());
    EXPECT_TRUE(run.ResultsUntouched());
}

TEST(CheckSessionTest, RefusedConnectionEndsThroughTheTeardown)
{
    auto lookedUp = std::make_shared<std::atomic<bool>>(false);
    SessionRun run;
    run.Start(ConnectionSettings{"127.0.0.1", ClosedPort(), "jo", "pw"}, [lookedUp](const std::string&, std::uint32_t&) {
        *lookedUp = true;
        return false;
    });
    EXPECT_EQ(run.Exit(), 0u);
    EXPECT_FALSE(*lookedUp) << "a dotted host needs no lookup";
    EXPECT_EQ(run.app.status, 16);
    EXPECT_TRUE(run.Finished());
    EXPECT_FALSE(run.app.stopEvent.TryConsume());
}

TEST(CheckSessionTest, UnresolvableOrBroadcastHostEndsBeforeTheLoop)
{
    {
        SessionRun run;
        std::atomic<StatusCode> statusDuringLookup{0};
        run.Start(ConnectionSettings{"no.such.host.test", 110, "jo", "pw"},
                  [&](const std::string&, std::uint32_t&) {
                      statusDuringLookup = run.app.status.load();
                      return false;
                  });
        EXPECT_EQ(run.Exit(), 1u);
        EXPECT_EQ(statusDuringLookup, 12);
        EXPECT_EQ(run.app.status, 16);
        EXPECT_FALSE(run.Finished());
    }
    {
        SessionRun run;
        run.Start(ConnectionSettings{"255.255.255.255", 110, "jo", "pw"});
        EXPECT_EQ(run.Exit(), 1u);
        EXPECT_EQ(run.app.status, 16);
        EXPECT_FALSE(run.Finished());
    }
}

TEST(CheckSessionTest, StopDuringHangingLookupIsServedAtOnce)
{
    struct Lookup {
        std::promise<void> entered;
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        std::promise<void> returned;
    };
    auto lookup = std::make_shared<Lookup>();
    SessionRun run;
    run.Start(ConnectionSettings{"slow.example.test", 110, "jo", "pw"}, [lookup](const std::string&, std::uint32_t& address) {
        lookup->entered.set_value();
        lookup->released.wait_for(ScriptPatience);
        address = htonl(INADDR_LOOPBACK);
        lookup->returned.set_value();
        return true;
    });
    ASSERT_EQ(lookup->entered.get_future().wait_for(ScriptPatience), std::future_status::ready);
    run.app.stopEvent.Set();
    EXPECT_EQ(run.Exit(), 1u) << "the session waited for the lookup";
    EXPECT_EQ(run.app.status, 12);
    EXPECT_FALSE(run.Finished());
    EXPECT_FALSE(run.app.stopEvent.TryConsume()) << "the stop was consumed";
    // The late answer goes nowhere.
    lookup->release.set_value();
    EXPECT_EQ(lookup->returned.get_future().wait_for(ScriptPatience), std::future_status::ready);
    EXPECT_EQ(run.app.status, 12);
}

TEST(CheckSessionTest, ServerClosingEarlyEndsTheSessionAtOnce)
{
    struct Case {
        const char* name;
        std::function<void(ScriptConnection&)> script;
        StatusCode status;
        bool published;
    };
    const Case cases[] = {
        {"before the greeting", [](ScriptConnection& c) { c.Close(); }, 16, false},
        {"in the middle of the greeting", [](ScriptConnection& c) { c.Send("+OK hel"); }, 16, false},
        {"after USER",
         [](ScriptConnection& c) {
             c.Send("+OK hi\r\n");
             c.Expect("USER jo\r\n");
         },
         18, false},
        {"in the listing",
         [](ScriptConnection& c) {
             PlayLoginAndStat(c, "+OK 1 1\r\n");
             c.Expect("UIDL\r\n");
             c.Send("+OK\r\n1 a\r\n");
         },
         18, false},
        {"without answering QUIT",
         [](ScriptConnection& c) {
             PlayLoginAndStat(c, "+OK 0 0\r\n");
             c.Expect("QUIT\r\n");
         },
         15, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        ScriptedServer server;
        server.Start(k.script);
        SessionRun run;
        run.StartLoopback(server.port);
        EXPECT_EQ(run.Exit(), 0u);
        ExpectScriptPassed(server);
        EXPECT_EQ(run.app.status, k.status);
        EXPECT_TRUE(run.Finished());
        EXPECT_EQ(run.ResultsUntouched(), !k.published);
    }
}

TEST(CheckSessionTest, EndlessLineIsCutOffAtOneMebibyte)
{
    constexpr std::size_t offered = std::size_t{64} << 20;
    std::size_t delivered = 0;
    ScriptedServer server;
    server.Start([&](ScriptConnection& c) {
        c.Send("+OK hi\r\n");
        c.Expect("USER jo\r\n");
        c.Send("+OK\r\n");
        c.Expect("PASS pw\r\n");
        delivered = c.Flood(offered);
    });
    SessionRun run;
    run.StartLoopback(server.port);
    EXPECT_EQ(run.Exit(), 0u);
    ExpectScriptPassed(server);
    EXPECT_LT(delivered, offered) << "the session kept reading";
    EXPECT_EQ(run.app.status, 18);
    EXPECT_TRUE(run.Finished());
    EXPECT_TRUE(run.ResultsUntouched());
}

TEST(CheckSessionTest, RefusedQuitLeavesTheSessionWaitingForStop)
{
    std::promise<void> refused;
    ScriptedServer server;
    server.Start([&](ScriptConnection& c) {
        PlayLoginAndStat(c, "+OK 0 0\r\n");
        c.Expect("QUIT\r\n");
        c.Send("-ERR not now\r\n");
        refused.set_value();
        c.ExpectClosed();
    });
    SessionRun run;
    run.StartLoopback(server.port);
    ASSERT_EQ(refused.get_future().wait_for(ScriptPatience), std::future_status::ready);
    EXPECT_FALSE(run.app.finishedEvent.Wait(300)) << "the session ended without a stop";
    run.app.stopEvent.Set();
    EXPECT_EQ(run.Exit(), 0u);
    ExpectScriptPassed(server);
    EXPECT_EQ(run.app.status, 15);
    EXPECT_TRUE(run.Finished());
    std::lock_guard lock(run.app.resultsMutex);
    EXPECT_TRUE(run.app.messages.empty());
    EXPECT_TRUE(run.app.seenDigests.empty());
}

TEST(CheckSessionTest, SessionCutOffFromTheApplicationStillEnds)
{
    ScriptedServer server;
    server.Start([](ScriptConnection& c) {
        PlayLoginAndStat(c, "+OK 0 0\r\n");
        c.Expect("QUIT\r\n");
        c.Send("+OK bye\r\n");
        c.ExpectClosed();
    });
    SessionRun run;
    run.link->Cut();
    run.StartLoopback(server.port);
    EXPECT_EQ(run.Exit(), 0u);
    ExpectScriptPassed(server);
    EXPECT_EQ(run.app.status, 11);
    EXPECT_FALSE(run.Finished());
    EXPECT_TRUE(run.ResultsUntouched());
}

// STLS and TLS against servers that do not do them: no user name is ever sent.
TEST(CheckSessionTest, SecureConnectionFailuresEndTheCheckBeforeTheLogin)
{
    struct Case {
        const char* name;
        Security security;
        std::function<void(ScriptConnection&)> script;
        StatusCode status;
        std::string received;
    };
    const Case cases[] = {
        {"STLS refused", Security::StartTls,
         [](ScriptConnection& c) {
             c.Send("+OK hi\r\n");
             c.Expect("STLS\r\n");
             c.Send("-ERR no TLS here\r\n");
             c.Expect("QUIT\r\n");
             c.Send("+OK bye\r\n");
         },
         35, "STLS\r\nQUIT\r\n"},
        {"STLS unanswered", Security::StartTls,
         [](ScriptConnection& c) {
             c.Send("+OK hi\r\n");
             c.Expect("STLS\r\n");
         },
         35, "STLS\r\n"},
        {"STLS accepted, then a line in clear and no TLS", Security::StartTls,
         [](ScriptConnection& c) {
             c.Send("+OK hi\r\n");
             c.Expect("STLS\r\n");
             c.Send("+OK begin TLS\r\n+OK injected\r\n");
         },
         36, "STLS\r\n"},
        {"a plain server on the TLS port", Security::Tls, [](ScriptConnection& c) { c.Send("+OK hi\r\n"); }, 36,
         ""},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        ScriptedServer server;
        server.Start(k.script);
        SessionRun run;
        run.Start(ConnectionSettings{"127.0.0.1", server.port, "jo", "pw"}, {}, k.security);
        EXPECT_EQ(run.Exit(), 0u);
        ExpectScriptPassed(server);
        EXPECT_EQ(server.received, k.received);
        EXPECT_EQ(run.app.status, k.status);
        EXPECT_TRUE(run.ResultsUntouched());
    }
}

TEST(CheckSessionTest, StopDuringTheHandshakeIsServedAtOnce)
{
    std::promise<void> helloArrived;
    ScriptedServer server;
    server.Start([&](ScriptConnection& c) {
        char hello[4096];
        if (recv(c.fd, hello, sizeof hello, 0) > 0) // the ClientHello, left unanswered
            helloArrived.set_value();
        c.ExpectClosed();
    });
    SessionRun run;
    run.Start(ConnectionSettings{"127.0.0.1", server.port, "jo", "pw"}, {}, Security::Tls);
    ASSERT_EQ(helloArrived.get_future().wait_for(ScriptPatience), std::future_status::ready);
    const auto stopped = Clock::now();
    run.app.stopEvent.Set();
    EXPECT_EQ(run.Exit(), 0u);
    EXPECT_LT(Clock::now() - stopped, std::chrono::seconds(5)) << "the handshake's own limit is 30 s";
    ExpectScriptPassed(server);
    EXPECT_EQ(run.app.status, 12);
}
