#pragma once

#include <optional>
#include <string_view>

// The program's own texts by string id: 2 to 6 start-up errors, 7 and 8 the About
// box, 9 to 19 the tray icon's states and the statuses. nullopt for an id without text.
std::optional<std::string_view> LoadString(int id);

// The text a start-up failure with this id shows: its own, else string 3, else "Unknown error".
std::string_view StartupErrorText(int id);
