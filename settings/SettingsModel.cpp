#include "SettingsModel.h"

#include "EntryRules.h"
#include "RegistryKey.h"
#include "TlsChannel.h"

#include <string>
#include <utility>

namespace {

// The seen list has one digest per message: far beyond the texts' limit in a large mailbox,
// but still bounded (a million messages).
constexpr std::size_t SeenListReadLimit = UidDigest::Size * 1'000'000;

bool Readable(StoreRead outcome)
{
    return outcome != StoreRead::Unreadable;
}

// An absent or unknown number is plain POP3, so that every older store reads as before.
Security SecurityFromNumber(std::uint32_t value)
{
    return value == 1 ? Security::StartTls : value == 2 ? Security::Tls : Security::None;
}

} // namespace

ConnectionSettings ConnectionOf(const Settings& settings)
{
    return {settings.host, settings.port, settings.user, settings.password};
}

SecureConnection SecureConnectionOf(const Settings& settings)
{
    return {settings.security, {}, settings.trustedFingerprint};
}

bool SaveUidList(const std::string& list)
{
    return RegistryKey::WriteBinary("UIDList", list);
}

std::optional<StoredState> LoadStoredState()
{
    Settings settings;
    std::string list;
    std::uint32_t security = 0;
    std::string trustedHost;
    std::string trustedFingerprint;
    const bool readable = Readable(RegistryKey::ReadString("Host", settings.host)) &&
                          Readable(RegistryKey::ReadWord("Port", settings.port)) &&
                          Readable(RegistryKey::ReadString("User", settings.user)) &&
                          Readable(RegistryKey::ReadString("Password", settings.password)) &&
                          Readable(RegistryKey::ReadDword("Delay", settings.delay)) &&
                          Readable(RegistryKey::ReadBool("WaitForDialup", settings.waitForDialup)) &&
                          Readable(RegistryKey::ReadBool("RunAtStartup", settings.runAtStartup)) &&
                          Readable(RegistryKey::ReadBool("ShowNotification", settings.showNotification)) &&
                          Readable(RegistryKey::ReadBool("PlaySound", settings.playSound)) &&
                          Readable(RegistryKey::ReadString("MailProgram", settings.mailProgram)) &&
                          Readable(RegistryKey::ReadDword("Security", security)) &&
                          Readable(RegistryKey::ReadString("TrustedHost", trustedHost)) &&
                          Readable(RegistryKey::ReadString("TrustedFingerprint", trustedFingerprint)) &&
                          Readable(RegistryKey::ReadBinary("UIDList", list, SeenListReadLimit));
    if (!readable)
        return std::nullopt;
    settings.security = SecurityFromNumber(security);
    // The trusted certificate counts only for the host it was trusted for.
    settings.trustedFingerprint =
        trustedHost == settings.host && !settings.host.empty() ? NormalizeFingerprint(trustedFingerprint) : "";
    if (settings.port == 0)
        settings.port = DefaultPort;
    if (settings.delay > LongestInterval)
        settings.delay = LongestInterval;
    else if (settings.delay == 0)
        settings.delay = ShortestInterval;
    return StoredState{std::move(settings), UnpackDigests(list)};
}

bool SavePersistedState(const std::string& uidList, const std::optional<WindowPosition>& windowPosition)
{
    if (windowPosition) {
        RegistryKey::WriteDword("WindowLeft", windowPosition->left);
        RegistryKey::WriteDword("WindowTop", windowPosition->top);
    }
    return SaveUidList(uidList);
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
    RegistryKey::WriteBool("ShowNotification", settings.showNotification);
    RegistryKey::WriteBool("PlaySound", settings.playSound);
    RegistryKey::WriteString("MailProgram", settings.mailProgram);
    RegistryKey::WriteDword("Security", static_cast<std::uint32_t>(settings.security));
    SaveTrustedFingerprint(settings.host, settings.trustedFingerprint);
}

void SaveTrustedFingerprint(const std::string& host, const std::string& fingerprint)
{
    RegistryKey::WriteString("TrustedHost", fingerprint.empty() ? std::string{} : host);
    RegistryKey::WriteString("TrustedFingerprint", fingerprint);
}

WindowPosition ReadWindowPosition()
{
    WindowPosition position;
    RegistryKey::ReadDword("WindowLeft", position.left);
    RegistryKey::ReadDword("WindowTop", position.top);
    return position;
}

WindowLayout ReadWindowLayout()
{
    WindowLayout layout;
    RegistryKey::ReadDword("WindowWidth", layout.width);
    RegistryKey::ReadDword("WindowHeight", layout.height);
    RegistryKey::ReadDword("FromColumnWidth", layout.fromColumnWidth);
    return layout;
}

void WriteWindowLayout(const WindowLayout& layout)
{
    RegistryKey::WriteDword("WindowWidth", layout.width);
    RegistryKey::WriteDword("WindowHeight", layout.height);
    RegistryKey::WriteDword("FromColumnWidth", layout.fromColumnWidth);
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
