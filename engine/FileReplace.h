#pragma once

#include <string>
#include <sys/types.h>

// Replaces the file at path with bytes so that a reader, or a power loss, finds the old
// contents or the new ones, never a mix: a new file beside it (created with mode, less the
// umask), written and synced, then renamed over it. False with errno set when it failed;
// the old file is then untouched.
bool ReplaceFile(const std::string& path, const std::string& bytes, mode_t mode);
