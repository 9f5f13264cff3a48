#pragma once

// postbell-check: one mail check from a terminal or a script.

#include "Application.h"
#include "MessageIdentity.h"

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

struct CheckCommandLine {
    std::string host;
    std::string user;
    std::uint16_t port = 110;
    std::string seenFile; // empty: no --seen
    int timeoutSeconds = 60;
    Security security = Security::None;
    std::string caFile;
    std::string trustedFingerprint; // canonical hex; empty: none
};

inline constexpr std::string_view CheckUsage =
    "usage: postbell-check [--port N] [--seen FILE] [--timeout SECONDS]\n"
    "                      [--tls | --starttls] [--cafile FILE] [--trust-fingerprint SHA256HEX] HOST USER";

enum CheckExitCode {
    CheckSucceeded = 0,
    CheckCannotConnect = 1,
    CheckLoginRejected = 2,
    CheckServerError = 3,
    CheckWrongCommandLine = 4,
    CheckTimedOut = 5,
    CheckSeenFileNotSaved = 6,
    CheckCertificateNotVerified = 7,
    CheckStlsNotSupported = 8,
    CheckSecureConnectionFailed = 9,
};

// args without the program name. False, with the reason, for a wrong command line.
bool ParseCheckCommandLine(const std::vector<std::string>& args, CheckCommandLine& line, std::string& error);

// The exit code for the last status of a check that was not timed out.
int ExitCodeForStatus(StatusCode code);

std::string DigestHex(const UidDigest& digest);
std::string FormatStatusLine(StatusCode code);
// Appends value with a backslash as \\, a tab as \t, any other C0 control or DEL, and a
// byte that is not part of a UTF-8 character, as \xHH, and a C1 control, a line or paragraph
// separator or a bidirectional formatting character as \u{XXXX}: one message stays one line
// of four fields, and a terminal acts on none of it.
void AppendEscaped(std::string& out, std::string_view value);
// Appends number TAB digest TAB From TAB Subject LF, the values escaped.
void AppendMessageLine(std::string& out, const MessageTable& table, const MessageInfo& info);
std::string FormatNewMailLine(bool newMail);

// Reads 16-byte digests back to back; a missing file is an empty set and a
// final partial record is ignored. False, with the reason, when it cannot be read.
bool LoadSeenFile(const std::string& path, DigestSet& digests, std::string& error);
// Replaces the file atomically by the digests, back to back.
bool SaveSeenFile(const std::string& path, const DigestSet& digests, std::string& error);

// The whole command; returns the process exit code.
int RunCheckCommand(const std::vector<std::string>& args, const std::string& password, std::ostream& out,
                    std::ostream& err);
