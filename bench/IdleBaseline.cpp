// The least a tray program on Qt Widgets does while it waits: one tray icon
// with a menu and two timers. The idle benchmark measures it beside the
// client in the same run.
#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>
#include <QTimer>

namespace {

QIcon drawnIcon() {
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setBrush(QColor(0x1f, 0x6f, 0xc5));
        p.drawRoundedRect(QRectF(0.5, 0.5, size - 1, size - 1), size / 5.0, size / 5.0);
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    QMenu menu;
    for (const char* text : {"Upload now", "Settings", "Log", "About", "Pause"})
        menu.addAction(QString::fromLatin1(text));
    menu.addSeparator();
    QObject::connect(menu.addAction(QStringLiteral("Quit")), &QAction::triggered, &app,
                     &QApplication::quit);

    QSystemTrayIcon tray;
    tray.setIcon(drawnIcon());
    tray.setToolTip(QStringLiteral("idle baseline"));
    tray.setContextMenu(&menu);
    tray.show();

    int ticks = 0;
    QTimer scheduler;
    QObject::connect(&scheduler, &QTimer::timeout, [&ticks] { ++ticks; });
    scheduler.start(60000);
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&ticks] { ++ticks; });
    check.start(300000);
    return app.exec();
}
