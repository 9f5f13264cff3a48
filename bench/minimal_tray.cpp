// The yardstick for Postbell's start: a minimal Qt tray program that shows an icon and waits.
//
//     minimal_tray ICON.png
#include <QApplication>
#include <QIcon>
#include <QSystemTrayIcon>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QSystemTrayIcon icon(QIcon(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString()));
    icon.show();
    return app.exec();
}
