#pragma once

#include <QString>

#include <atomic>
#include <optional>

#include "ArchiveBuilder.h"
#include "CRestControl.h"
#include "CRestSettings.h"
#include "LocalSnapshot.h"
#include "SystemTime.h"
#include "TaskProgress.h"
#include "UploadJob.h"
#include "UploadTally.h"

class CLogWriter;

// One upload run of one job: the checks, the snapshot comparison (or the
// archive upload of a compressed job), every folder and changed file sent,
// the start and end reports. Lives on the run's worker thread.
class CRestUpload {
public:
    CRestUpload(const UploadJob& job, const CRestSettings& settings, CRestControl& rest,
                CLogWriter& logger, const std::atomic<int>* stopFlag, const QString& workFolder,
                const Clock& clock = Clock::system());

    // The whole run; archive is set for a compressed job.
    bool Run(const std::optional<ArchiveBuilder::Archive>& archive = std::nullopt);
    // The checks before any entry is handled; sends the "start" report.
    bool Prepare();
    // The per-entry loop; true when no entry failed and the run was not stopped.
    bool CompareAndUpload();
    bool UploadArchive(const ArchiveBuilder::Archive& archive);
    // Logs the report line and sends it to the web tool.
    void SendReport(const QString& type);

    // Where the run reports its phase, files and bytes; none by default.
    // Sets the REST client's send observer while the run lives.
    void setProgress(TaskProgress* progress);
    ~CRestUpload();

    const UploadTally& tally() const { return tally_; }
    const QString& abortCause() const { return abortCause_; }
    // Why a check before the entries could not get its answer; empty otherwise.
    const QString& failureReason() const { return failureReason_; }
    bool resendAll() const { return resendAll_; }
    const LocalSnapshot::Names& names() const { return names_; }

    // Largest file the service takes.
    static constexpr quint64 kMaxFileSize = 4294967296ull;

private:
    bool stopRequested() const { return stopFlag_ && stopFlag_->load() == 1; }
    QString now() const;
    // Logs a failed check with its reason and keeps the reason for the user.
    void checkFailed(const QString& text, const CRestResult& result);
    void phase(UploadPhase phase) {
        if (progress_)
            progress_->setPhase(phase);
    }
    // Files and bytes that the loop will send: the changed, not excluded
    // files of the current snapshot that are not too large.
    void countChanged(const LocalSnapshot::PreviousIndex& previous);

    UploadJob job_;
    const CRestSettings& settings_;
    CRestControl& rest_;
    CLogWriter& logger_;
    const std::atomic<int>* stopFlag_;
    QString workFolder_;
    const Clock& clock_;
    TaskProgress* progress_ = nullptr;

    QString hotFolder_;
    QString destination_;
    bool resendAll_ = false;
    QString version_;
    QString boxId_;
    qint32 portalId_ = 0;
    bool proxyUsed_ = false;
    QString startTime_;
    QString endTime_;
    QString abortCause_;
    QString failureReason_;
    UploadTally tally_;
    LocalSnapshot::Names names_;
};
