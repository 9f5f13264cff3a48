#include "DesktopRun.h"
#include "SingleInstance.h"

#include <QApplication>
#include <QPixmapCache>

#include <cstdio>
#include <cstring>
#include <sys/prctl.h>

namespace {

const char* const Help =
    "Usage: postbell [--help] [--version]\n"
    "\n"
    "Postbell sits in the system tray and checks one POP3 mailbox for new mail. It starts\n"
    "hidden: click its tray icon to open its window. One copy runs per user and display; a\n"
    "second start shows the running copy's window and exits. Settings are kept in\n"
    "$XDG_CONFIG_HOME/postbell/registry.sqlite3.\n"
    "\n"
    "  --help     print this help and exit\n"
    "  --version  print the version and exit\n";

// Answers --help and --version; other arguments are ignored, as they always were.
bool AnswerCommandLine(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(Help, stdout);
            return true;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("postbell " POSTBELL_VERSION);
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    // No core dump, and no other process of the user through /proc or ptrace, reads the password.
    prctl(PR_SET_DUMPABLE, 0);
    if (AnswerCommandLine(argc, argv))
        return 0;
    // Qt is given only the program's name.
    int qtArgc = 1;
    char* qtArgv[] = {argc > 0 ? argv[0] : const_cast<char*>("postbell"), nullptr};
    QApplication application(qtArgc, qtArgv);
    // The name, not a display name: Qt would add a display name to every caption.
    QApplication::setApplicationName(QStringLiteral("Postbell"));
    QApplication::setDesktopFileName(QStringLiteral("postbell"));
    // Qt's pixmap cache wakes the program 30 s after each drawing of the tray icon to flush
    // itself; the few small pictures are cheap to draw again.
    QPixmapCache::setCacheLimit(0);

    SingleInstance instance;
    switch (ClaimInstance(instance)) {
    case InstanceClaim::ShownOther:
        std::puts("Postbell is already running on this display; its window is shown.");
        return 0;
    case InstanceClaim::Failed:
        std::fprintf(stderr, "postbell: a copy already runs on this display but does not answer at %s\n",
                     qPrintable(InstanceSocketPath()));
        return 1;
    case InstanceClaim::First:
        break;
    }
    return RunPostbell(&instance);
}
