#include "CheckCommand.h"

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    // Never from the command line, where other users could read it.
    const char* password = std::getenv("POSTBELL_PASSWORD");
    return RunCheckCommand(args, password ? password : "", std::cout, std::cerr);
}
