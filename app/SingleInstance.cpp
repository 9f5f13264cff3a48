#include "SingleInstance.h"

#include <QByteArray>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTimer>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

constexpr int AnswerWaitMs = 2000;
constexpr qint64 RequestLimit = 16;
const QByteArray ShowRequest = "show\n";

// The display this copy shows on, as a file-name part (":0" gives "0").
QString DisplayPart()
{
    QByteArray display = qgetenv("DISPLAY");
    if (display.isEmpty())
        display = qgetenv("WAYLAND_DISPLAY");
    QString part;
    for (const char c : display) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '-';
        if (c != ':')
            part += plain ? QLatin1Char(c) : QLatin1Char('_');
    }
    return part.isEmpty() ? QStringLiteral("none") : part;
}

QString RuntimeFolder()
{
    const QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.startsWith(QLatin1Char('/')))
        return folder;
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

QString InstancePath(const char* suffix)
{
    return RuntimeFolder() + QStringLiteral("/postbell-") + DisplayPart() + QLatin1String(suffix);
}

bool AskToShow()
{
    QLocalSocket socket;
    socket.connectToServer(InstanceSocketPath());
    if (!socket.waitForConnected(AnswerWaitMs))
        return false;
    socket.write(ShowRequest);
    return socket.waitForBytesWritten(AnswerWaitMs);
}

void ServeRequest(QLocalSocket* socket, const std::function<void()>& show)
{
    QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    // A caller that never writes or never leaves is dropped.
    QTimer::singleShot(AnswerWaitMs, socket, [socket] { socket->abort(); });
    const auto serve = [socket, show] {
        if (socket->bytesAvailable() < ShowRequest.size())
            return;
        if (socket->read(RequestLimit).startsWith(ShowRequest))
            show();
        socket->disconnectFromServer();
    };
    QObject::connect(socket, &QLocalSocket::readyRead, socket, serve);
    serve(); // the request may have come before the window was there to show
}

} // namespace

SingleInstance::SingleInstance() = default;

SingleInstance::~SingleInstance()
{
    server.close();
    if (lockFd >= 0)
        close(lockFd);
}

QString InstanceSocketPath()
{
    return InstancePath(".socket");
}

InstanceClaim ClaimInstance(SingleInstance& instance)
{
    const QByteArray lockPath = InstancePath(".lock").toLocal8Bit();
    const int fd = open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    // Without a runtime folder there is nothing to share: this copy runs alone.
    if (fd < 0)
        return InstanceClaim::First;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return AskToShow() ? InstanceClaim::ShownOther : InstanceClaim::Failed;
    }
    instance.lockFd = fd;
    // The lock is ours, so a socket left by a copy that crashed is stale.
    QLocalServer::removeServer(InstanceSocketPath());
    instance.server.setSocketOptions(QLocalServer::UserAccessOption);
    instance.server.listen(InstanceSocketPath());
    return InstanceClaim::First;
}

void ServeShowRequests(SingleInstance& instance, std::function<void()> show)
{
    const auto serveWaiting = [&instance, show] {
        while (QLocalSocket* socket = instance.server.nextPendingConnection())
            ServeRequest(socket, show);
    };
    QObject::connect(&instance.server, &QLocalServer::newConnection, serveWaiting);
    // Requests that came while the first-run dialog was up.
    serveWaiting();
}
