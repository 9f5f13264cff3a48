#pragma once

#include "Application.h"

#include <string_view>

// The text of a status code (11 to 18) from the program's string table; empty for any other code.
std::string_view StatusText(StatusCode code);
