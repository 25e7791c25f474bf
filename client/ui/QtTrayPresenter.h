#pragma once

#include <QDialog>
#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>

#include "TrayPresenter.h"
#include "UserNotifier.h"

class CTrayWnd;
class CLogWriter;
class DriveOperations;

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
    void showProgress(const QStringList& lines) override;
    void showWarning(const QString& text) override;  // any thread

    static QIcon iconImage(TrayIcon icon);
    // The tray icon's menu as built last.
    const QMenu& menu() const { return *menu_; }

    // Makes the drive operations the settings dialog maps and unmaps
    // through; without one the dialog leaves the drive alone.
    void setDriveOperationsFactory(std::function<std::unique_ptr<DriveOperations>()> factory);
    // The connection settings dialog while it is open.
    QDialog* settingsDialog() const { return settings_; }

private:
    void rebuildMenu();
    void openSettings();
    // Brings an open dialog to the front; false when none is open.
    static bool raise(QDialog* dialog);

    CLogWriter& logger_;
    CTrayWnd* window_ = nullptr;
    QSystemTrayIcon tray_;
    std::unique_ptr<QMenu> menu_;
    // The menu's progress items, in the order of the window's lines.
    QList<QAction*> progressActions_;
    std::function<std::unique_ptr<DriveOperations>()> driveFactory_;
    QPointer<QDialog> settings_;
    QPointer<QDialog> log_;
    QPointer<QDialog> about_;
};
