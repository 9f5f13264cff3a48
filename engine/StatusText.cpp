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

} // namespace

std::string_view StatusText(StatusCode code)
{
    if (code < FirstStatus || code >= FirstStatus + static_cast<StatusCode>(Texts.size()))
        return {};
    return Texts[static_cast<std::size_t>(code - FirstStatus)];
}
