#include "DesktopRun.h"

#include <QApplication>
#include <QPixmapCache>

int main(int argc, char** argv)
{
    // The program takes no arguments: Qt is given only the program's name.
    int qtArgc = 1;
    char* qtArgv[] = {argc > 0 ? argv[0] : const_cast<char*>("postbell"), nullptr};
    QApplication application(qtArgc, qtArgv);
    QApplication::setApplicationDisplayName(QStringLiteral("Postbell"));
    QApplication::setDesktopFileName(QStringLiteral("postbell"));
    // Qt's pixmap cache wakes the program 30 s after each drawing of the tray icon to flush
    // itself; the few small pictures are cheap to draw again.
    QPixmapCache::setCacheLimit(0);
    return RunPostbell();
}
