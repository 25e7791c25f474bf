#pragma once

#include <QString>
#include <QtGlobal>

#include <atomic>
#include <memory>
#include <optional>

#include "SystemTime.h"
#include "TaskProgress.h"
#include "UploadJob.h"

class CLogWriter;
struct GuestShareRequest;
class TaskResultSink;

// What a background task needs and what it reports back: handed to the task
// when it starts and handed back, whole, when it ends.
struct TaskBlock {
    enum Kind { UploadRun = 0, DriveMapping = 1, GuestShareCheck = 2 };

    // The tray's stop request; a task stops at its next entry when it reads 1.
    const std::atomic<int>* stopFlag = nullptr;
    // Receives the block when the task ends.
    TaskResultSink* sink = nullptr;
    // The run's own copy of its job; none for the drive mapping and the check.
    std::optional<UploadJob> job;
    int jobIndex = 0;
    // A guest share run's copy of its request; none for every other task.
    std::shared_ptr<const GuestShareRequest> guestRequest;
    // Set by a guest share run that succeeded: where guests download the files.
    QString shareDownloadUrl;
    // Set by an upload run: 0 when it found nothing to upload.
    int filesFlag = 0;
    // Set by an upload run whose checks got no answer from the service: why,
    // one line for the user.
    QString failureReason;
    // 1 success, 0 failure, where the task sets it.
    int result = 0;
    Kind kind = UploadRun;
    // When the task was started. Two tasks may share it (same clock tick,
    // a clock set back), so it does not identify the task.
    SystemTime startTime;
    // Identifies the task among all that its window started: the window
    // matches the block that comes back with what it started by this number
    // alone. Never 0 for a started task.
    quint64 taskId = 0;
    CLogWriter* logger = nullptr;
    // Where an upload run reports what it is doing; none: it reports nothing.
    std::shared_ptr<TaskProgress> progress;
};

// The receiver of finished tasks. A task calls taskFinished exactly once, from
// its own thread, as its last action; the receiver must take the block
// whatever it is doing (a result is never dropped) and hand it on to its own
// thread. The tray window implements it with a queued call.
class TaskResultSink {
public:
    virtual ~TaskResultSink() = default;
    virtual void taskFinished(TaskBlock block) = 0;
};

// Hands the block to its sink between the debug lines the upload and share
// tasks write around it; the logger comes apart as the block is moved away.
void HandBack(TaskBlock& block, CLogWriter& logger);
