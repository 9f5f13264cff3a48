// One check session against the scripted server: the transcripts under
// transcripts/ (exact bytes both ways, the status, the exit code and what reaches
// the Application), then what a transcript cannot say: stops, lookups, a cut link.

#include "CheckSession.h"
#include "ScriptedServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <fstream>
#include <future>
#include <optional>
#include <sstream>
#include <unistd.h>
#include <vector>

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

    void Start(ConnectionSettings connection, HostResolver resolver = {}, CheckRequest request = {})
    {
        stopFd = fcntl(app.stopEvent.Fd(), F_DUPFD_CLOEXEC, 0);
        request.connection = std::move(connection);
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

    // The exit code; nothing when the session did not end in time. Meanwhile the
    // results are read the way the user interface does, to race the hand-over.
    std::optional<std::uint32_t> Exit()
    {
        const auto deadline = Clock::now() + ScriptPatience;
        while (!exitCode && exit.valid() && Clock::now() < deadline
               && exit.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
            std::lock_guard lock(app.resultsMutex);
            volatile std::size_t seen = app.messages.size() + app.seenDigests.size();
            (void)seen;
        }
        if (!exitCode && exit.valid() && exit.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
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

// ---- transcripts ---------------------------------------------------------------
// A case starts with "=== name". Server steps, in order: "S: line" (sent with CR LF;
// consecutive ones go out in one write), "raw: bytes" (no CR LF), "C: line" (the
// client must send exactly this line next), "close", "expect-close" (the client must
// close with nothing more sent), "expect-open" (the client must not have closed yet),
// "flood" (an endless line), "login" (greeting, USER jo, PASS pw, all accepted),
// "capa-pipelining" and "capa-refused" (CAPA and its reply), and "repeat A..B" ...
// "end" around steps, with {i} standing for the number. Options: "split" (also play every reply byte by byte),
// "password P", "seen UID...", "one-at-a-time", "time-limit MS". Expected: "status N",
// "exit N", "published" (else the earlier results must be untouched), "messages N",
// "message N UID|-|FROM|SUBJECT" (a field after the number is cut at "|"), "new-mail
// yes|no", "digests UID..." ("" for the empty unique-id).

struct ExpectedMessage {
    std::uint32_t number = 0;
    std::string uid; // "-": none
    std::string from;
    std::string subject;
};

struct Transcript {
    std::string name;
    std::vector<std::string> steps;
    bool split = false;
    std::string password = "pw";
    std::vector<std::string> seen;
    CheckRequest options;
    StatusCode status = Status::Checked;
    std::uint32_t exit = 0;
    bool published = false;
    std::optional<std::size_t> messageCount;
    std::vector<ExpectedMessage> messages;
    std::optional<bool> newMail;
    std::optional<std::vector<std::string>> digests;
};

std::vector<std::string> Words(const std::string& text)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

std::string Replace(std::string text, const std::string& what, const std::string& with)
{
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}

ExpectedMessage ParseMessage(const std::string& rest)
{
    ExpectedMessage m;
    std::istringstream in(rest);
    in >> m.number >> std::ws;
    std::getline(in, m.uid, '|');
    m.uid = m.uid.substr(0, m.uid.find(' '));
    std::getline(in, m.from, '|');
    std::getline(in, m.subject);
    return m;
}

// Reads one keyword line into the case; false for a keyword it does not know.
bool TakeLine(Transcript& t, const std::string& key, const std::string& rest)
{
    if (key == "S:" || key == "C:" || key == "raw:" || key == "close" || key == "expect-close"
        || key == "expect-open" || key == "flood")
        t.steps.push_back(key + " " + rest);
    else if (key == "login")
        t.steps.insert(t.steps.end(), {"S: +OK", "C: USER jo", "S: +OK", "C: PASS pw", "S: +OK"});
    else if (key == "capa-pipelining")
        t.steps.insert(t.steps.end(), {"C: CAPA", "S: +OK", "S: PIPELINING", "S: ."});
    else if (key == "capa-refused")
        t.steps.insert(t.steps.end(), {"C: CAPA", "S: -ERR"});
    else if (key == "split")
        t.split = true;
    else if (key == "password")
        t.password = rest;
    else if (key == "seen")
        t.seen = Words(rest);
    else if (key == "one-at-a-time")
        t.options.pipelining = false;
    else if (key == "time-limit")
        t.options.replyTimeLimit = std::chrono::milliseconds(std::stoi(rest));
    else if (key == "status")
        t.status = std::stoi(rest);
    else if (key == "exit")
        t.exit = static_cast<std::uint32_t>(std::stoul(rest));
    else if (key == "published")
        t.published = true;
    else if (key == "messages")
        t.messageCount = std::stoul(rest);
    else if (key == "message")
        t.messages.push_back(ParseMessage(rest));
    else if (key == "new-mail")
        t.newMail = rest == "yes";
    else if (key == "digests")
        t.digests = Words(rest);
    else
        return false;
    return true;
}

std::vector<Transcript> LoadTranscripts(const std::string& path)
{
    std::ifstream in(path);
    EXPECT_TRUE(in.good()) << "cannot read " << path;
    std::vector<Transcript> cases;
    std::vector<std::string> block; // the lines of a repeat block
    int repeatFrom = 0, repeatTo = -1;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        const std::string key = line.substr(0, line.find(' '));
        const std::string rest = line.size() > key.size() ? line.substr(key.size() + 1) : "";
        if (key == "===") {
            cases.push_back({});
            cases.back().name = rest;
        } else if (key == "repeat") {
            repeatFrom = std::stoi(rest);
            repeatTo = std::stoi(rest.substr(rest.find("..") + 2));
        } else if (key == "end") {
            for (int i = repeatFrom; i <= repeatTo; ++i)
                for (const std::string& step : block)
                    cases.back().steps.push_back(Replace(step, "{i}", std::to_string(i)));
            block.clear();
            repeatTo = -1;
        } else if (repeatTo >= 0) {
            block.push_back(key + " " + rest);
        } else {
            const bool known = !cases.empty() && TakeLine(cases.back(), key, rest);
            EXPECT_TRUE(known) << "a line outside a case, or unknown, in " << path << ": " << line;
        }
    }
    return cases;
}

void PlaySteps(ScriptConnection& c, const std::vector<std::string>& steps, bool split)
{
    std::string pending;
    const auto flush = [&] {
        split ? c.SendByteByByte(pending) : c.Send(pending);
        pending.clear();
    };
    for (const std::string& step : steps) {
        const std::string key = step.substr(0, step.find(' '));
        const std::string rest = step.substr(key.size() + 1);
        if (key == "S:" || key == "raw:") {
            pending += rest + (key == "S:" ? "\r\n" : "");
            continue;
        }
        flush();
        if (key == "C:")
            c.Expect(rest + "\r\n");
        else if (key == "close")
            c.Close();
        else if (key == "expect-close")
            c.ExpectClosed();
        else if (key == "flood")
            c.Flood(std::size_t{64} << 20);
        else if (key == "expect-open") {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            char byte = 0;
            if (recv(c.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0 && c.failure.empty())
                c.failure = "the client closed too early";
        }
    }
    flush();
}

void ExpectResults(SessionRun& run, const Transcript& t)
{
    std::lock_guard lock(run.app.resultsMutex);
    if (!t.published) {
        EXPECT_TRUE(run.app.messages.size() == 1 && run.app.messages.count(42) == 1 && !run.app.newMail
                    && run.app.seenDigests == DigestSet{MakeUidDigest("previous")})
            << "a check that did not succeed changed the results";
        return;
    }
    EXPECT_EQ(run.app.messages.size(), t.messageCount.value_or(run.app.messages.size()));
    for (const ExpectedMessage& m : t.messages) {
        SCOPED_TRACE("message " + std::to_string(m.number));
        ASSERT_EQ(run.app.messages.count(m.number), 1u);
        const MessageInfo& info = run.app.messages.at(m.number);
        EXPECT_EQ(info.uidDigest, m.uid == "-" ? std::nullopt : std::optional(MakeUidDigest(m.uid)));
        EXPECT_EQ(info.from, m.from);
        EXPECT_EQ(info.subject, m.subject);
    }
    EXPECT_EQ(run.app.newMail, t.newMail.value_or(run.app.newMail));
    if (t.digests) {
        DigestSet digests;
        for (const std::string& uid : *t.digests)
            digests.insert(MakeUidDigest(uid == "\"\"" ? "" : uid));
        EXPECT_EQ(run.app.seenDigests, digests);
    }
}

void PlayTranscript(const Transcript& t, bool split)
{
    SCOPED_TRACE(t.name + (split ? " (byte by byte)" : ""));
    ScriptedServer server;
    server.Start([&t, split](ScriptConnection& c) { PlaySteps(c, t.steps, split); });
    SessionRun run;
    if (!t.seen.empty()) {
        run.app.seenDigests.clear();
        for (const std::string& uid : t.seen)
            run.app.seenDigests.insert(MakeUidDigest(uid));
    }
    run.Start(ConnectionSettings{"127.0.0.1", server.port, "jo", t.password}, {}, t.options);
    EXPECT_EQ(run.Exit(), t.exit);
    ExpectScriptPassed(server);
    EXPECT_EQ(run.app.status, t.status);
    EXPECT_EQ(run.Finished(), t.exit == 0);
    EXPECT_FALSE(run.app.stopEvent.TryConsume()) << "a stop the session raised itself was left set";
    if (!t.seen.empty() && !t.published)
        return; // the earlier results were replaced by the case's own seen list
    ExpectResults(run, t);
}

} // namespace

class TranscriptTest : public testing::TestWithParam<const char*> {};

TEST_P(TranscriptTest, EveryCasePlaysAsWritten)
{
    const std::vector<Transcript> cases = LoadTranscripts(std::string(POSTBELL_TRANSCRIPTS) + "/" + GetParam());
    EXPECT_FALSE(cases.empty());
    for (const Transcript& t : cases) {
        PlayTranscript(t, false);
        if (t.split)
            PlayTranscript(t, true);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, TranscriptTest,
                         testing::Values("dialogue.txt", "pipelining.txt", "failures.txt", "bounds.txt"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             return name.substr(0, name.find('.'));
                         });

// ---- what a transcript cannot say ------------------------------------------------

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

TEST(CheckSessionTest, SessionCutOffFromTheApplicationStillEnds)
{
    ScriptedServer server;
    server.Start([](ScriptConnection& c) {
        PlaySteps(c, {"S: +OK", "C: USER jo", "S: +OK", "C: PASS pw", "S: +OK", "C: CAPA", "S: -ERR",
                      "C: STAT", "S: +OK 0 0", "C: QUIT"}, false);
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

namespace {

// Reads until the client closes, whatever it sends; true when "QUIT" came.
bool DrainUntilClosed(ScriptConnection& c)
{
    std::string all;
    char buffer[4096];
    for (;;) {
        pollfd p{c.fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::chrono::milliseconds(ScriptPatience).count())) <= 0)
            return false;
        const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return all.find("QUIT\r\n") != std::string::npos;
        all.append(buffer, static_cast<std::size_t>(n));
        if (all.ends_with("QUIT\r\n"))
            c.Send("+OK\r\n");
    }
}

// Writes each TOP reply in three pieces with Nagle's algorithm on, as some servers do,
// and counts the replies whose bytes waited for the client's acknowledgement.
int PlayPiecewiseReplies(ScriptConnection& c, int messages, bool pipelining)
{
    const int off = 0;
    setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &off, sizeof off);
    PlaySteps(c, {"S: +OK", "C: USER jo", "S: +OK", "C: PASS pw", "S: +OK", "C: CAPA",
                  pipelining ? "S: +OK\r\nPIPELINING\r\n." : "S: -ERR", "C: STAT",
                  "S: +OK " + std::to_string(messages) + " 0", "C: UIDL", "S: +OK\r\n."}, false);
    int waits = 0;
    for (int i = 1; i <= messages; ++i) {
        if (!pipelining)
            c.Expect("TOP " + std::to_string(i) + " 0\r\n");
        c.Send("+OK\r\n");
        c.Send("Subject: piece\r\n");
        c.Send(".\r\n");
        // Everything is acknowledged at once unless the client delays its acknowledgement
        // (40 ms or more on Linux); a wait counts when it takes over 20 ms.
        const auto start = Clock::now();
        int queued = 1;
        while (queued > 0 && Clock::now() - start < std::chrono::seconds(1)) {
            ioctl(c.fd, SIOCOUTQ, &queued);
            if (queued > 0)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        waits += Clock::now() - start > std::chrono::milliseconds(20) ? 1 : 0;
    }
    if (!DrainUntilClosed(c) && c.failure.empty())
        c.failure = "no QUIT before the close";
    return waits;
}

} // namespace

TEST(CheckSessionTest, RepliesWrittenInPiecesNeverWaitForDelayedAcknowledgements)
{
    constexpr int messages = 40;
    for (bool pipelining : {false, true}) {
        SCOPED_TRACE(pipelining ? "pipelined" : "one at a time");
        std::atomic<int> waits{-1};
        ScriptedServer server;
        server.Start([&](ScriptConnection& c) { waits = PlayPiecewiseReplies(c, messages, pipelining); });
        SessionRun run;
        run.StartLoopback(server.port);
        EXPECT_EQ(run.Exit(), 0u);
        ExpectScriptPassed(server);
        EXPECT_EQ(run.app.status, Status::Checked);
        // A busy machine may delay a few replies; a client that waits on its delayed
        // acknowledgements waits on nearly every one.
        EXPECT_GE(waits, 0);
        EXPECT_LT(waits, messages / 4);
    }
}
