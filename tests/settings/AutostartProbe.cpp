// Calls UpdateRunEntry from wherever it was copied to: "on" or "off".
#include "AutostartEntry.h"

#include <cstring>

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    UpdateRunEntry(std::strcmp(argv[1], "on") == 0);
    return 0;
}
