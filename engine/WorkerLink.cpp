#include "CheckSession.h"

#include <chrono>
#include <utility>

void WorkerLink::PostStatus(StatusCode code)
{
    std::lock_guard lock(mutex);
    if (app)
        app->PostStatus(code);
}

void WorkerLink::PublishResults(CheckResults&& results)
{
    std::lock_guard lock(mutex);
    if (!app)
        return;
    std::lock_guard resultsLock(app->resultsMutex);
    app->messages = std::move(results.messages);
    app->newMail = results.newMail;
    app->seenDigests = std::move(results.digests);
}

void WorkerLink::OfferCertificate(const CertificateDetails& certificate)
{
    std::lock_guard lock(mutex);
    if (!app)
        return;
    std::lock_guard resultsLock(app->resultsMutex);
    app->offeredCertificate = certificate;
}

void WorkerLink::SignalFinished()
{
    std::lock_guard lock(mutex);
    if (app)
        app->finishedEvent.Set();
}

void WorkerLink::SignalStop()
{
    std::lock_guard lock(mutex);
    if (app)
        app->stopEvent.Set();
}

void WorkerLink::MarkEnded()
{
    {
        std::lock_guard lock(mutex);
        ended = true;
    }
    endedChanged.notify_all();
}

bool WorkerLink::WaitEnded(int timeoutMs)
{
    std::unique_lock lock(mutex);
    if (timeoutMs < 0) {
        endedChanged.wait(lock, [this] { return ended; });
        return true;
    }
    return endedChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return ended; });
}

void WorkerLink::Cut()
{
    std::lock_guard lock(mutex);
    app = nullptr;
}
