#pragma once

#include "Application.h"

#include <cstdint>
#include <string>

enum class Resolution { Found, NotFound, Stopped };

// Turns the server's name into an IPv4 address (network byte order). A dotted
// address needs no lookup; a name is looked up on a helper thread so that a stop
// (stopFd readable) is served at once even while the lookup hangs.
Resolution ResolveServer(const std::string& host, const HostResolver& resolver, int stopFd, std::uint32_t& address);
