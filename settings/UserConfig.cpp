#include "UserConfig.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string HomeFolder()
{
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/')
        return found->pw_dir;
    return {};
}

bool IsFolder(const std::string& path)
{
    struct stat info{};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool CreateOneFolder(const std::string& path)
{
    if (mkdir(path.c_str(), 0700) == 0)
        return chmod(path.c_str(), 0700) == 0; // the umask may have taken bits away
    return errno == EEXIST && IsFolder(path);
}

} // namespace

std::string UserConfigHome()
{
    // Relative values are invalid by the base directory rules and are ignored.
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    if (configHome != nullptr && configHome[0] == '/')
        return configHome;
    std::string home = HomeFolder();
    return home.empty() ? std::string() : home + "/.config";
}

bool CreateFolderPath(const std::string& path)
{
    if (path.empty() || path[0] != '/')
        return false;
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        if (path[slash - 1] != '/' && !CreateOneFolder(path.substr(0, slash)))
            return false;
    }
    return path.back() == '/' || CreateOneFolder(path);
}
