#include "ClientUpdate.h"

#include <cstdlib>

#include "CLogWriter.h"
#include "UpdateState.h"

ClientUpdate::~ClientUpdate() {
    if (!stop())
        std::_Exit(EXIT_FAILURE);
}

void ClientUpdate::start() {
    if (started_)
        return;
    started_ = true;
    worker_ = std::thread([this] {
        {
            CLogWriter logger;
            UpdateState state = UpdateState::forClient(&logger);
            state.cancel = &cancel_;
            RunUpdate(state);
        }
        ended_.set_value();
    });
}

bool ClientUpdate::stop(std::chrono::milliseconds wait) {
    if (!worker_.joinable())
        return true;
    cancel_ = true;
    if (done_.wait_for(wait) != std::future_status::ready)
        return false;
    worker_.join();
    return true;
}
