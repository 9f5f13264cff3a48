#include "TlsChannel.h"

#include "NumberText.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <openssl/bio.h>
#include <sys/socket.h>
#include <ctime>
#include <string>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace {

// Certificate problems, kept as bits because one chain may show several.
constexpr unsigned ProblemExpired = 1;
constexpr unsigned ProblemWrongName = 2;
constexpr unsigned ProblemUnknownIssuer = 4;
constexpr unsigned ProblemSelfSigned = 8;
constexpr unsigned ProblemOther = 16;
constexpr unsigned IssuerProblems = ProblemUnknownIssuer | ProblemSelfSigned;

constexpr std::size_t MaxSubjectLength = 512;

unsigned ProblemOf(int error)
{
    switch (error) {
    case X509_V_OK:
        return 0;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return ProblemExpired;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return ProblemWrongName;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        return ProblemSelfSigned;
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return ProblemUnknownIssuer;
    default:
        return ProblemOther;
    }
}

// The gravest problem decides the status: a wrong name or an expired certificate is not
// cured by trusting its issuer.
StatusCode StatusForProblems(unsigned problems)
{
    if ((problems & ProblemWrongName) != 0)
        return Status::CertificateWrongName;
    if ((problems & ProblemExpired) != 0)
        return Status::CertificateExpired;
    if ((problems & ProblemOther) != 0)
        return Status::CertificateNotVerified;
    if ((problems & ProblemSelfSigned) != 0)
        return Status::CertificateSelfSigned;
    return Status::CertificateUnknownIssuer;
}

int ChannelIndex()
{
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// Notes every problem and lets the handshake go on: the verdict is taken after it, before
// a single byte of the dialogue is sent.
int NoteProblem(int ok, X509_STORE_CTX* store)
{
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* channel = ssl ? static_cast<TlsChannel*>(SSL_get_ex_data(ssl, ChannelIndex())) : nullptr;
    if (!ok && channel)
        channel->problems |= ProblemOf(X509_STORE_CTX_get_error(store));
    return 1;
}

std::string TimeText(const ASN1_TIME* time)
{
    std::tm parts{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1)
        return {};
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

std::string NameText(const X509_NAME* name)
{
    BIO* out = BIO_new(BIO_s_mem());
    if (out == nullptr)
        return {};
    X509_NAME_print_ex(out, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long size = BIO_get_mem_data(out, &data);
    std::string text(data, size > 0 ? static_cast<std::size_t>(size) : 0);
    BIO_free(out);
    return text.substr(0, MaxSubjectLength);
}

CertificateDetails DetailsOf(X509* certificate)
{
    CertificateDetails details;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &length) == 1)
        AppendHex(details.sha256, digest, length);
    details.subject = NameText(X509_get_subject_name(certificate));
    details.issuer = NameText(X509_get_issuer_name(certificate));
    details.notBefore = TimeText(X509_get0_notBefore(certificate));
    details.notAfter = TimeText(X509_get0_notAfter(certificate));
    return details;
}

bool IsAddress(const std::string& host)
{
    in_addr address{};
    return inet_pton(AF_INET, host.c_str(), &address) == 1;
}

// ---- the socket under the channel ---------------------------------------------
// OpenSSL's own socket BIO writes without MSG_NOSIGNAL: a server that closed would end the
// whole program with SIGPIPE. This one sends and receives as the plain transport does.

bool ShouldRetry(BIO* bio, ssize_t result, bool reading)
{
    BIO_clear_retry_flags(bio);
    if (result >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
        return false;
    if (reading)
        BIO_set_retry_read(bio);
    else
        BIO_set_retry_write(bio);
    return true;
}

int SocketWrite(BIO* bio, const char* bytes, int size)
{
    const ssize_t sent = send(BIO_get_fd(bio, nullptr), bytes, static_cast<std::size_t>(size), MSG_NOSIGNAL | MSG_DONTWAIT);
    ShouldRetry(bio, sent, false);
    return static_cast<int>(sent);
}

int SocketRead(BIO* bio, char* area, int size)
{
    const ssize_t got = recv(BIO_get_fd(bio, nullptr), area, static_cast<std::size_t>(size), MSG_DONTWAIT);
    ShouldRetry(bio, got, true);
    return static_cast<int>(got);
}

int SocketPuts(BIO* bio, const char* text)
{
    return SocketWrite(bio, text, static_cast<int>(std::char_traits<char>::length(text)));
}

const BIO_METHOD* SocketMethod()
{
    static BIO_METHOD* const method = [] {
        // Borrows the fd bookkeeping (BIO_set_fd, BIO_get_fd) from OpenSSL's socket BIO.
        const BIO_METHOD* base = BIO_s_socket();
        BIO_METHOD* made = BIO_meth_new(BIO_TYPE_SOCKET, "postbell socket");
        if (made == nullptr)
            return made;
        BIO_meth_set_write(made, SocketWrite);
        BIO_meth_set_read(made, SocketRead);
        BIO_meth_set_puts(made, SocketPuts);
        BIO_meth_set_ctrl(made, BIO_meth_get_ctrl(base));
        BIO_meth_set_create(made, BIO_meth_get_create(base));
        BIO_meth_set_destroy(made, BIO_meth_get_destroy(base));
        return made;
    }();
    return method;
}

bool AttachSocket(SSL* ssl, int fd)
{
    const BIO_METHOD* method = SocketMethod();
    BIO* bio = method ? BIO_new(method) : nullptr;
    if (bio == nullptr)
        return false;
    BIO_set_fd(bio, fd, BIO_NOCLOSE);
    SSL_set_bio(ssl, bio, bio);
    return true;
}

bool Fail(TlsChannel& channel, StatusCode code)
{
    channel.failure = code;
    ERR_clear_error();
    return false;
}

// True when path is a file directly inside folder, as the system's bundle of the very
// certificates that the folder holds one by one.
bool IsInFolder(const char* path, const char* folder)
{
    char* file = realpath(path, nullptr);
    char* base = realpath(folder, nullptr);
    bool inside = false;
    if (file != nullptr && base != nullptr) {
        const std::string name(file);
        const std::size_t slash = name.rfind('/');
        inside = slash != std::string::npos && name.substr(0, slash) == base;
    }
    std::free(file);
    std::free(base);
    return inside;
}

// The system's certificate folder, looked up lazily by issuer name. OpenSSL's default paths
// would also parse the whole bundle file at every check (about 40 ms, more than a plain
// check of a large mailbox), although the folder holds the same certificates. SSL_CERT_DIR
// is honoured, and SSL_CERT_FILE when it names a bundle of its own.
bool UseSystemTrustStore(SSL_CTX* context)
{
    const char* given = std::getenv(X509_get_default_cert_dir_env());
    const char* folder = given ? given : X509_get_default_cert_dir();
    const char* file = std::getenv(X509_get_default_cert_file_env());
    if (file != nullptr && !IsInFolder(file, folder) && SSL_CTX_load_verify_file(context, file) != 1)
        return false;
    return SSL_CTX_load_verify_dir(context, folder) == 1;
}

bool MakeContext(TlsChannel& channel)
{
    channel.context = SSL_CTX_new(TLS_client_method());
    if (channel.context == nullptr)
        return false;
    SSL_CTX_set_min_proto_version(channel.context, TLS1_2_VERSION);
    SSL_CTX_set_mode(channel.context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_verify(channel.context, SSL_VERIFY_PEER, NoteProblem);
    // Whole records per read: half the system calls of reading each record's header first.
    SSL_CTX_set_read_ahead(channel.context, 1);
    if (!UseSystemTrustStore(channel.context))
        return false;
    const std::string& caFile = channel.trust.caFile;
    return caFile.empty() || SSL_CTX_load_verify_locations(channel.context, caFile.c_str(), nullptr) == 1;
}

// Names the server the certificate must be for, and asks for it by name.
bool SetExpectedName(TlsChannel& channel)
{
    const std::string& host = channel.trust.host;
    X509_VERIFY_PARAM* param = SSL_get0_param(channel.ssl);
    if (IsAddress(host))
        return X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1;
    // Subject alternative names only, as RFC 6125 asks: a name in the common name alone
    // was never checked by whoever issued the certificate.
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
    return X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size()) == 1
        && SSL_set_tlsext_host_name(channel.ssl, host.c_str()) == 1;
}

bool Verdict(TlsChannel& channel)
{
    X509* certificate = SSL_get1_peer_certificate(channel.ssl);
    if (certificate == nullptr)
        return Fail(channel, Status::CertificateNotVerified);
    channel.peer = DetailsOf(certificate);
    X509_free(certificate);
    if (SSL_get_verify_result(channel.ssl) != X509_V_OK && channel.problems == 0)
        channel.problems = ProblemOther;
    if (channel.problems == 0)
        return true;
    const bool trusted = !channel.trust.trustedFingerprint.empty()
        && channel.peer.sha256 == channel.trust.trustedFingerprint;
    if (trusted && (channel.problems & ~IssuerProblems) == 0)
        return true;
    return Fail(channel, StatusForProblems(channel.problems));
}

// What a non-blocking OpenSSL call that returned result means.
TlsStep StepOf(TlsChannel& channel, int result)
{
    switch (SSL_get_error(channel.ssl, result)) {
    case SSL_ERROR_WANT_READ:
        return TlsStep::WantRead;
    case SSL_ERROR_WANT_WRITE:
        return TlsStep::WantWrite;
    case SSL_ERROR_ZERO_RETURN:
        ERR_clear_error();
        return TlsStep::Closed;
    default:
        channel.failure = Status::SecureConnectionFailed;
        ERR_clear_error();
        return TlsStep::Failed;
    }
}

} // namespace

TlsChannel::~TlsChannel()
{
    SSL_free(ssl);
    SSL_CTX_free(context);
}

bool OpenTlsChannel(TlsChannel& channel, int fd, const TlsTrust& trust)
{
    channel.trust = trust;
    channel.trust.trustedFingerprint = NormalizeFingerprint(trust.trustedFingerprint);
    if (!MakeContext(channel))
        return Fail(channel, Status::SecureConnectionFailed);
    channel.ssl = SSL_new(channel.context);
    if (channel.ssl == nullptr || !AttachSocket(channel.ssl, fd)
        || SSL_set_ex_data(channel.ssl, ChannelIndex(), &channel) != 1 || !SetExpectedName(channel))
        return Fail(channel, Status::SecureConnectionFailed);
    SSL_set_connect_state(channel.ssl);
    return true;
}

TlsStep TlsHandshake(TlsChannel& channel)
{
    ERR_clear_error();
    const int result = SSL_do_handshake(channel.ssl);
    if (result != 1) {
        const TlsStep step = StepOf(channel, result);
        return step == TlsStep::Closed ? (channel.failure = Status::SecureConnectionFailed, TlsStep::Failed) : step;
    }
    return Verdict(channel) ? TlsStep::Done : TlsStep::Failed;
}

TlsStep TlsRead(TlsChannel& channel, char* buffer, std::size_t size, std::size_t& got)
{
    ERR_clear_error();
    const int result = SSL_read_ex(channel.ssl, buffer, size, &got);
    return result == 1 ? TlsStep::Done : StepOf(channel, result);
}

TlsStep TlsWrite(TlsChannel& channel, const char* bytes, std::size_t size, std::size_t& written)
{
    ERR_clear_error();
    const int result = SSL_write_ex(channel.ssl, bytes, size, &written);
    return result == 1 ? TlsStep::Done : StepOf(channel, result);
}

bool TlsHasBufferedInput(const TlsChannel& channel)
{
    return channel.ssl != nullptr && SSL_has_pending(channel.ssl) == 1;
}

bool TlsFailureMayBeTrusted(const TlsChannel& channel)
{
    return channel.problems != 0 && (channel.problems & ~IssuerProblems) == 0 && !channel.peer.sha256.empty();
}

std::string NormalizeFingerprint(const std::string& text)
{
    std::string hex;
    for (char c : text) {
        if (c == ':' || c == ' ')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return {};
        hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return hex.size() == 64 ? hex : std::string{};
}
