#include "AutostartEntry.h"

#include "FileReplace.h"
#include "UserConfig.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view ReservedCharacters = " \t\n\"'\\><~|&;$*?#()`";

bool NeedsQuotes(const std::string& argument)
{
    return argument.empty() || argument.find_first_of(ReservedCharacters) != std::string::npos;
}

// The quoting of the Exec key itself.
std::string QuoteExecArgument(const std::string& argument)
{
    const bool quoted = NeedsQuotes(argument);
    std::string result = quoted ? "\"" : "";
    for (char c : argument) {
        if (c == '%')
            result += '%';
        else if (quoted && (c == '"' || c == '`' || c == '$' || c == '\\'))
            result += '\\';
        result += c;
    }
    if (quoted)
        result += '"';
    return result;
}

// The string escapes of the file format, applied over the Exec quoting.
std::string EscapeDesktopString(const std::string& text)
{
    std::string result;
    for (char c : text) {
        switch (c) {
        case '\\': result += "\\\\"; break;
        case '\n': result += "\\n"; break;
        case '\t': result += "\\t"; break;
        case '\r': result += "\\r"; break;
        default: result += c; break;
        }
    }
    return result;
}

std::string RunningProgramPath()
{
    std::vector<char> buffer(4096);
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size())
        return {};
    return std::string(buffer.data(), static_cast<std::size_t>(length));
}

std::string AutostartFolder()
{
    const std::string configHome = UserConfigHome();
    return configHome.empty() ? std::string() : configHome + "/autostart";
}

} // namespace

std::string AutostartEntryPath()
{
    const std::string folder = AutostartFolder();
    return folder.empty() ? std::string() : folder + "/postbell.desktop";
}

std::string DesktopExecArgument(const std::string& argument)
{
    return EscapeDesktopString(QuoteExecArgument(argument));
}

std::string AutostartEntryText(const std::string& programPath)
{
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Postbell\n"
           "Exec=" + DesktopExecArgument(programPath) + "\n"
           "Icon=postbell\n"
           "X-GNOME-Autostart-enabled=true\n";
}

void UpdateRunEntry(bool runAtStartup)
{
    const std::string path = AutostartEntryPath();
    if (path.empty())
        return;
    if (!runAtStartup) {
        unlink(path.c_str()); // a missing entry is no error
        return;
    }
    const std::string programPath = RunningProgramPath();
    if (programPath.empty() || !CreateFolderPath(AutostartFolder()))
        return;
    // A reader sees the old entry or the new one, never half of it.
    ReplaceFile(path, AutostartEntryText(programPath), 0644);
}
