#pragma once

#include <cstdint>

// A status is the id of its text in the program's string table; the numbers are what the
// program has always shown and stored, so they never change.
using StatusCode = std::int32_t;

namespace Status {
constexpr StatusCode Ready = 11; // the value before any check has posted
constexpr StatusCode Connecting = 12;
constexpr StatusCode LoggingIn = 13;
constexpr StatusCode Checking = 14;
constexpr StatusCode Checked = 15;
constexpr StatusCode CannotConnect = 16;
constexpr StatusCode LoginRejected = 17;
constexpr StatusCode ServerError = 18;
// Secure connections; numbered apart from the string ids above and below.
constexpr StatusCode CertificateExpired = 30;
constexpr StatusCode CertificateWrongName = 31;
constexpr StatusCode CertificateUnknownIssuer = 32;
constexpr StatusCode CertificateSelfSigned = 33;
constexpr StatusCode CertificateNotVerified = 34;
constexpr StatusCode StlsNotSupported = 35;
constexpr StatusCode SecureConnectionFailed = 36;
// The stored account name or password holds what would end its command early.
constexpr StatusCode CredentialsNotSendable = 37;
// No status: the outcome of the check has already been posted.
constexpr StatusCode None = 0;

inline constexpr bool IsSecureConnectionFailure(StatusCode code)
{
    return code >= CertificateExpired && code <= SecureConnectionFailed;
}

// The statuses that end a check without its result.
inline constexpr bool IsFailure(StatusCode code)
{
    return (code >= CannotConnect && code <= ServerError) || IsSecureConnectionFailure(code)
        || code == CredentialsNotSendable;
}
} // namespace Status

// The string-table ids that are not statuses.
namespace StringId {
constexpr int MainWindowFailed = 2;
constexpr int UnexpectedError = 3;
constexpr int TrayIconFailed = 4;
constexpr int NetworkStartFailed = 5;
constexpr int NetworkVersionTooOld = 6;
constexpr int AboutText = 7;
constexpr int AboutCaption = 8;
constexpr int NoNewMail = 9;
constexpr int NewMail = 10;
constexpr int ErrorBalloonTitle = 19;
} // namespace StringId
