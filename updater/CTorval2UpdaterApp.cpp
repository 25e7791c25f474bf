#include "CTorval2UpdaterApp.h"

#include <QFile>
#include <QFileInfo>

#include <cstring>

#include "CLogWriter.h"
#include "ConfigMigration.h"
#include "ConfigPaths.h"
#include "DetachedProcess.h"
#include "LocalAppData.h"
#include "SingleInstanceLock.h"
#include "UpdatePrompter.h"
#include "UpdateState.h"

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
    if (!state.programFolderWritable)
        logger_.Log(CLogWriter::LogInfo,
                    QStringLiteral("プログラムフォルダ（%1）に書き込めないため、"
                                   "アップデートは行いません。パッケージの更新で更新してください。")
                        .arg(state.programFolder));
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
    const int error = DetachedProcess::Start(program);
    if (error == 0)
        return true;
    logger_.Log(CLogWriter::LogError, failureText);
    logger_.Log(CLogWriter::LogError, program);
    logger_.Log(CLogWriter::LogError, QString::asprintf("%d", error));
    logger_.Log(CLogWriter::LogError, QString::fromLocal8Bit(std::strerror(error)));
    return false;
}
