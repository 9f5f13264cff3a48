#pragma once

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QTimer>

#include <functional>

enum class TrayKind { None, XEmbed, StatusNotifier };

// The tray the desktop offers now: a StatusNotifierItem host (KDE Plasma, GNOME's AppIndicator
// extension), through which Qt then shows the icon; else an XEmbed tray on X11; else none.
// Found without Qt's tray classes, which choose their kind once, when first asked, and would
// keep an XEmbed icon forever on a desktop whose StatusNotifierItem host came up after us.
TrayKind FindTray(const QDBusConnection& sessionBus);

struct TrayWatch {
    QTimer poll;
    QElapsedTimer waited;
    bool graceOver = false;
};

// At log-on the panel may come up after Postbell: a tray is looked for often for a few seconds,
// then graceOver is called once, and the looking goes on at a slower pace until found is called
// with the tray that appeared. On platforms that never have a tray graceOver comes at once.
void WaitForTray(TrayWatch& watch, const QDBusConnection& sessionBus, std::function<void(TrayKind)> found,
                 std::function<void()> graceOver);
