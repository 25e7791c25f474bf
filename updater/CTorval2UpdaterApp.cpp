#include "CTorval2UpdaterApp.h"

#include <QFile>
#include <QFileInfo>

#include <spawn.h>
#include <cstring>

#include "CLogWriter.h"
#include "ConfigMigration.h"
#include "ConfigPaths.h"
#include "LocalAppData.h"
#include "SingleInstanceLock.h"
#include "UpdatePrompter.h"
#include "UpdateState.h"

extern char** environ;

CTorval2UpdaterApp::CTorval2UpdaterApp(CLogWriter& logger, UpdatePrompter& prompter)
    : logger_(logger), prompter_(prompter) {}

int CTorval2UpdaterApp::InitInstance() {
    // A second updater for the same data folder ends at once, silently; one
    // that cannot know whether it is alone says so and ends.
    SingleInstanceLock lock(QFileInfo(ConfigPath()).absolutePath(),
                            QStringLiteral("QuillonUpdater"));
    if (lock.state() == SingleInstanceLock::HeldElsewhere)
        return 0;
    if (!lock.acquired()) {
        logger_.Log(CLogWriter::LogError, lock.errorText());
        return 0;
    }

    logger_.Log(CLogWriter::LogDebug, QStringLiteral("iniファイルの確認を開始します。"));
    if (!LocalAppData::baseFolder().isEmpty())
        ConfigMigration(ConfigPath(), OldProductPlaces::defaults(), [this](const QString& text) {
            prompter_.notify(text);
        }).run();
    logger_.Log(CLogWriter::LogDebug, QStringLiteral("iniファイルの確認を終了しました。"));

    logger_.Log(CLogWriter::LogDebug, QStringLiteral("アップデートの確認を開始します。"));
    UpdateState state = UpdateState::forRunningProgram(&logger_);
    state.prompter = &prompter_;
    RunUpdate(state);
    logger_.Log(CLogWriter::LogDebug, QStringLiteral("アップデートの確認を終了しました。"));

    logger_.Log(CLogWriter::LogDebug, QStringLiteral("クライアントツールを起動します。"));
    const QString folder = state.programFolder;
    if (!startDetached(folder + QStringLiteral("/Quillon"),
                       QStringLiteral("クライアントツールの起動に失敗しました。")))
        return 0;
    if (GetAddOnPlatformBits(state) != 0 && !state.addOnInstalled &&
        !startDetached(folder + QStringLiteral("/FAddOn/Tv2AuthHook"),
                       QStringLiteral("Tv2AuthHook.exeの起動に失敗しました。")))
        return 0;
    logger_.Log(CLogWriter::LogDebug,
                QStringLiteral("クライアントツールの呼び出しが完了しました。"));
    return 0;
}

bool CTorval2UpdaterApp::startDetached(const QString& program, const QString& failureText) {
    const QByteArray path = QFile::encodeName(program);
    char* argv[] = {const_cast<char*>(path.constData()), nullptr};
    // A session of its own: the started program outlives the updater and
    // its terminal.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, path.constData(), nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    if (error == 0)
        return true;
    logger_.Log(CLogWriter::LogError, failureText);
    logger_.Log(CLogWriter::LogError, program);
    logger_.Log(CLogWriter::LogError, QString::asprintf("%d", error));
    logger_.Log(CLogWriter::LogError, QString::fromLocal8Bit(std::strerror(error)));
    return false;
}
