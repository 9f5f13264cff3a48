#pragma once

#include <string>

// $XDG_CONFIG_HOME, read at each call; unset, empty or relative => $HOME/.config.
// Empty when no home folder can be found.
std::string UserConfigHome();

// Creates the folder and any missing parents; folders it creates get mode 0700.
bool CreateFolderPath(const std::string& path);
