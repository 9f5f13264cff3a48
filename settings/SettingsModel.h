#pragma once

#include "Application.h"
#include "MessageIdentity.h"

#include <cstdint>
#include <optional>
#include <string>

// What the user set, as the store and the settings dialog hold it.
struct Settings {
    std::uint32_t delay = 5; // minutes, 1 to 60 once loaded or confirmed
    std::string user;
    std::string password; // plain text, as stored
    std::string host;
    std::uint16_t port = 110;
    bool waitForDialup = false;
    bool runAtStartup = false;
    bool showNotification = true; // a desktop notification for new mail
    bool playSound = true;        // the notification asks for the desktop's new-mail sound
    std::string mailProgram;      // "Open mail program" runs this; empty: the desktop's default
    Security security = Security::None;
    // SHA-256 hex of the one certificate the user chose to trust for host; empty: none.
    std::string trustedFingerprint;
    bool operator==(const Settings&) const = default;
};

// What the settings give a check to connect with.
ConnectionSettings ConnectionOf(const Settings& settings);
SecureConnection SecureConnectionOf(const Settings& settings);

// Everything the program reads from the store at start-up.
struct StoredState {
    Settings settings;
    DigestSet seenDigests;
};

struct WindowPosition {
    std::int32_t left = 0;
    std::int32_t top = 0;
};

// The main window's size and the width of its From column; 0 where none is stored.
struct WindowLayout {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t fromColumnWidth = 0;
};

// The settings and seen digests from the store, with the load rules (an absent value takes
// its default). Nothing when the store could not be read: then nothing of the program's may
// be saved over the store until a load has succeeded.
std::optional<StoredState> LoadStoredState();
// WindowLeft/WindowTop when the desktop program has a window to give, then UIDList;
// true when UIDList was saved.
bool SavePersistedState(const std::string& uidList, const std::optional<WindowPosition>& windowPosition);
// Stores a PackDigests value as UIDList; false when it could not be saved.
bool SaveUidList(const std::string& list);
// Host, User, Password, Delay, WaitForDialup, RunAtStartup, Port, in that order, then
// ShowNotification, PlaySound, MailProgram, Security, TrustedHost and TrustedFingerprint.
void WriteBackSettings(const Settings& settings);
// The one certificate to accept for host from now on; an empty fingerprint trusts none.
void SaveTrustedFingerprint(const std::string& host, const std::string& fingerprint);
// WindowLeft and WindowTop as stored; a value that cannot be read stays 0.
WindowPosition ReadWindowPosition();
// WindowWidth, WindowHeight and FromColumnWidth.
WindowLayout ReadWindowLayout();
void WriteWindowLayout(const WindowLayout& layout);
// FirstRun holds a non-zero number.
bool ReadFirstRun();
// FirstRun := 0.
void ResetFirstRun();
