#pragma once

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

#include <memory>

#include "TrayPresenter.h"
#include "UserNotifier.h"

class CTrayWnd;
class CLogWriter;

// The tray window's face on a desktop: the system tray icon with its menu
// and balloons, and message boxes. Without a system tray (no desktop, or the
// offscreen platform) the program still runs; balloons then go to the log at
// debug level, and the icon appears once a tray does (on X11 at once,
// elsewhere with the next change of icon).
class QtTrayPresenter : public QObject, public TrayPresenter, public UserNotifier {
    Q_OBJECT
public:
    explicit QtTrayPresenter(CLogWriter& logger, QObject* parent = nullptr);
    ~QtTrayPresenter() override;

    // Connects the menu to the window's commands and dialogs.
    void attach(CTrayWnd& window);

    void setIcon(TrayIcon icon) override;
    void showBalloon(const QString& text) override;
    void showMessage(const QString& text) override;
    bool ask(const QString& text) override;
    void showWarning(const QString& text) override;  // any thread

    static QIcon iconImage(TrayIcon icon);
    // The tray icon's menu as built last.
    const QMenu& menu() const { return *menu_; }

private:
    void rebuildMenu();

    CLogWriter& logger_;
    CTrayWnd* window_ = nullptr;
    QSystemTrayIcon tray_;
    std::unique_ptr<QMenu> menu_;
};
