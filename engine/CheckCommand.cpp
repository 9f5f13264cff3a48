#include "CheckCommand.h"

#include "FileReplace.h"
#include "NumberText.h"
#include "Pop3Dialogue.h"
#include "StatusText.h"
#include "TlsChannel.h"
#include "Utf8Text.h"
#include "WorkerThread.h"

#include <cerrno>
#include <cstdio>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <mutex>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <ostream>
#include <unistd.h>

namespace {

constexpr std::size_t OutputBlockSize = 64 * 1024;
constexpr int MaxTimeoutSeconds = std::numeric_limits<int>::max() / 1000;

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
    std::uint64_t number = 0;
    if (name == "--port") {
        if (!ParseDecimal(value, 1, 65535, number)) {
            error = "the port must be a number from 1 to 65535";
            return false;
        }
        line.port = static_cast<std::uint16_t>(number);
    } else if (name == "--timeout") {
        if (!ParseDecimal(value, 1, MaxTimeoutSeconds, number)) {
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

void AppendDigestHex(std::string& out, const UidDigest& digest)
{
    AppendHex(out, digest.bytes.data(), digest.bytes.size());
}

std::string HexByte(unsigned char byte)
{
    std::string hex;
    AppendHex(hex, &byte, 1);
    return hex;
}

bool NeedsEscape(unsigned char byte) { return byte < 0x20 || byte == 0x7f || byte == '\\'; }

// What replaces the escaped character of `length` bytes at value[at]; empty for none.
std::string EscapeAt(std::string_view value, std::size_t at, std::size_t& length)
{
    const auto byte = static_cast<unsigned char>(value[at]);
    length = 1;
    if (byte < 0x80) {
        if (!NeedsEscape(byte))
            return {};
        return byte == '\\' ? "\\\\" : byte == '\t' ? "\\t" : "\\x" + HexByte(byte);
    }
    char32_t c = 0;
    length = Utf8CharAt(value, at, c);
    if (length == 0) { // a stray byte: a terminal could take 0x9B for a control sequence
        length = 1;
        return "\\x" + HexByte(byte);
    }
    if (!IsUnsafeToDisplay(c))
        return {};
    char text[16];
    std::snprintf(text, sizeof text, "\\u{%04X}", static_cast<unsigned>(c));
    return text;
}

void AppendNumber(std::string& out, std::uint32_t number)
{
    char digits[10];
    const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    out.append(digits, end);
}

// The hidden switch for measuring: POSTBELL_PIPELINING=0 sends one command at a time.
bool PipeliningWanted()
{
    const char* value = std::getenv("POSTBELL_PIPELINING");
    return value == nullptr || std::string_view(value) != "0";
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
    if (line.security == Security::None && !(line.caFile.empty() && line.trustedFingerprint.empty())) {
        error = "--cafile and --trust-fingerprint need --tls or --starttls";
        return false;
    }
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

std::string DigestHex(const UidDigest& digest)
{
    std::string text;
    text.reserve(UidDigest::Size * 2);
    AppendDigestHex(text, digest);
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

void AppendEscaped(std::string& out, std::string_view value)
{
    std::size_t plainStart = 0;
    for (std::size_t at = 0, length = 1; at < value.size(); at += length) {
        const std::string escaped = EscapeAt(value, at, length);
        if (escaped.empty())
            continue;
        // Runs of plain bytes are copied whole: most values have nothing to escape.
        out.append(value.substr(plainStart, at - plainStart));
        out += escaped;
        plainStart = at + length;
    }
    out.append(value.substr(plainStart));
}

void AppendMessageLine(std::string& out, const MessageTable& table, const MessageInfo& info)
{
    AppendNumber(out, info.number);
    out += '\t';
    AppendDigestHex(out, info.uidDigest);
    out += '\t';
    AppendEscaped(out, MessageFrom(table, info));
    out += '\t';
    AppendEscaped(out, MessageSubject(table, info));
    out += '\n';
}

std::string FormatNewMailLine(bool newMail) { return newMail ? "new mail: yes" : "new mail: no"; }

bool LoadSeenFile(const std::string& path, DigestSet& digests, std::string& error)
{
    digests.clear();
    // O_NONBLOCK: opening a FIFO with no writer would otherwise wait, past any time-out.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        error = SystemError("cannot open", path);
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = "cannot use " + path + ": not a regular file";
        close(fd);
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
    digests = UnpackDigests(bytes);
    return true;
}

bool SaveSeenFile(const std::string& path, const DigestSet& digests, std::string& error)
{
    if (!ReplaceFile(path, PackDigests(digests), 0666)) {
        error = SystemError("cannot write", path);
        return false;
    }
    return true;
}

int RunCheckCommand(const std::vector<std::string>& args, const std::string& password, std::ostream& out,
                    std::ostream& err)
{
    // No core dump, and no other process of the user through /proc or ptrace, reads the password.
    prctl(PR_SET_DUMPABLE, 0);
    CheckCommandLine line;
    std::string error;
    if (!ParseCheckCommandLine(args, line, error)) {
        err << "postbell-check: " << error << '\n' << CheckUsage << '\n';
        return CheckWrongCommandLine;
    }
    if (!IsSendableArgument(line.user) || !IsSendableArgument(password)) {
        err << "postbell-check: the user name and password may not contain a carriage return, line feed or NUL\n";
        return CheckWrongCommandLine;
    }
    DigestSet seen;
    if (!line.seenFile.empty() && !LoadSeenFile(line.seenFile, seen, error)) {
        err << "postbell-check: " << error << '\n';
        return CheckWrongCommandLine;
    }

    Application app;
    app.connection = {line.host, line.port, line.user, password};
    app.secure = {line.security, line.caFile, line.trustedFingerprint};
    app.seenDigests = std::move(seen);
    app.pipelining = PipeliningWanted();
    const bool timedOut = RunOneCheck(app, line.timeoutSeconds, err);

    const StatusCode status = app.status.load();
    out << FormatStatusLine(status) << '\n';
    int exitCode = timedOut ? CheckTimedOut : ExitCodeForStatus(status);
    if (status == Status::Checked) {
        // An abandoned worker can no longer publish, but take the lock all the same.
        std::lock_guard lock(app.resultsMutex);
        // Written in blocks, not line by line through the stream.
        std::string block;
        for (const MessageInfo& entry : app.messages.entries) {
            AppendMessageLine(block, app.messages, entry);
            if (block.size() >= OutputBlockSize) {
                out.write(block.data(), static_cast<std::streamsize>(block.size()));
                block.clear();
            }
        }
        block += FormatNewMailLine(app.newMail);
        block += '\n';
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
        if (!line.seenFile.empty() && !SaveSeenFile(line.seenFile, app.seenDigests, error)) {
            err << "postbell-check: " << error << '\n';
            if (exitCode == CheckSucceeded)
                exitCode = CheckSeenFileNotSaved;
        }
    }
    out.flush();
    return exitCode;
}
