#include "CheckCommand.h"

#include "FileReplace.h"
#include "StatusText.h"
#include "TlsChannel.h"
#include "WorkerThread.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <mutex>
#include <ostream>
#include <unistd.h>

namespace {

constexpr std::size_t DigestSize = 16;
constexpr int MaxTimeoutSeconds = std::numeric_limits<int>::max() / 1000;

// A decimal number from min to max, digits only.
bool ParseNumber(const std::string& text, long long min, long long max, long long& value)
{
    if (text.empty() || text.size() > 12)
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return value >= min && value <= max;
}

bool TakeSecurity(const std::string& name, CheckCommandLine& line, std::string& error)
{
    const Security chosen = name == "--tls" ? Security::Tls : Security::StartTls;
    if (line.security != Security::None && line.security != chosen) {
        error = "--tls and --starttls exclude each other";
        return false;
    }
    line.security = chosen;
    return true;
}

bool TakeTrustOption(const std::string& name, const std::string& value, CheckCommandLine& line, std::string& error)
{
    if (name == "--cafile") {
        if (value.empty()) {
            error = "the CA file needs a name";
            return false;
        }
        line.caFile = value;
        return true;
    }
    line.trustedFingerprint = NormalizeFingerprint(value);
    if (line.trustedFingerprint.empty()) {
        error = "the fingerprint must be 64 hexadecimal digits (colons allowed)";
        return false;
    }
    return true;
}

bool TakeOption(const std::vector<std::string>& args, std::size_t& i, CheckCommandLine& line, std::string& error)
{
    const std::string& name = args[i];
    if (name == "--tls" || name == "--starttls")
        return TakeSecurity(name, line, error);
    const bool trustOption = name == "--cafile" || name == "--trust-fingerprint";
    if (name != "--port" && name != "--seen" && name != "--timeout" && !trustOption) {
        error = "unknown option " + name;
        return false;
    }
    if (i + 1 >= args.size()) {
        error = "option " + name + " needs a value";
        return false;
    }
    const std::string& value = args[++i];
    if (trustOption)
        return TakeTrustOption(name, value, line, error);
    long long number = 0;
    if (name == "--port") {
        if (!ParseNumber(value, 1, 65535, number)) {
            error = "the port must be a number from 1 to 65535";
            return false;
        }
        line.port = static_cast<std::uint16_t>(number);
    } else if (name == "--timeout") {
        if (!ParseNumber(value, 1, MaxTimeoutSeconds, number)) {
            error = "the time-out must be a number of seconds from 1 to " + std::to_string(MaxTimeoutSeconds);
            return false;
        }
        line.timeoutSeconds = static_cast<int>(number);
    } else {
        if (value.empty()) {
            error = "the seen file needs a name";
            return false;
        }
        line.seenFile = value;
    }
    return true;
}

std::string SystemError(const std::string& what, const std::string& path)
{
    return what + " " + path + ": " + std::strerror(errno);
}

void AppendEscaped(std::string& out, std::string_view value)
{
    static const char hex[] = "0123456789abcdef";
    for (char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (byte < 0x20 || byte == 0x7f) {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 0xf];
        } else
            out += c;
    }
}

// Runs one check on a worker thread; true when the time-out stopped it.
bool RunOneCheck(Application& app, int timeoutSeconds, std::ostream& err)
{
    std::unique_ptr<WorkerThread> worker = StartWorkerThread(app);
    if (!worker) {
        err << "postbell-check: cannot start the worker thread\n";
        return false;
    }
    if (WaitForWorkerThread(*worker, timeoutSeconds * 1000))
        return false;
    StopWorkerThread(app, *worker);
    return true;
}

} // namespace

bool ParseCheckCommandLine(const std::vector<std::string>& args, CheckCommandLine& line, std::string& error)
{
    std::vector<std::string> operands;
    bool optionsEnded = false;
    line.port = 0; // not given yet
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            if (!TakeOption(args, i, line, error))
                return false;
        } else {
            operands.push_back(arg);
        }
    }
    if (operands.size() != 2) {
        error = operands.size() < 2 ? "HOST and USER are needed" : "too many arguments";
        return false;
    }
    line.host = operands[0];
    line.user = operands[1];
    if (line.port == 0)
        line.port = line.security == Security::Tls ? 995 : 110;
    return true;
}

int ExitCodeForStatus(StatusCode code)
{
    switch (code) {
    case Status::Checked:
        return CheckSucceeded;
    case Status::CannotConnect:
        return CheckCannotConnect;
    case Status::LoginRejected:
        return CheckLoginRejected;
    case Status::StlsNotSupported:
        return CheckStlsNotSupported;
    case Status::SecureConnectionFailed:
        return CheckSecureConnectionFailed;
    default:
        if (Status::IsSecureConnectionFailure(code))
            return CheckCertificateNotVerified;
        // 18, and a session that ended without a verdict
        return CheckServerError;
    }
}

std::string DigestHex(std::string_view digest)
{
    static const char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(digest.size() * 2);
    for (char c : digest) {
        const auto byte = static_cast<unsigned char>(c);
        text += hex[byte >> 4];
        text += hex[byte & 0xf];
    }
    return text;
}

std::string FormatStatusLine(StatusCode code)
{
    std::string line = "status " + std::to_string(code);
    const std::string_view text = StatusText(code);
    if (!text.empty()) {
        line += ' ';
        line += text;
    }
    return line;
}

std::string FormatMessageLine(const MessageInfo& info)
{
    std::string line = std::to_string(info.number);
    line += '\t';
    line += DigestHex(info.uidDigest);
    line += '\t';
    AppendEscaped(line, info.from);
    line += '\t';
    AppendEscaped(line, info.subject);
    return line;
}

std::string FormatNewMailLine(bool newMail) { return newMail ? "new mail: yes" : "new mail: no"; }

bool LoadSeenFile(const std::string& path, DigestSet& digests, std::string& error)
{
    digests.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        error = SystemError("cannot open", path);
        return false;
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = SystemError("cannot read", path);
            close(fd);
            return false;
        }
        if (got == 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    for (std::size_t at = 0; at + DigestSize <= bytes.size(); at += DigestSize)
        digests.insert(bytes.substr(at, DigestSize));
    return true;
}

bool SaveSeenFile(const std::string& path, const DigestSet& digests, std::string& error)
{
    std::string bytes;
    bytes.reserve(digests.size() * DigestSize);
    for (const UidDigest& digest : digests)
        bytes += digest;

    if (!ReplaceFile(path, bytes, 0666)) {
        error = SystemError("cannot write", path);
        return false;
    }
    return true;
}

int RunCheckCommand(const std::vector<std::string>& args, const std::string& password, std::ostream& out,
                    std::ostream& err)
{
    CheckCommandLine line;
    std::string error;
    if (!ParseCheckCommandLine(args, line, error)) {
        err << "postbell-check: " << error << '\n' << CheckUsage << '\n';
        return CheckWrongCommandLine;
    }
    DigestSet seen;
    if (!line.seenFile.empty() && !LoadSeenFile(line.seenFile, seen, error)) {
        err << "postbell-check: " << error << '\n';
        return CheckWrongCommandLine;
    }

    Application app;
    app.settings.host = line.host;
    app.settings.port = line.port;
    app.settings.user = line.user;
    app.settings.password = password;
    app.settings.security = line.security;
    app.settings.trustedFingerprint = line.trustedFingerprint;
    app.caFile = line.caFile;
    app.seenDigests = std::move(seen);
    const bool timedOut = RunOneCheck(app, line.timeoutSeconds, err);

    const StatusCode status = app.status.load();
    out << FormatStatusLine(status) << '\n';
    int exitCode = timedOut ? CheckTimedOut : ExitCodeForStatus(status);
    if (status == Status::Checked) {
        // An abandoned worker can no longer publish, but take the lock all the same.
        std::lock_guard lock(app.resultsMutex);
        for (const auto& entry : app.messages)
            out << FormatMessageLine(entry.second) << '\n';
        out << FormatNewMailLine(app.newMail) << '\n';
        if (!line.seenFile.empty() && !SaveSeenFile(line.seenFile, app.seenDigests, error)) {
            err << "postbell-check: " << error << '\n';
            if (exitCode == CheckSucceeded)
                exitCode = CheckSeenFileNotSaved;
        }
    }
    out.flush();
    return exitCode;
}
