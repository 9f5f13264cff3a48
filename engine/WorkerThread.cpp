#include "WorkerThread.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace {

CheckRequest MakeCheckRequest(Application& app, int stopFd)
{
    CheckRequest request;
    request.connection = app.connection;
    request.secure = app.secure;
    {
        std::lock_guard lock(app.resultsMutex);
        request.seenDigests = app.seenDigests;
        app.offeredCertificate.reset();
    }
    request.stopFd = stopFd;
    request.resolveHost = app.resolveHost;
    request.pipelining = app.pipelining;
    return request;
}

// The whole life of a worker thread. The routine never closes stopFd: the
// thread does, after MarkEnded, so that an abandon that still finds the worker
// running can safely re-point the descriptor (both happen under the link's mutex).
void RunWorker(CheckRoutine routine, std::shared_ptr<WorkerLink> link, CheckRequest request)
{
    const int stopFd = request.stopFd;
    routine(link, std::move(request));
    link->MarkEnded();
    close(stopFd);
}

// Gives an abandoned worker a stop event of its own, already signalled, so that it
// can no longer swallow a stop meant for the next worker and ends at its next look.
void GiveOwnStopEvent(int stopFd)
{
    const int own = eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC);
    if (own < 0)
        return;
    dup3(own, stopFd, O_CLOEXEC);
    close(own);
}

} // namespace

std::unique_ptr<WorkerThread> StartWorkerThread(Application& app)
{
    const int stopFd = fcntl(app.stopEvent.Fd(), F_DUPFD_CLOEXEC, 0);
    if (stopFd < 0)
        return nullptr;
    auto worker = std::make_unique<WorkerThread>();
    worker->link = std::make_shared<WorkerLink>(app);
    worker->stopFd = stopFd;
    CheckRoutine routine = app.checkRoutine ? app.checkRoutine : CheckRoutine(CheckSessionThread);
    try {
        worker->thread = std::thread(RunWorker, std::move(routine), worker->link, MakeCheckRequest(app, stopFd));
    } catch (const std::system_error&) {
        close(stopFd);
        return nullptr;
    }
    return worker;
}

bool WaitForWorkerThread(WorkerThread& worker, int timeoutMs)
{
    if (!worker.link->WaitEnded(timeoutMs))
        return false;
    if (worker.thread.joinable())
        worker.thread.join();
    return true;
}

void StopWorkerThread(Application& app, WorkerThread& worker)
{
    app.stopEvent.Set();
    if (!WaitForWorkerThread(worker, StopWaitMs))
        AbandonWorkerThread(worker);
}

void AbandonWorkerThread(WorkerThread& worker)
{
    worker.link->Cut();
    {
        std::lock_guard lock(worker.link->mutex);
        if (!worker.link->ended)
            GiveOwnStopEvent(worker.stopFd);
    }
    if (worker.thread.joinable())
        worker.thread.detach();
}
