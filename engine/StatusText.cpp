#include "StatusText.h"

#include <array>

namespace {

constexpr StatusCode FirstStatus = Status::Ready;
constexpr std::array<std::string_view, 8> Texts = {
    "Ready",
    "Connecting to server...",
    "Sending user name and password...",
    "Checking for new messages...",
    "Successfully checked for new messages.",
    "Cannot connect to the mail server.",
    "User name or password was rejected by the mail server.",
    "Unexpected error occurred on the mail server.",
};

constexpr std::array<std::string_view, 7> SecureConnectionTexts = {
    "The mail server's certificate has expired or is not yet valid.",
    "The mail server's certificate is for another server name.",
    "The mail server's certificate is from an unknown issuer.",
    "The mail server's certificate is self-signed.",
    "The mail server's certificate could not be verified.",
    "The mail server does not support STARTTLS (STLS).",
    "The secure connection to the mail server failed.",
};

} // namespace

std::string_view StatusText(StatusCode code)
{
    if (code == Status::CredentialsNotSendable)
        return "The account name or password contains a line break and was not sent.";
    if (Status::IsSecureConnectionFailure(code))
        return SecureConnectionTexts[static_cast<std::size_t>(code - Status::CertificateExpired)];
    if (code < FirstStatus || code >= FirstStatus + static_cast<StatusCode>(Texts.size()))
        return {};
    return Texts[static_cast<std::size_t>(code - FirstStatus)];
}
