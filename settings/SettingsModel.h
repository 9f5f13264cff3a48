#pragma once

#include "Application.h"

#include <cstdint>
#include <optional>
#include <string>

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

// The settings and seenDigests from the store, with the load rules (an absent value
// takes its default). False when the store could not be read: then nothing is changed, and
// nothing of the program's may be saved over the store until a load has succeeded.
bool LoadSettings(Application& app);
// WindowLeft/WindowTop when the desktop program has a window to give, then UIDList;
// true when UIDList was saved.
bool SavePersistedState(Application& app, const std::optional<WindowPosition>& windowPosition);
// seenDigests as the UIDList value holds them, in ascending order; copied under the
// results lock, so never while a finishing check replaces them.
std::string UidListValue(Application& app);
// Stores a value made by UidListValue as UIDList; false when it could not be saved.
bool SaveUidList(const std::string& list);
// Host, User, Password, Delay, WaitForDialup, RunAtStartup, Port, in that order, then
// ShowNotification, Security, TrustedHost and TrustedFingerprint.
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
