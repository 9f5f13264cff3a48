// The check engine over real sockets: the transcripts under transcripts/, played by the scripted
// server; then what they cannot say: lookups, a cut link, stopping workers, postbell-check.

#include "CheckCommand.h"
#include "CheckSession.h"
#include "ScriptedServer.h"
#include "WorkerThread.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <tuple>

using namespace std::string_literals;

namespace {

// One check on a worker thread, started as the program starts it, for an Application that
// holds the results of an earlier check, which a check that does not succeed must leave alone.
struct SessionRun {
    Application app;
    std::chrono::milliseconds timeLimit{60'000};
    bool cut = false; // the worker is cut off from the Application before it begins
    std::shared_ptr<std::atomic<int>> exit = std::make_shared<std::atomic<int>>(-1);
    std::unique_ptr<WorkerThread> worker;

    SessionRun(const std::string& host, std::uint16_t port)
    {
        MessageInfo previous{MakeUidDigest("previous"), 42};
        SetMessageText(app.messages, previous, "", "previous");
        app.messages.entries = {previous};
        app.seenDigests = {previous.uidDigest};
        app.connection = {host, port, "jo", "pw"};
    }
    void Start()
    {
        app.checkRoutine = [exit = exit, limit = timeLimit, cut = cut](std::shared_ptr<WorkerLink> link, CheckRequest request) {
            request.replyTimeLimit = limit;
            if (cut)
                link->Cut();
            return std::uint32_t(*exit = int(CheckSessionThread(link, std::move(request))));
        };
        worker = StartWorkerThread(app);
    }
    // The exit code, -1 when the session did not end in time. Meanwhile the results are read
    // under their lock as the user interface does, to race the hand-over.
    int Exit()
    {
        for (int ms = 0; ms < PatienceMs && !WaitForWorkerThread(*worker, 1); ++ms) {
            std::lock_guard lock(app.resultsMutex);
            volatile std::size_t seen = app.messages.entries.size() + app.seenDigests.size();
            (void)seen;
        }
        return *exit;
    }
    // The status; whether the session said it finished, left a stop of its own behind, and
    // left the earlier results alone.
    std::string Ending()
    {
        std::lock_guard lock(app.resultsMutex);
        const bool untouched = app.messages.entries.size() == 1 && FindMessage(app.messages, 42) && !app.newMail
            && app.seenDigests == DigestSet{MakeUidDigest("previous")};
        return std::to_string(app.status) + (app.finishedEvent.TryConsume() ? " finished" : "")
            + (app.stopEvent.TryConsume() ? " stop left set" : "") + (untouched ? " untouched" : "");
    }
    ~SessionRun()
    {
        if (worker)
            StopWorkerThread(app, *worker);
    }
};

DigestSet Digests(const std::string& uids)
{
    DigestSet digests;
    for (const std::string& uid : uids.empty() ? Steps{} : Split(uids, " "))
        digests.push_back(MakeUidDigest(uid == "\"\"" ? "" : uid));
    MakeDigestSet(digests);
    return digests;
}

void PlayTranscript(Transcript t, bool split)
{
    SCOPED_TRACE(t.name + (split ? " (byte by byte)" : ""));
    const auto has = [&t](const char* key) { return t.lines.count(key) > 0; };
    SessionRun run("127.0.0.1", 0);
    Server server(t.steps, split, [&run] { run.app.stopEvent.Set(); });
    run.app.connection.port = server.port;
    if (has("seen"))
        run.app.seenDigests = Digests(t.lines["seen"]);
    run.app.pipelining = !has("one-at-a-time");
    run.app.secure = {has("tls") ? Security::Tls : has("starttls") ? Security::StartTls : Security::None, Authority().file, ""};
    run.app.connection.host = has("host") ? t.lines["host"] : "127.0.0.1";
    run.timeLimit = std::chrono::milliseconds(has("time-limit") ? std::stoi(t.lines["time-limit"]) : 60'000);
    run.app.connection.password = has("password") ? t.lines["password"] : "pw";
    run.Start();
    EXPECT_EQ(run.Exit(), 0);
    EXPECT_EQ(server.Finish(), "");
    // Only a check that succeeds may change the results.
    EXPECT_EQ(run.Ending(), has("status") ? t.lines["status"] + " finished untouched" : "15 finished");
    std::lock_guard lock(run.app.resultsMutex);
    for (const std::string& step : t.steps) {
        const auto [key, expected] = KeyAndRest(step);
        const Steps fields = Split(KeyAndRest(expected).second, "|");
        const MessageTable& table = run.app.messages;
        const MessageInfo* info = FindMessage(table, key == "message" ? std::stoul(expected) : 0);
        EXPECT_TRUE(key != "messages" || table.entries.size() == std::stoul(expected)) << step;
        EXPECT_TRUE(key != "new-mail" || run.app.newMail == (expected == "yes")) << step;
        EXPECT_TRUE(key != "digests" || run.app.seenDigests == Digests(expected)) << step;
        if (key == "message") {
            EXPECT_EQ(info ? DigestHex(info->uidDigest) + "|" + std::string(MessageFrom(table, *info)) + "|"
                          + std::string(MessageSubject(table, *info)) : "-||",
                      (fields[0] == "-" ? "-" : DigestHex(MakeUidDigest(fields[0]))) + "|" + fields.at(1) + "|" + fields.at(2))
                << step;
        }
    }
}

} // namespace

std::vector<Transcript> AllTranscripts()
{
    std::vector<Transcript> all;
    for (const char* file : {"dialogue", "failures", "bounds", "pipelining", "secure"})
        for (Transcript& t : LoadTranscripts(std::string(POSTBELL_TRANSCRIPTS) + "/" + file + ".txt", file))
            all.push_back(std::move(t));
    return all;
}

// Each case of the transcripts is a test of its own.
struct TranscriptCase : testing::TestWithParam<Transcript> {};

TEST_P(TranscriptCase, PlaysAsWritten)
{
    ASSERT_EQ(GetParam().error, "") << "the transcript was refused";
    for (const bool split : {false, true})
        if (!HasFailure() && (!split || GetParam().lines.count("split")))
            PlayTranscript(GetParam(), split);
}

INSTANTIATE_TEST_SUITE_P(Transcript, TranscriptCase, testing::ValuesIn(AllTranscripts()),
                         [](const testing::TestParamInfo<Transcript>& info) { return info.param.id; });

// A refused connection ends through the teardown; a host that does not resolve, the broadcast
// address, or a stop while the lookup hangs, before the event loop (the late answer then goes
// nowhere). A dotted address is never looked up. A cut link keeps everything from the Application.
// A password that would end its command early is never sent, nor looked up or connected for.
TEST(CheckSessionTest, UnreachableHostsStopsCutLinksAndUnsendableLoginsEndAtOnce)
{
    Server closed({}), server({"login", "capa-refused", "C: STAT => +OK 0 0", "quit"});
    for (const auto& [host, port, password, exit, ending] : std::vector<std::tuple<std::string, std::uint16_t, std::string, int, std::string>>{
             {"127.0.0.1", closed.port, "pw", 0, "16 finished untouched"}, {"no.such.host.test", 110, "pw", 1, "16 untouched looked up"},
             {"255.255.255.255", 110, "pw", 1, "16 untouched"}, {"127.0.0.1", server.port, "pw", 0, "11 untouched"},
             {"hanging.test", closed.port, "pw", 1, "12 untouched looked up"}, {"no.such.host.test", 110, "pw\r\nDELE 1", 1, "37 untouched"},
             {"127.0.0.1", closed.port, "p\0w"s, 1, "37 untouched"}}) {
        SCOPED_TRACE(host + password);
        SessionRun run(host, port);
        run.app.connection.password = password;
        auto lookup = std::make_shared<std::atomic<int>>(0); // 1: asked, 2: let go, 3: answered
        run.app.resolveHost = [lookup, &app = run.app, hangs = host == "hanging.test"](const std::string&, std::uint32_t& address) {
            *lookup = 1;
            if (hangs)
                app.stopEvent.Set(); // and from here on the Application is left alone
            for (int ms = 0; hangs && *lookup < 2 && ms < PatienceMs; ++ms)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            address = htonl(INADDR_LOOPBACK);
            *lookup = hangs ? 3 : 1;
            return hangs;
        };
        run.cut = port == server.port;
        run.Start();
        EXPECT_EQ(run.Exit(), exit) << "the session waited for the lookup";
        *lookup = *lookup ? 2 : 0;
        for (int ms = 0; host == "hanging.test" && *lookup < 3 && ms < PatienceMs; ++ms)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(run.Ending() + (*lookup ? " looked up" : ""), ending);
    }
    EXPECT_EQ(server.Finish(), "");
}

// A stop waits for a worker that needs a moment to wind down, and keeps what it reports; an
// abandoned worker gets a stop of its own and can no longer swallow the next worker's.
TEST(WorkerThreadTest, AStopWaitsForASlowWorkerAndAnAbandonedOneStopsAlone)
{
    Application app;
    std::atomic<int> workers = 0;
    std::atomic<bool> released = false, ownStop = false;
    app.checkRoutine = [&](std::shared_ptr<WorkerLink> link, CheckRequest request) -> std::uint32_t {
        if (++workers == 1) { // deaf to its stop until released
            for (int ms = 0; !released && ms < PatienceMs; ++ms)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ownStop = AutoResetEvent::TryConsumeFd(request.stopFd);
            return 0;
        }
        WaitFor(request.stopFd, POLLIN); // then winds down slowly, as a TLS close can
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        link->PostStatus(Status::Checked);
        return 0;
    };
    std::unique_ptr<WorkerThread> deaf = StartWorkerThread(app);
    AbandonWorkerThread(*deaf);
    app.stopEvent.Set();
    released = true;
    ASSERT_TRUE(deaf->link->WaitEnded(PatienceMs));
    EXPECT_TRUE(ownStop) << "the abandoned worker's stop went elsewhere";
    EXPECT_TRUE(app.stopEvent.TryConsume()) << "the abandoned worker swallowed a stop";
    std::unique_ptr<WorkerThread> slow = StartWorkerThread(app);
    StopWorkerThread(app, *slow);
    EXPECT_EQ(app.status, Status::Checked) << "the stop abandoned a worker that was ending";
}

// postbell-check on the engine: the mailbox printed for scripts, escaped, each failure by its exit
// code, and the seen file: written after a successful check only, read without its partial
// last record, refused at once when unusable (a FIFO without a writer would block its open).
TEST(CheckCommandTest, ChecksPrintTheMailboxAndKeepTheSeenFile)
{
    const std::string seen = testing::TempDir() + "postbell-seen-" + std::to_string(getpid()), fifo = seen + ".fifo";
    std::remove(seen.c_str());
    const auto check = [](const Steps& steps, std::vector<std::string> options, int exit, const std::string& out,
                          const std::string& seenFile) {
        Server server(steps);
        options.insert(options.end(), {"--seen", seenFile, "--port", std::to_string(server.port), "127.0.0.1", "jo"});
        std::ostringstream printed, errors;
        EXPECT_EQ(RunCheckCommand(options, "pw", printed, errors), exit) << errors.str();
        EXPECT_EQ(printed.str(), out);
        EXPECT_EQ(server.Finish(), "");
        return errors.str();
    };
    // A sender and subject that would forge lines or control a terminal (shown as blanks), and the highest number.
    const Steps mailbox = {"login", "capa-pipelining", "C: STAT => +OK 2 100", "C: UIDL => +OK|1 uid-1|2 uid-2|4294967295 big|.",
                           "C: TOP 1 0|TOP 2 0 => +OK|From: a\tb\\c|Subject: esc\x1b[2J nul\0 del\x7f cr\rx||.|+OK|X-Other: y||."s, "quit"};
    const std::string list = "status 15 Successfully checked for new messages.\n1\t" + DigestHex(MakeUidDigest("uid-1"))
        + "\ta b\\\\c\tesc [2J nul  del  cr x\n2\t" + DigestHex(MakeUidDigest("uid-2")) + "\t\t\n4294967295\t"
        + DigestHex(MakeUidDigest("big")) + "\t\t\n";
    check(mailbox, {}, 0, list + "new mail: yes\n", seen);
    check(mailbox, {}, 0, list + "new mail: no\n", seen);
    EXPECT_NE(check(mailbox, {}, 6, list + "new mail: yes\n", seen + ".missing/seen").find(".missing/seen"), std::string::npos);
    check({"S: +OK", "C: USER jo => +OK", "C: PASS pw => -ERR [AUTH] no", "quit"}, {}, 2,
          "status 17 User name or password was rejected by the mail server.\n", seen);
    check({"expect-close"}, {"--timeout", "1"}, 5, "status 12 Connecting to server...\n", seen);
    check({"login", "capa-refused", "C: STAT => +OK 1 1", "C: UIDL => +OK|1 new|.", "C: TOP 1 0 => -ERR", "quit"}, {},
          3, FormatStatusLine(Status::ServerError) + "\n", seen);
    check({}, {}, 1, "status 16 Cannot connect to the mail server.\n", seen);
    std::ostringstream printed, errors; // a login that would end its command early: refused before all else
    EXPECT_EQ(RunCheckCommand({"127.0.0.1", "jo\r\nDELE 1"}, "pw", printed, errors) * 10
              + RunCheckCommand({"127.0.0.1", "jo"}, "pw\nDELE 1", printed, errors), 44) << printed.str();
    EXPECT_EQ(prctl(PR_GET_DUMPABLE), 0) << "a core dump could hold the password";
    std::ofstream(seen, std::ios::app) << std::string(16, '\0') << "0123456789"; // a zero digest, a partial record
    DigestSet stored, expected = Digests("uid-1 uid-2 big");
    MergeDigests(expected, {DigestFromBytes(std::string(16, '\0'))});
    std::string error;
    EXPECT_TRUE(LoadSeenFile(seen, stored, error) && stored == expected) << "a failed check wrote " << error;
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& unusable : {testing::TempDir(), fifo, "/dev/null"s})
        check({}, {}, 4, "", unusable);
    std::remove(fifo.c_str());
    std::remove(seen.c_str());
}
