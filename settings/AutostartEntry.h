#pragma once

#include <string>

// The log-on entry: $XDG_CONFIG_HOME/autostart/postbell.desktop (default ~/.config).
std::string AutostartEntryPath();

// One argument of an Exec key, quoted and escaped as a desktop entry file holds it:
// double quotes when it has a reserved character, a backslash before the double
// quote, backtick, dollar and backslash inside them, % doubled, then the string
// escapes of the file format (backslash, newline, tab, carriage return).
std::string DesktopExecArgument(const std::string& argument);

// The whole entry that starts the program at programPath.
std::string AutostartEntryText(const std::string& programPath);

// Creates the entry for the running program when runAtStartup is true, removes it
// when false. Failures are silent: the entry then stays as it was.
void UpdateRunEntry(bool runAtStartup);
