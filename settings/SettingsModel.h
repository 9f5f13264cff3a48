#pragma once

#include "Application.h"

#include <cstdint>
#include <optional>
#include <string>

struct WindowPosition {
    std::int32_t left = 0;
    std::int32_t top = 0;
};

// The seven settings and seenDigests from the store, with the load rules; cannot fail.
void LoadSettings(Application& app);
// WindowLeft/WindowTop when the desktop program has a window to give, then UIDList.
void SavePersistedState(Application& app, const std::optional<WindowPosition>& windowPosition);
// seenDigests as the UIDList value holds them, in ascending order; copied under the
// results lock, so never while a finishing check replaces them.
std::string UidListValue(Application& app);
// Stores a value made by UidListValue as UIDList.
void SaveUidList(const std::string& list);
// Host, User, Password, Delay, WaitForDialup, RunAtStartup, Port, in that order, then
// Security, TrustedHost and TrustedFingerprint.
void WriteBackSettings(const Settings& settings);
// The one certificate to accept for host from now on; an empty fingerprint trusts none.
void SaveTrustedFingerprint(const std::string& host, const std::string& fingerprint);
// WindowLeft and WindowTop as stored; a value that cannot be read stays 0.
WindowPosition ReadWindowPosition();
// FirstRun holds a non-zero number.
bool ReadFirstRun();
// FirstRun := 0.
void ResetFirstRun();
