#pragma once

#include "Application.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

// Joins one worker to the Application. The link is cut when the worker is
// abandoned; from then on nothing the worker does reaches the Application:
// no status, no results, no FinishedEvent, no StopEvent.
struct WorkerLink {
    explicit WorkerLink(Application& application) : app(&application) {}

    std::mutex mutex;
    Application* app; // null once cut
    bool ended = false;
    std::condition_variable endedChanged;

    void PostStatus(StatusCode code);
    // Hands a successful check's results over (Application::resultsMutex held). They are
    // moved, not copied: a large mailbox's table would otherwise exist twice.
    void PublishResults(CheckResults&& results);
    void SignalFinished();
    void SignalStop();
    // Hands over the certificate of a failed check that the user may choose to trust.
    void OfferCertificate(const CertificateDetails& certificate);
    // Called by the worker thread as its very last act.
    void MarkEnded();
    // Waits at most timeoutMs for MarkEnded; true when the worker has ended.
    bool WaitEnded(int timeoutMs);
    void Cut();
};

// What one check is given when it starts, taken on the user interface thread so
// that the worker never reads a field the user interface may change meanwhile.
struct CheckRequest {
    ConnectionSettings connection;
    SecureConnection secure;
    DigestSet seenDigests;     // the digests known when the check started
    // The worker's own duplicate of StopEvent. The worker thread closes it once the
    // session has returned; the session never closes it.
    int stopFd = -1;
    HostResolver resolveHost;  // empty: getaddrinfo
    bool pipelining = true;    // false: never ask for the server's capabilities
    // The longest wait for the connection and for each piece of a reply.
    std::chrono::milliseconds replyTimeLimit{60'000};
};

// Runs one whole POP3 check; 1 when it ended before its event loop, 0 after the teardown.
std::uint32_t CheckSessionThread(std::shared_ptr<WorkerLink> link, CheckRequest request);
