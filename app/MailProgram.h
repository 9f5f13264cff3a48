#pragma once

#include <QStringList>

#include <optional>
#include <string>

// "Open mail program": the command named in Settings, else the desktop's default application
// for mailto: links, started without a link. The default is looked up as the freedesktop MIME
// application lists say (desktop-specific lists first, then the user's, then the system's;
// defaults before added associations, then what installed programs claim in mimeinfo.cache).

// The program and its arguments; nothing when no mail program can be found.
std::optional<QStringList> MailProgramCommand(const std::string& configured);
bool StartMailProgram(const std::string& configured);
// A desktop file's Exec value, with the file's string escapes already undone, as arguments:
// quoting undone, field codes (%u, %F, ...) dropped, %% kept as %. Nothing when it does not parse.
std::optional<QStringList> ExecArguments(const QString& exec);
