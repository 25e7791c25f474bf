#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

#include "CLogWriter.h"
#include "CRestRecords.h"
#include "CTorval2UploadList.h"
#include "SystemTime.h"
#include "TaskBlock.h"
#include "TaskProgress.h"
#include "TrayPresenter.h"

class UserNotifier;
struct GuestShareRequest;

// The client while it runs: owns the job list, the scheduler and block-check
// timers, the pause state, the run slots, and receives every result that a
// background task hands back. Lives on the user-interface thread; what it
// shows goes through a TrayPresenter.
class CTrayWnd : public QObject {
    Q_OBJECT
public:
    static constexpr int kSlots = 20;
    enum Command {
        kQuit = 32772,
        kAbout = 32773,
        kUploadNow = 32776,
        kSettings = 32777,
        kShowLog = 32778,
        kInterrupt = 32779,
        kPause = 32780,
        kGuestShare = 32782,
        // A running upload's progress line: shown greyed, never sent.
        kProgressLine = -1,
    };
    struct MenuItem {
        int command = 0;  // 0: a separator
        QString text;
        bool enabled = true;
    };

    // Construction: settings paths, start minute, logger, job list (clearing
    // the uploading marks), work folder with stray snapshots gathered into it.
    CTrayWnd(TrayPresenter& presenter, UserNotifier* notifier = nullptr,
             const Clock& clock = Clock::system(), QObject* parent = nullptr);
    ~CTrayWnd() override;

    // The start of the window: icon by pause state, scheduler timer, the
    // guest share check, one block check and its timer, the settings dialog
    // when OpenSetup asks for it.
    void OnCreate();

    // The menu as it must look now (texts, order, enabled items).
    QList<MenuItem> menuItems() const;
    void onCommand(int command);

    void OnSchedulerTick();
    void StartUploadRun(UploadJob& job, int index);
    void UploadNowAll();
    // One job's "いますぐアップロード" without the question (the command
    // line asks for it): false when there is no such job or it is running.
    bool UploadNow(int index, bool allJobs = false);
    // ID, PortalName and Password are all set: uploads can log in.
    bool accountComplete() const;
    void StartGuestShareCheck();
    // Uploads the files of a validated request into a new share (the share
    // dialog calls this); the outcome arrives like an upload run's.
    void StartGuestShareRun(const GuestShareRequest& request);
    void CheckWebDavBlock();
    void OnTaskFinished(TaskBlock block);
    void StartSchedulerTimer();
    void StopSchedulerTimer() { schedulerTimer_.stop(); }
    // While the connection settings dialog is open, "設定" only brings it to
    // the front; the user interface sets this around the dialog.
    bool settingsOpen() const { return settingsOpen_; }
    void setSettingsOpen(bool open) { settingsOpen_ = open; }

    bool paused() const { return paused_; }
    bool errorPending() const { return errorPending_; }
    bool guestShareAvailable() const { return guestShareAvailable_; }
    int runsInUse() const;
    // The progress of the upload run of the job at jobIndex; nothing when
    // that job has no run under way. Any thread.
    std::optional<ProgressSnapshot> progressOf(int jobIndex) const;
    // "<job>: <phase> ..." for every upload run under way, in slot order.
    QStringList progressLines() const;
    const SystemTime& appStartTime() const { return appStartTime_; }
    const std::atomic<int>& stopRequested() const { return stopRequested_; }
    CTorval2UploadList& jobList() { return jobs_; }
    bool schedulerRunning() const { return schedulerTimer_.isActive(); }

signals:
    // The user confirmed quitting.
    void quitRequested();
    // Menu commands whose dialogs the user interface opens.
    void settingsRequested();
    void showLogRequested(const QString& logText);
    void aboutRequested();
    void guestShareRequested();
    // A guest share run succeeded: the share-completed dialog shows this.
    void guestShareCompleted(const QString& header, const QString& text);
    // A run of the job with this unique id ended: its uploading mark, last
    // result and times in jobList() are the run's now.
    void uploadRunEnded(const QString& uniqueId);
    // The state behind menuItems() changed (pause, runs, interrupt, the
    // guest share check): a menu on show must be rebuilt now, since some
    // tray hosts never announce that they are about to show it.
    void menuChanged();

private:
    struct Slot {
        bool inUse = false;
        quint64 taskId = 0;
        // Upload runs of a job only; read by progressOf under progressMutex_.
        std::shared_ptr<TaskProgress> progress;
        int jobIndex = -1;
        QString jobName;
    };
    class Mailbox;

    // No icon: the state icon (error, paused or normal).
    void setTrayIcon(std::optional<TrayIcon> icon, const QString& balloon = QString());
    TrayIcon stateIcon() const;
    void togglePause();
    // Reads the job list again; a list whose last save failed is saved
    // first, and kept as it is while that still fails.
    void reloadJobs();
    void startWorker(TaskBlock block);
    Slot* freeSlot();
    void showProgress();

    TrayPresenter& presenter_;
    UserNotifier* notifier_;
    const Clock& clock_;
    QString configPath_;
    QString programSettingsPath_;
    CLogWriter logger_;
    CTorval2UploadList jobs_;
    CRestOptions options_;
    std::atomic<int> stopRequested_{0};
    SystemTime appStartTime_;
    bool errorPending_ = false;
    bool paused_ = false;
    bool guestShareAvailable_ = false;
    bool settingsOpen_ = false;
    // Task id of the guest share check under way; 0 when none runs.
    quint64 checkTaskId_ = 0;
    quint64 lastTaskId_ = 0;
    // Task id of the drive mapping started at start; 0 when none.
    quint64 driveTaskId_ = 0;
    std::array<Slot, kSlots> slots_;
    QTimer schedulerTimer_;
    QTimer blockTimer_;
    // Runs while an upload with progress is under way.
    QTimer progressTimer_;
    mutable std::mutex progressMutex_;
    // Outlives this window for workers that finish after it is gone.
    std::shared_ptr<Mailbox> mailbox_;
};
