#include "CTrayWnd.h"

#include <QDir>
#include <QMutex>
#include <QPointer>

#include <thread>

#include "BackgroundDriveOperations.h"
#include "CRestControl.h"
#include "CRestSettings.h"
#include "ConfigKeys.h"
#include "ConfigPaths.h"
#include "GuestShareTask.h"
#include "LocalSnapshot.h"
#include "MapDriveTask.h"
#include "UpdateState.h"
#include "UploadScheduler.h"
#include "UploadTask.h"

namespace {

const QString kSucceeded = QStringLiteral("成功");
constexpr int kBalloonLimit = 255;

QString balloonText(const QString& text) {
    return text.size() <= kBalloonLimit ? text : text.left(kBalloonLimit - 1) + QStringLiteral("…");
}

}  // namespace

// Hands finished blocks to the window's thread. Workers keep it alive; once
// the window is gone, results that still arrive are dropped.
class CTrayWnd::Mailbox : public TaskResultSink {
public:
    explicit Mailbox(CTrayWnd* window) : window_(window) {}
    void taskFinished(TaskBlock block) override {
        QMutexLocker lock(&mutex_);
        if (!window_)
            return;
        QPointer<CTrayWnd> target(window_);
        QMetaObject::invokeMethod(
            window_,
            [target, block = std::move(block)]() mutable {
                if (target)
                    target->OnTaskFinished(std::move(block));
            },
            Qt::QueuedConnection);
    }
    void close() {
        QMutexLocker lock(&mutex_);
        window_ = nullptr;
    }

private:
    QMutex mutex_;
    CTrayWnd* window_;
};

CTrayWnd::CTrayWnd(TrayPresenter& presenter, UserNotifier* notifier, const Clock& clock,
                   QObject* parent)
    : QObject(parent),
      presenter_(presenter),
      notifier_(notifier),
      clock_(clock),
      configPath_(ConfigPath()),
      programSettingsPath_(ProgramSettingsPath()),
      logger_(configPath_),
      jobs_(configPath_, clock),
      mailbox_(std::make_shared<Mailbox>(this)) {
    appStartTime_ = clock_.localTime();
    appStartTime_.second = 0;
    appStartTime_.millisecond = 0;
    jobs_.Load();
    QDir().mkpath(LocalSnapshot::WorkFolder());
    LocalSnapshot::GatherStraySnapshots();

    schedulerTimer_.setInterval(60000);
    connect(&schedulerTimer_, &QTimer::timeout, this, &CTrayWnd::OnSchedulerTick);
    blockTimer_.setInterval(300000);
    connect(&blockTimer_, &QTimer::timeout, this, &CTrayWnd::CheckWebDavBlock);
    progressTimer_.setInterval(500);
    connect(&progressTimer_, &QTimer::timeout, this, &CTrayWnd::showProgress);
}

CTrayWnd::~CTrayWnd() {
    mailbox_->close();
    schedulerTimer_.stop();
    blockTimer_.stop();
    // Last, and waited for: the add-on companion ends with the client.
    StopAuthHook();
}

void CTrayWnd::OnCreate() {
    paused_ = IsSwitchOff(ReadSetting(UserConfig::EnableUpload, configPath_));
    if (paused_) {
        setTrayIcon(TrayIcon::Paused);
    } else {
        setTrayIcon(TrayIcon::Normal);
        StartSchedulerTimer();
    }
    if (IsSwitchOn(ReadSetting(UserConfig::UseMyComputer, configPath_))) {
        TaskBlock block;
        block.stopFlag = &stopRequested_;
        block.kind = TaskBlock::DriveMapping;
        block.startTime = clock_.localTime();
        block.taskId = ++lastTaskId_;
        driveTaskId_ = block.taskId;
        startWorker(std::move(block));
    }
    StartGuestShareCheck();
    CheckWebDavBlock();
    blockTimer_.start();
    if (IsSwitchOn(ReadSetting(UserConfig::OpenSetup, configPath_))) {
        WriteSetting(UserConfig::OpenSetup, QStringLiteral("OFF"), configPath_);
        QMetaObject::invokeMethod(
            this, [this] { onCommand(kSettings); }, Qt::QueuedConnection);
    }
}

TrayIcon CTrayWnd::stateIcon() const {
    if (errorPending_)
        return TrayIcon::Error;
    return paused_ ? TrayIcon::Paused : TrayIcon::Normal;
}

void CTrayWnd::setTrayIcon(std::optional<TrayIcon> icon, const QString& balloon) {
    presenter_.setIcon(icon.value_or(stateIcon()));
    if (!balloon.isEmpty())
        presenter_.showBalloon(balloonText(balloon));
    // Every change of pause, runs and interrupt passes here.
    emit menuChanged();
}

CTrayWnd::Slot* CTrayWnd::freeSlot() {
    for (Slot& s : slots_) {
        if (!s.inUse)
            return &s;
    }
    return nullptr;
}

int CTrayWnd::runsInUse() const {
    int n = 0;
    for (const Slot& s : slots_)
        n += s.inUse;
    return n;
}

bool CTrayWnd::accountComplete() const {
    return !ReadSetting(UserConfig::ID, configPath_, 260).isEmpty() &&
           !ReadSetting(UserConfig::PortalName, configPath_, 260).isEmpty() &&
           !ReadSetting(UserConfig::Password, configPath_, 260).isEmpty();
}

std::optional<ProgressSnapshot> CTrayWnd::progressOf(int jobIndex) const {
    std::lock_guard lock(progressMutex_);
    for (const Slot& s : slots_) {
        if (s.progress && s.jobIndex == jobIndex)
            return s.progress->snapshot();
    }
    return std::nullopt;
}

QStringList CTrayWnd::progressLines() const {
    std::lock_guard lock(progressMutex_);
    QStringList lines;
    for (const Slot& s : slots_) {
        if (s.progress)
            lines << ProgressLine(s.jobName, s.progress->snapshot());
    }
    return lines;
}

void CTrayWnd::showProgress() {
    const QStringList lines = progressLines();
    if (lines.isEmpty())
        progressTimer_.stop();
    presenter_.showProgress(lines);
}

QList<CTrayWnd::MenuItem> CTrayWnd::menuItems() const {
    const bool account = accountComplete();
    QList<MenuItem> items;
    items.append(
        {kUploadNow, QStringLiteral("いますぐアップロード"), account && jobs_.Count() > 0});
    if (guestShareAvailable_)
        items.append({kGuestShare, QStringLiteral("ゲスト共有"), true});
    items.append({kSettings, QStringLiteral("設定"), true});
    items.append(MenuItem{});
    items.append({kShowLog, QStringLiteral("エラー確認"), true});
    items.append(MenuItem{});
    items.append({kAbout, QStringLiteral("バージョン情報"), true});
    items.append(MenuItem{});
    for (const QString& line : progressLines())
        items.append({kProgressLine, line, false});
    items.append({kInterrupt, QStringLiteral("中断"), runsInUse() > 0});
    items.append({kPause, paused_ ? QStringLiteral("休止解除") : QStringLiteral("休止"), true});
    items.append(MenuItem{});
    items.append({kQuit, QStringLiteral("終了"), true});
    return items;
}

void CTrayWnd::onCommand(int command) {
    switch (command) {
        case kUploadNow:
            UploadNowAll();
            break;
        case kGuestShare:
            emit guestShareRequested();
            break;
        case kSettings:
            if (!settingsOpen_)
                StartGuestShareCheck();
            emit settingsRequested();
            break;
        case kShowLog:
            errorPending_ = false;
            setTrayIcon(std::nullopt);
            emit showLogRequested(logger_.ReadLogText());
            break;
        case kAbout:
            emit aboutRequested();
            break;
        case kInterrupt:
            stopRequested_ = 1;
            setTrayIcon(TrayIcon::Interrupting, QStringLiteral("アップロードを中断します。"));
            break;
        case kPause:
            togglePause();
            break;
        case kQuit:
            if (presenter_.ask(
                    QStringLiteral("TORVAL2 クライアントツールを終了してよろしいですか？")))
                emit quitRequested();
            break;
        default:
            break;
    }
}

void CTrayWnd::togglePause() {
    if (!paused_) {
        paused_ = true;
        schedulerTimer_.stop();
        WriteSetting(UserConfig::EnableUpload, QStringLiteral("OFF"), configPath_);
        setTrayIcon(TrayIcon::Paused, QStringLiteral("アップロードを休止します。"));
    } else {
        paused_ = false;
        StartSchedulerTimer();
        WriteSetting(UserConfig::EnableUpload, QStringLiteral("ON"), configPath_);
        setTrayIcon(TrayIcon::Normal, QStringLiteral("アップロード休止を解除します。"));
    }
}

void CTrayWnd::StartSchedulerTimer() {
    schedulerTimer_.stop();
    if (!paused_)
        schedulerTimer_.start();
}

void CTrayWnd::reloadJobs() {
    if (!jobs_.Unsaved() || jobs_.Save())
        jobs_.Load();
}

void CTrayWnd::OnSchedulerTick() {
    reloadJobs();
    std::vector<const UploadJob*> list;
    for (int i = 0; UploadJob* job = jobs_.GetJob(i); ++i)
        list.push_back(job);
    const QList<int> due = UploadScheduler::DueJobs(list, clock_.localTime(), appStartTime_);
    for (const int i : due) {
        UploadJob* job = jobs_.GetJob(i);
        job->JobNumber = i + 1;
        job->UploadNow = false;
        job->AllJobs = false;
        StartUploadRun(*job, i);
    }
}

void CTrayWnd::startWorker(TaskBlock block) {
    // Each worker keeps the mailbox and a logger of its own alive for as long
    // as it runs; the program does not wait for workers when it ends.
    std::thread([mailbox = mailbox_, block = std::move(block), notifier = notifier_,
                 &clock = clock_, configPath = configPath_,
                 programSettingsPath = programSettingsPath_]() mutable {
        CLogWriter logger(configPath);
        block.logger = &logger;
        block.sink = mailbox.get();
        switch (block.kind) {
            case TaskBlock::UploadRun:
                if (block.guestRequest)
                    RunGuestShareTask(std::move(block));
                else
                    RunUploadTask(std::move(block), notifier, clock);
                break;
            case TaskBlock::GuestShareCheck:
                RunGuestShareCheckTask(std::move(block));
                break;
            case TaskBlock::DriveMapping: {
                // In turn with the settings dialog's drive operations.
                BackgroundDriveOperations drive(configPath, programSettingsPath, logger);
                MapDriveTask(std::move(block), drive);
                break;
            }
            default:
                break;
        }
    }).detach();
    // A run now holds its slot: "中断" becomes available.
    emit menuChanged();
}

void CTrayWnd::StartUploadRun(UploadJob& job, int index) {
    TaskBlock block;
    block.stopFlag = &stopRequested_;
    block.kind = TaskBlock::UploadRun;
    block.startTime = clock_.localTime();
    block.taskId = ++lastTaskId_;
    block.jobIndex = index;
    logger_.Log(CLogWriter::LogInfo, job.Name + QStringLiteral(" のアップロードを開始しました"));

    job.isUploading = true;
    job.LastUploadTime = block.startTime;
    jobs_.SetUploading(job.UniqueId, true);
    jobs_.SetLastUploadTime(job.UniqueId, block.startTime);
    block.job = job;
    setTrayIcon(TrayIcon::Uploading, QStringLiteral("アップロードを開始します。"));

    Slot* free = freeSlot();
    if (!free) {
        logger_.Log(CLogWriter::LogError, QStringLiteral("アップロード処理の開始に失敗しました。"));
        // Nothing runs, so nothing would ever clear the mark.
        job.isUploading = false;
        jobs_.SetUploading(job.UniqueId, false);
        return;
    }
    free->inUse = true;
    free->taskId = block.taskId;
    block.progress = std::make_shared<TaskProgress>();
    {
        std::lock_guard lock(progressMutex_);
        free->progress = block.progress;
        free->jobIndex = index;
        free->jobName = job.Name;
    }
    if (!progressTimer_.isActive())
        progressTimer_.start();
    startWorker(std::move(block));
}

void CTrayWnd::StartGuestShareRun(const GuestShareRequest& request) {
    TaskBlock block;
    block.stopFlag = &stopRequested_;
    block.kind = TaskBlock::UploadRun;
    block.startTime = clock_.localTime();
    block.taskId = ++lastTaskId_;
    UploadJob job;
    job.UniqueId = MakeUniqueIdText(clock_);
    block.job = job;
    block.guestRequest = std::make_shared<const GuestShareRequest>(request);
    logger_.Log(CLogWriter::LogInfo,
                QStringLiteral("ゲスト共有ファイルのアップロードを開始しました"));
    setTrayIcon(TrayIcon::Uploading,
                QStringLiteral("ゲスト共有ファイルのアップロードを開始します。"));
    Slot* free = freeSlot();
    if (!free) {
        logger_.Log(CLogWriter::LogError,
                    QStringLiteral("ゲスト共有ファイルのアップロード処理開始に失敗しました。"));
        return;
    }
    free->inUse = true;
    free->taskId = block.taskId;
    startWorker(std::move(block));
}

void CTrayWnd::UploadNowAll() {
    if (!jobs_.GetJob(0)) {
        presenter_.showMessage(QStringLiteral("アップロードの設定が登録されていません。"));
        return;
    }
    if (!presenter_.ask(QStringLiteral("アップロードを開始しますか？")))
        return;
    schedulerTimer_.stop();
    reloadJobs();
    for (int i = 0; i < CTorval2UploadList::kMaxJobs; ++i) {
        UploadJob* job = jobs_.GetJob(i);
        if (!job)
            break;
        if (job->isUploading)
            continue;
        job->JobNumber = i + 1;
        job->UploadNow = true;
        job->AllJobs = true;
        StartUploadRun(*job, i);
    }
    StartSchedulerTimer();
}

bool CTrayWnd::UploadNow(int index, bool allJobs) {
    reloadJobs();
    UploadJob* job = jobs_.GetJob(index);
    if (!job || job->isUploading)
        return false;
    schedulerTimer_.stop();
    job->JobNumber = index + 1;
    job->UploadNow = true;
    job->AllJobs = allJobs;
    StartUploadRun(*job, index);
    StartSchedulerTimer();
    return true;
}

void CTrayWnd::StartGuestShareCheck() {
    if (checkTaskId_ != 0)
        return;
    TaskBlock block;
    block.kind = TaskBlock::GuestShareCheck;
    block.startTime = clock_.localTime();
    block.taskId = ++lastTaskId_;
    checkTaskId_ = block.taskId;
    startWorker(std::move(block));
}

void CTrayWnd::CheckWebDavBlock() {
    try {
        const CRestSettings settings = LoadSettings(configPath_, programSettingsPath_, clock_);
        CRestControl rest(&settings, &logger_);
        CRestUser user;
        CRestResult userResult;
        rest.GetCurrentUser(userResult, user);
        // Without the user there is no portal to ask: any further request
        // would go to a portal that is not the user's.
        if (!userResult.ok)
            return;
        CRestOptions options;
        CRestResult optionsResult;
        rest.GetOptions(optionsResult, user.portalId, options);
        if (!optionsResult.ok)
            return;
        options_ = options;
        if (!options_.autoBlock)
            return;
        CRestAutoBlock block;
        CRestResult blockResult;
        rest.GetAutoBlock(blockResult, user.portalId, block);
        if (blockResult.ok && block.blocked) {
            presenter_.showBalloon(QStringLiteral(
                "禁止操作が検出されたため、WebDAVの利用が制限されました。\r\n"
                "管理権限でTORVAL2（Web）にログインし、制限解除を行なってください。\r\n"));
            logger_.Log(
                CLogWriter::LogInfo,
                QStringLiteral("WebDAVの利用の遮断が検知されました。%1回目").arg(block.blockCount));
        }
    } catch (const std::exception&) {
        // The check ends silently; it runs again with the next timer tick.
    }
}

void CTrayWnd::OnTaskFinished(TaskBlock block) {
    if (!block.job) {
        if (block.kind == TaskBlock::DriveMapping && block.taskId == driveTaskId_) {
            const bool mapped = block.result == 1;
            errorPending_ = !mapped;
            const QString text = mapped ? QStringLiteral("ドライブレター登録に成功しました。")
                                        : QStringLiteral("ドライブレター登録に失敗しました。");
            logger_.Log(mapped ? CLogWriter::LogInfo : CLogWriter::LogError, text);
            driveTaskId_ = 0;
            setTrayIcon(std::nullopt, text);
            return;
        }
        if (block.kind == TaskBlock::GuestShareCheck && block.taskId == checkTaskId_) {
            errorPending_ = false;
            guestShareAvailable_ = block.result == 1;
            logger_.Log(CLogWriter::LogInfo, guestShareAvailable_
                                                 ? QStringLiteral("ゲスト共有が可能です。")
                                                 : QStringLiteral("ゲスト共有はできません。"));
            checkTaskId_ = 0;
            emit menuChanged();
        }
        return;
    }
    Slot* slot = nullptr;
    for (Slot& s : slots_) {
        if (s.inUse && s.taskId == block.taskId)
            slot = &s;
    }
    if (!slot)
        return;
    UploadJob& job = *block.job;
    job.LastUploadEndTime = clock_.localTime();
    QString text;
    if (block.guestRequest) {
        text = QStringLiteral("ゲスト共有のアップロードを終了しました");
    } else {
        jobs_.SetUploading(job.UniqueId, false);
        jobs_.SetLastUploadFlag(job.UniqueId, job.LastUploadFlag);
        jobs_.SetLastUploadEndTime(job.UniqueId, job.LastUploadEndTime);
        text = job.Name + QStringLiteral(" のアップロードを終了しました");
    }
    const bool failed = job.LastUploadFlag != kSucceeded;
    if (failed)
        errorPending_ = true;
    logger_.Log(failed ? CLogWriter::LogError : CLogWriter::LogInfo, text);
    {
        std::lock_guard lock(progressMutex_);
        *slot = Slot{};
    }
    // The tooltip loses the line now; the timer stops with the last run.
    showProgress();

    QString balloon;
    if (failed)
        balloon = QStringLiteral("アップロード中にエラーが発生しました。") +
                  (block.failureReason.isEmpty() ? QString() : "\n" + block.failureReason);
    else if (block.filesFlag == 0 && !block.guestRequest)
        balloon =
            job.Name +
            QStringLiteral(":アップロード対象ファイルはありません。アップロードを終了します。");
    else
        balloon = QStringLiteral("アップロードに成功しました。");
    if (runsInUse() == 0) {
        setTrayIcon(std::nullopt, balloon);
        stopRequested_ = 0;
    } else {
        setTrayIcon(TrayIcon::Uploading, balloon);
    }
    if (block.guestRequest && !failed) {
        const ShareCompletedText share =
            BuildShareCompletedText(*block.guestRequest, block.shareDownloadUrl);
        emit guestShareCompleted(share.header, share.text);
    }
    if (!block.guestRequest)
        emit uploadRunEnded(job.UniqueId);
}
