#include "CheckCommand.h"

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

// --help and --version, given alone; anything else is the check's command line.
bool AnswerHelpOrVersion(const std::vector<std::string>& args)
{
    if (args.size() != 1)
        return false;
    if (args[0] == "--help" || args[0] == "-h") {
        std::cout << CheckUsage << "\n\n"
                  << "Checks one POP3 mailbox once, as Postbell does, and prints the status, one line per\n"
                     "message (number, digest of its unique-id, From, Subject) and whether there is new mail.\n"
                     "The password is read from the environment variable POSTBELL_PASSWORD.\n\n"
                     "  --port N          the server's port (default 110)\n"
                     "  --seen FILE       digests of the messages seen before; replaced after a successful check\n"
                     "  --timeout SECONDS give up after this long\n"
                     "  --help, --version print this help or the version and exit\n";
        return true;
    }
    if (args[0] == "--version") {
        std::cout << "postbell-check " POSTBELL_VERSION "\n";
        return true;
    }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (AnswerHelpOrVersion(args))
        return 0;
    // Never from the command line, where other users could read it.
    const char* password = std::getenv("POSTBELL_PASSWORD");
    return RunCheckCommand(args, password ? password : "", std::cout, std::cerr);
}
