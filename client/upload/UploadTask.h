#pragma once

#include "SystemTime.h"
#include "TaskBlock.h"

class UserNotifier;

// The worker of one upload run: builds the archive of a compressed job,
// runs the upload, moves handled files when the job asks for it, and hands
// the block to its sink. Any error that escapes the run is logged and the
// run ends as failed; the program goes on.
void RunUploadTask(TaskBlock block, UserNotifier* notifier = nullptr,
                   const Clock& clock = Clock::system());

// Runs one job on a worker thread and waits for its block: what tests,
// benchmarks and tools use without a tray window. With a progress record the
// run reports into it.
TaskBlock RunUploadAndWait(const UploadJob& job, int jobIndex, const std::atomic<int>& stopFlag,
                           CLogWriter& logger, UserNotifier* notifier = nullptr,
                           const Clock& clock = Clock::system(),
                           std::shared_ptr<TaskProgress> progress = nullptr);
