#pragma once

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

// The client's one run of the update procedure, on a worker of its own
// beside the tray. Its owner stops it before anything the worker uses is
// destroyed: the run is cancelled (a transfer ends at its next progress
// call, at least once a second) and the worker waited for.
class ClientUpdate {
public:
    // Long enough for the steps that cannot be cancelled: unpacking a
    // package and the wait (at most 10 s) for the add-on companion to end.
    static constexpr std::chrono::milliseconds kStopWait{15000};

    ClientUpdate() = default;
    // stop(); a worker that still runs then ends the process at once
    // (std::_Exit): nothing it uses may be destroyed under it.
    ~ClientUpdate();
    ClientUpdate(const ClientUpdate&) = delete;
    ClientUpdate& operator=(const ClientUpdate&) = delete;

    // Starts the run; once per object.
    void start();
    // Cancels the run and waits for the worker up to wait. True when no
    // worker runs any more (it has been joined, or was never started).
    bool stop(std::chrono::milliseconds wait = kStopWait);

private:
    std::atomic<bool> cancel_{false};
    std::promise<void> ended_;
    std::future<void> done_ = ended_.get_future();
    bool started_ = false;
    std::thread worker_;
};
