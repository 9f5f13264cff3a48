#pragma once

#include <QLocalServer>

#include <functional>
#include <memory>

// One copy per user and display: a lock file held for the program's life and a local
// socket beside it in the user's runtime folder, both named with the display.
struct SingleInstance {
    SingleInstance();
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    int lockFd = -1;
    QLocalServer server;
};

enum class InstanceClaim { First, ShownOther, Failed };

// First: this copy holds the lock and listens. ShownOther: another copy runs and was
// asked to show its window. Failed: another copy holds the lock but did not answer.
InstanceClaim ClaimInstance(SingleInstance& instance);
// Calls show when a later copy asks for the window.
void ServeShowRequests(SingleInstance& instance, std::function<void()> show);
// The socket's path, for messages.
QString InstanceSocketPath();
