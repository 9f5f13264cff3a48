#include "StringTable.h"

#include "StatusText.h"

#ifndef POSTBELL_VERSION
#error "POSTBELL_VERSION must name the program's version"
#endif

namespace {

struct StringEntry {
    int id;
    std::string_view text;
};

// The status texts (11 to 18) live with the engine, which reports them too.
constexpr StringEntry Strings[] = {
    {2, "Error: Could not create main window. Try restarting Postbell or your computer."},
    {3, "An unexpected error occurred. Try restarting Postbell or your computer."},
    {4, "Error: Could not create notification icon. Try restarting Postbell or your computer."},
    {5, "Error: Could not initialize Winsock. Try restarting Postbell or your computer. Make sure your "
        "computer is connected to the Internet."},
    {6, "Error: WinSock 2.0 or higher is required."},
    {7, "Postbell " POSTBELL_VERSION "\n"
        "Made by Veltrane.\n"
        "Veltrane makes small, quiet tools for the everyday desktop."},
    {8, "About Postbell"},
    {9, "No new e-mail"},
    {10, "You have new e-mail"},
    {19, "Postbell Error"},
};

constexpr std::string_view UnknownError = "Unknown error";

} // namespace

std::optional<std::string_view> LoadString(int id)
{
    for (const StringEntry& entry : Strings) {
        if (entry.id == id)
            return entry.text;
    }
    const std::string_view status = StatusText(id);
    if (!status.empty())
        return status;
    return std::nullopt;
}

std::string_view StartupErrorText(int id)
{
    if (auto text = LoadString(id))
        return *text;
    if (auto text = LoadString(StringId::UnexpectedError))
        return *text;
    return UnknownError;
}
