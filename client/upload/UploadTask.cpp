#include "UploadTask.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "CLogWriter.h"
#include "CRestJsonParser.h"
#include "CRestUpload.h"
#include "CTorval2Exception.h"
#include "ConfigPaths.h"
#include "PostUpload.h"

namespace {

const QString kSucceeded = QStringLiteral("成功");
const QString kFailed = QStringLiteral("失敗");

}  // namespace

void RunUploadTask(TaskBlock block, UserNotifier* notifier, const Clock& clock) {
    CLogWriter& logger = *block.logger;
    UploadJob& job = *block.job;
    std::optional<ArchiveBuilder::Archive> archive;
    try {
        bool built = true;
        TaskProgress* progress = block.progress.get();
        if (job.CompressionEnable) {
            if (progress)
                progress->setPhase(UploadPhase::Archiving);
            archive = ArchiveBuilder::BuildArchive(job, logger, notifier);
            built = archive.has_value();
            if (built)
                logger.Log(CLogWriter::LogDebug, QStringLiteral("new CRestUpload"));
        }
        if (built) {
            const CRestSettings settings = LoadSettings();
            CRestControl rest(&settings, &logger);
            CRestUpload run(job, settings, rest, logger, block.stopFlag,
                            LocalSnapshot::WorkFolder(), clock);
            run.setProgress(progress);
            const bool ok = run.Run(archive);
            job.LastUploadFlag = ok ? kSucceeded : kFailed;
            block.failureReason = run.failureReason();
            const UploadTally& tally = run.tally();
            block.filesFlag =
                archive ? 1 : static_cast<int>(tally.successList.size() + tally.failureList.size());
            if (progress && job.EvacuationEnable)
                progress->setPhase(UploadPhase::Moving);
            PostUpload::AfterRun(job, tally, archive.has_value(), ok, ConfigPath(), clock);
        }
    } catch (const CTorval2Exception& e) {
        // A run that cannot go on ends as failed; the program and other runs go on.
        logger.Log(CLogWriter::LogError, e.code() + QStringLiteral(" : ") + e.message());
        job.LastUploadFlag = kFailed;
    } catch (const std::exception& e) {
        logger.Log(CLogWriter::LogError,
                   QStringLiteral("UNEXPECTED_ERROR : ") + QString::fromUtf8(e.what()));
        job.LastUploadFlag = kFailed;
    }
    if (archive)
        ArchiveBuilder::Cleanup(*archive);
    HandBack(block, logger);
}

TaskBlock RunUploadAndWait(const UploadJob& job, int jobIndex, const std::atomic<int>& stopFlag,
                           CLogWriter& logger, UserNotifier* notifier, const Clock& clock,
                           std::shared_ptr<TaskProgress> progress) {
    class Waiter : public TaskResultSink {
    public:
        void taskFinished(TaskBlock finished) override {
            std::lock_guard lock(mutex);
            block = std::move(finished);
            done = true;
            ready.notify_all();
        }
        std::mutex mutex;
        std::condition_variable ready;
        bool done = false;
        TaskBlock block;
    } waiter;

    TaskBlock block;
    block.stopFlag = &stopFlag;
    block.sink = &waiter;
    block.job = job;
    block.jobIndex = jobIndex;
    block.kind = TaskBlock::UploadRun;
    block.startTime = clock.localTime();
    block.logger = &logger;
    block.progress = std::move(progress);
    std::thread worker(RunUploadTask, std::move(block), notifier, std::cref(clock));
    {
        std::unique_lock lock(waiter.mutex);
        waiter.ready.wait(lock, [&] { return waiter.done; });
    }
    worker.join();
    return waiter.block;
}
