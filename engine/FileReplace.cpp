#include "FileReplace.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool WriteAll(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

std::string DirectoryOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Creates a new file next to path for the replacement; -1 when none could be made.
int CreateTemporary(const std::string& path, mode_t mode, std::string& temporary)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = path + ".new-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
        const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

} // namespace

bool ReplaceFile(const std::string& path, const std::string& bytes, mode_t mode)
{
    std::string temporary;
    const int fd = CreateTemporary(path, mode, temporary);
    if (fd < 0)
        return false;
    bool done = WriteAll(fd, bytes) && fsync(fd) == 0;
    int savedErrno = errno;
    done = close(fd) == 0 && done;
    if (done && rename(temporary.c_str(), path.c_str()) == 0) {
        // Make the rename itself survive a power loss.
        const int directory = open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (directory >= 0) {
            fsync(directory);
            close(directory);
        }
        return true;
    }
    if (done)
        savedErrno = errno;
    unlink(temporary.c_str());
    errno = savedErrno;
    return false;
}
