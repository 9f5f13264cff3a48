#include "Desktop.h"

#include <QApplication>

int main(int argc, char** argv)
{
    // The program takes no arguments: Qt is given only the program's name.
    int qtArgc = 1;
    char* qtArgv[] = {argc > 0 ? argv[0] : const_cast<char*>("postbell"), nullptr};
    QApplication application(qtArgc, qtArgv);
    QApplication::setApplicationDisplayName(QStringLiteral("Postbell"));
    QApplication::setDesktopFileName(QStringLiteral("postbell"));
    return RunPostbell();
}
