#include "MapDriveTask.h"

#include <chrono>
#include <exception>
#include <thread>

#include "CLogWriter.h"

namespace {

constexpr int kRounds = 30;
constexpr int kRoundWaitMs = 10000;
constexpr int kStepMs = 100;

bool StopRequested(const std::atomic<int>* stopFlag) {
    return stopFlag && stopFlag->load() == 1;
}

}  // namespace

void WaitForDriveRound(int milliseconds, const std::atomic<int>* stopFlag) {
    for (int waited = 0; waited < milliseconds && !StopRequested(stopFlag); waited += kStepMs)
        std::this_thread::sleep_for(
            std::chrono::milliseconds(qMin(kStepMs, milliseconds - waited)));
}

void MapDriveTask(TaskBlock block, DriveOperations& operations, const DriveRoundWait& wait) {
    block.kind = TaskBlock::DriveMapping;
    block.result = 0;
    try {
        operations.DisconnectDrive();
        operations.StoreDriveCredentials();
        for (int round = 0; round < kRounds; ++round) {
            if (StopRequested(block.stopFlag))
                break;
            operations.ConnectDrive();
            wait(kRoundWaitMs, block.stopFlag);
            if (operations.DriveAnswers()) {
                block.result = 1;
                break;
            }
        }
    } catch (const std::exception& e) {
        // A worker thread must never take the program down.
        if (block.logger)
            block.logger->Log(CLogWriter::LogError,
                              QStringLiteral("UNEXPECTED_ERROR : ") + QString::fromUtf8(e.what()));
    }
    if (TaskResultSink* sink = block.sink)
        sink->taskFinished(std::move(block));
}
