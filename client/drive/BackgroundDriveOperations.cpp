#include "BackgroundDriveOperations.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "CLogWriter.h"

namespace {

// One worker taking the requests in turn. Never destroyed: nobody waits for
// a mount at exit.
class DriveQueue {
public:
    static DriveQueue& process() {
        static auto* queue = new DriveQueue;
        return *queue;
    }

    std::future<void> post(std::function<void()> request) {
        std::packaged_task<void()> task(std::move(request));
        std::future<void> done = task.get_future();
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(std::move(task));
        }
        wake_.notify_one();
        return done;
    }

private:
    DriveQueue() : worker_([this] { run(); }) {}

    [[noreturn]] void run() {
        for (;;) {
            std::packaged_task<void()> task;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return !requests_.empty(); });
                task = std::move(requests_.front());
                requests_.pop_front();
            }
            // An exception ends up in the request's future, never here.
            task();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::packaged_task<void()>> requests_;
    std::thread worker_;
};

}  // namespace

BackgroundDriveOperations::BackgroundDriveOperations(QString configPath,
                                                     QString programSettingsPath,
                                                     CLogWriter& logger)
    : configPath_(std::move(configPath)),
      programSettingsPath_(std::move(programSettingsPath)),
      direct_(CreateDriveOperations(configPath_, programSettingsPath_, logger)) {}

std::future<void> BackgroundDriveOperations::post(
    std::function<void(DriveOperations&)> operation) const {
    // The request owns everything it uses: the caller may be gone by its turn.
    return DriveQueue::process().post(
        [config = configPath_, program = programSettingsPath_, operation = std::move(operation)] {
            CLogWriter logger(config);
            const std::unique_ptr<DriveOperations> drive =
                CreateDriveOperations(config, program, logger);
            operation(*drive);
        });
}

bool BackgroundDriveOperations::StoreDriveCredentials() {
    storePending_ = true;
    return true;
}

void BackgroundDriveOperations::ConnectDrive() {
    post([store = std::exchange(storePending_, false)](DriveOperations& drive) {
        if (store)
            drive.StoreDriveCredentials();
        drive.ConnectDrive();
    });
}

void BackgroundDriveOperations::DisconnectDrive() {
    post([](DriveOperations& drive) { drive.DisconnectDrive(); }).wait();
}

bool BackgroundDriveOperations::DriveAnswers() {
    bool answers = false;
    post([&answers](DriveOperations& drive) { answers = drive.DriveAnswers(); }).wait();
    return answers;
}

bool BackgroundDriveOperations::LetterInUse(const QString& letter) {
    return direct_->LetterInUse(letter);
}
