#pragma once

#include "CheckSession.h"

#include <memory>
#include <thread>

// One running (or ended) worker, as kept in Application::workerThread.
struct WorkerThread {
    std::thread thread;
    std::shared_ptr<WorkerLink> link;
    int stopFd = -1; // the worker's duplicate of StopEvent; the thread closes it when the routine returns
};

// Starts app.checkRoutine (or CheckSessionThread) on a new thread with a request
// built from the current settings and seen digests. Null when no thread could start.
std::unique_ptr<WorkerThread> StartWorkerThread(Application& app);
// Waits at most timeoutMs for the worker to end; true when it has ended and was joined.
bool WaitForWorkerThread(WorkerThread& worker, int timeoutMs);
// Cuts the worker off from the Application and lets it run out on its own.
void AbandonWorkerThread(WorkerThread& worker);

// How long a stop waits for a worker before it abandons it.
constexpr int StopWaitMs = 15000;
// Signals StopEvent, waits at most StopWaitMs for the worker to end, and abandons it if
// it has not.
void StopWorkerThread(Application& app, WorkerThread& worker);
