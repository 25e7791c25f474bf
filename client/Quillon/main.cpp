#include <QApplication>
#include <QFileInfo>

#include "AppIcon.h"
#include "BackgroundDriveOperations.h"
#include "CLogWriter.h"
#include "CTrayWnd.h"
#include "ClientUpdate.h"
#include "ConfigPaths.h"
#include "QtTranslation.h"
#include "QtTrayPresenter.h"
#include "SingleInstanceLock.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    InstallQtTranslation(app);
    const QString title = QStringLiteral("TORVAL2 クライアントツール");
    // No application display name: on X11 it would be added to every dialog's
    // title ("TORVAL2 ログ表示 — TORVAL2 クライアントツール").
    QApplication::setWindowIcon(LoadAppIcon());
    // The program lives in the tray; closing a dialog must not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    // One copy per data folder, wherever it was started; a second start ends
    // silently. Without a lock the program cannot know it is alone: it says
    // so in the log and ends.
    CLogWriter logger;
    SingleInstanceLock lock(QFileInfo(ConfigPath()).absolutePath(), title);
    if (lock.state() == SingleInstanceLock::HeldElsewhere)
        return 0;
    if (!lock.acquired()) {
        logger.Log(CLogWriter::LogError, lock.errorText());
        return 1;
    }

    QtTrayPresenter presenter(logger);
    CTrayWnd window(presenter, &presenter);
    presenter.attach(window);
    // The settings dialog maps the drive in the background: a mount may take
    // many seconds and must not freeze the dialog.
    presenter.setDriveOperationsFactory([&logger] {
        return std::make_unique<BackgroundDriveOperations>(ConfigPath(), ProgramSettingsPath(),
                                                           logger);
    });
    QObject::connect(&window, &CTrayWnd::quitRequested, &app, &QApplication::quit,
                     Qt::QueuedConnection);
    window.OnCreate();
    // The update check runs beside the tray. Made last, it is stopped first
    // when main ends: before the window, the logger and the application.
    ClientUpdate update;
    update.start();
    return app.exec();
}
