#include <QApplication>
#include <QFileInfo>

#include "AppIcon.h"
#include "BackgroundDriveOperations.h"
#include "CLogWriter.h"
#include "CTrayWnd.h"
#include "ClientUpdate.h"
#include "ConfigPaths.h"
#include "ControlCommand.h"
#include "ControlServer.h"
#include "HeadlessPresenter.h"
#include "QtTranslation.h"
#include "QtTrayPresenter.h"
#include "SingleInstanceLock.h"

namespace {

QString DataFolder() {
    return QFileInfo(ConfigPath()).absolutePath();
}

// What the tray client and the headless client share once their presenter
// exists: the control channel, the update check and the event loop.
int RunClient(QCoreApplication& app, CTrayWnd& window, bool desktop) {
    CLogWriter logger;
    ControlServer control(window, desktop);
    // Without the channel the client still uploads; the command line then
    // finds no client, and the log says why.
    if (!control.listen(DataFolder()))
        logger.Log(CLogWriter::LogError, control.errorText());
    QObject::connect(&window, &CTrayWnd::quitRequested, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    window.OnCreate();
    // The update check runs beside the tray. Made last, it is stopped first
    // when the client ends: before the window, the logger and the application.
    ClientUpdate update;
    update.start();
    return app.exec();
}

}  // namespace

int main(int argc, char* argv[]) {
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    // A request to the running client: no widgets, no display.
    if (ControlCommand::IsRequest(args)) {
        QCoreApplication app(argc, argv);
        return ControlCommand::Run(args, DataFolder());
    }
    const bool headless = !args.isEmpty();
    std::unique_ptr<QCoreApplication> app;
    if (headless) {
        app = std::make_unique<QCoreApplication>(argc, argv);
    } else {
        app = std::make_unique<QApplication>(argc, argv);
        InstallQtTranslation(*app);
        // No application display name: on X11 it would be added to every
        // dialog's title ("TORVAL2 ログ表示 — TORVAL2 クライアントツール").
        QApplication::setWindowIcon(LoadAppIcon());
        // The program lives in the tray; closing a dialog must not end it.
        QApplication::setQuitOnLastWindowClosed(false);
    }
    const QString title = QStringLiteral("TORVAL2 クライアントツール");

    // One copy per data folder, wherever it was started. A second start
    // opens the running copy's settings (the menu entry was picked again)
    // and ends. Without a lock the program cannot know it is alone: it says
    // so in the log and ends.
    CLogWriter logger;
    SingleInstanceLock lock(DataFolder(), title);
    if (lock.state() == SingleInstanceLock::HeldElsewhere) {
        if (!headless)
            ControlCommand::Send(DataFolder(), {{"command", picojson::value("settings")}}, 3000);
        return 0;
    }
    if (!lock.acquired()) {
        logger.Log(CLogWriter::LogError, lock.errorText());
        return 1;
    }

    if (headless) {
        HeadlessPresenter presenter;
        CTrayWnd window(presenter, &presenter);
        return RunClient(*app, window, false);
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
    return RunClient(*app, window, true);
}
