#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// Shutdown flag that delayed and stalled replies wait on, so SIGTERM ends them at once
// instead of leaving the server's worker threads blocked.
class StopSignal {
public:
    void stop();
    bool stopped() const;
    // Sleeps for the given time; returns false when woken early by stop().
    bool waitFor(std::chrono::milliseconds duration);

private:
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopped_ = false;
};
