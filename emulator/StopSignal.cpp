#include "StopSignal.h"

void StopSignal::stop() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    wake_.notify_all();
}

bool StopSignal::stopped() const {
    std::lock_guard lock(mutex_);
    return stopped_;
}

bool StopSignal::waitFor(std::chrono::milliseconds duration) {
    std::unique_lock lock(mutex_);
    return !wake_.wait_for(lock, duration, [this] { return stopped_; });
}
