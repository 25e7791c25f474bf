#pragma once

#include <QString>
#include <QStringList>

// The roles of the tray icon's images.
enum class TrayIcon { Normal, Interrupting, Error, Paused, Uploading };

// What the tray window shows the user: the icon, balloons and message boxes.
// The program uses the system tray and message boxes; tests record the calls.
class TrayPresenter {
public:
    virtual ~TrayPresenter() = default;
    virtual void setIcon(TrayIcon icon) = 0;
    // A balloon with the application title, the information icon, 10 s.
    virtual void showBalloon(const QString& text) = 0;
    // A message box with an OK button.
    virtual void showMessage(const QString& text) = 0;
    // A yes/no question with the question icon; true for yes.
    virtual bool ask(const QString& text) = 0;
    // One line per running upload in the tooltip (none: the plain tip), and
    // the same lines for the menu's progress items; called every half second
    // while uploads run, and once with none after the last.
    virtual void showProgress(const QStringList& lines) { (void)lines; }
};
