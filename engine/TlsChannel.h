#pragma once

#include "StatusCodes.h"

#include <cstddef>
#include <string>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

// What a secure connection trusts besides the system's certificate store.
struct TlsTrust {
    std::string host;               // the name (or IPv4 address) the certificate must be for
    std::string caFile;             // empty: none; else a PEM file of extra trusted certificates
    std::string trustedFingerprint; // empty: none; else SHA-256 hex of the one certificate to accept
};

// What the user is shown when asked whether to trust a certificate.
struct CertificateDetails {
    std::string sha256;    // lower-case hex, 64 digits
    std::string subject;   // one line, RFC 2253 style
    std::string issuer;    // the same for the issuer's name
    std::string notBefore; // "YYYY-MM-DD HH:MM:SS UTC"
    std::string notAfter;
};

enum class TlsStep {
    Done,      // the step finished (for a read or write: some bytes moved)
    WantRead,  // call again once the socket is readable
    WantWrite, // call again once the socket is writable
    Closed,    // the peer ended the connection
    Failed,    // see TlsChannel::failure
};

// One client-side TLS connection over a non-blocking socket the caller owns.
struct TlsChannel {
    SSL_CTX* context = nullptr;
    SSL* ssl = nullptr;
    TlsTrust trust;
    StatusCode failure = Status::None;
    // Filled once the server has shown a certificate; valid after a failed verification too.
    CertificateDetails peer;
    // Certificate problems seen while verifying, as bits (see TlsChannel.cpp).
    unsigned problems = 0;

    TlsChannel() = default;
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;
    ~TlsChannel();
};

// Sets the channel up on socket fd; false (failure set) when the context cannot be made,
// for example an unreadable CA file.
bool OpenTlsChannel(TlsChannel& channel, int fd, const TlsTrust& trust);
// Runs the handshake as far as the socket allows; Done only once the server's certificate
// is verified, or is exactly the trusted one.
TlsStep TlsHandshake(TlsChannel& channel);
// At most size bytes into buffer; got is set on Done.
TlsStep TlsRead(TlsChannel& channel, char* buffer, std::size_t size, std::size_t& got);
// At most size bytes from bytes; written is set on Done.
TlsStep TlsWrite(TlsChannel& channel, const char* bytes, std::size_t size, std::size_t& written);
// Bytes read ahead or decrypted and waiting inside the channel, which the socket's
// readiness does not show.
bool TlsHasBufferedInput(const TlsChannel& channel);

// True when the failure was only an unknown issuer or a self-signed certificate, the case
// in which the user may choose to trust the exact certificate.
bool TlsFailureMayBeTrusted(const TlsChannel& channel);

// A SHA-256 fingerprint as the user may write it (colons, blanks, either case) in canonical
// form; empty when it is not 64 hex digits.
std::string NormalizeFingerprint(const std::string& text);
