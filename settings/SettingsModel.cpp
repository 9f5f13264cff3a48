#include "SettingsModel.h"

#include "EntryRules.h"
#include "RegistryKey.h"

#include <mutex>
#include <string>

namespace {

void LoadSeenDigests(Application& app)
{
    std::string list;
    if (!RegistryKey::ReadBinary("UIDList", list))
        return;
    DigestSet digests = UnpackDigests(list);
    std::lock_guard<std::mutex> lock(app.resultsMutex);
    app.seenDigests.merge(digests);
}


} // namespace

std::string UidListValue(Application& app)
{
    std::lock_guard<std::mutex> lock(app.resultsMutex);
    return PackDigests(app.seenDigests);
}

void SaveUidList(const std::string& list)
{
    RegistryKey::WriteBinary("UIDList", list);
}

void LoadSettings(Application& app)
{
    Settings& settings = app.settings;
    RegistryKey::ReadString("Host", settings.host);
    RegistryKey::ReadWord("Port", settings.port);
    RegistryKey::ReadString("User", settings.user);
    RegistryKey::ReadString("Password", settings.password);
    RegistryKey::ReadDword("Delay", settings.delay);
    RegistryKey::ReadBool("WaitForDialup", settings.waitForDialup);
    RegistryKey::ReadBool("RunAtStartup", settings.runAtStartup);
    if (settings.port == 0)
        settings.port = DefaultPort;
    if (settings.delay > LongestInterval)
        settings.delay = LongestInterval;
    else if (settings.delay == 0)
        settings.delay = ShortestInterval;
    LoadSeenDigests(app);
}

void SavePersistedState(Application& app, const std::optional<WindowPosition>& windowPosition)
{
    if (windowPosition) {
        RegistryKey::WriteDword("WindowLeft", windowPosition->left);
        RegistryKey::WriteDword("WindowTop", windowPosition->top);
    }
    // Copied under the lock, written without it: the worker's hand-over never waits on the disk.
    SaveUidList(UidListValue(app));
}

void WriteBackSettings(const Settings& settings)
{
    RegistryKey::WriteString("Host", settings.host);
    RegistryKey::WriteString("User", settings.user);
    RegistryKey::WriteString("Password", settings.password);
    RegistryKey::WriteDword("Delay", settings.delay);
    RegistryKey::WriteBool("WaitForDialup", settings.waitForDialup);
    RegistryKey::WriteBool("RunAtStartup", settings.runAtStartup);
    RegistryKey::WriteDword("Port", static_cast<std::uint32_t>(settings.port));
}

WindowPosition ReadWindowPosition()
{
    WindowPosition position;
    RegistryKey::ReadDword("WindowLeft", position.left);
    RegistryKey::ReadDword("WindowTop", position.top);
    return position;
}

bool ReadFirstRun()
{
    std::uint32_t firstRun = 0;
    RegistryKey::ReadDword("FirstRun", firstRun);
    return firstRun != 0;
}

void ResetFirstRun()
{
    RegistryKey::WriteDword("FirstRun", std::uint32_t{0});
}
