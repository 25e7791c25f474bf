#include "FileIo.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>

namespace {

// A write that signals keep interrupting before a byte moves gives up (the
// caller's failure path) instead of retrying for as long as they come.
TEST(FileIoTest, EndlesslyInterruptedWriteFails) {
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK), 0);
    const char block[4096] = {};
    while (::write(pipeFds[1], block, sizeof block) > 0) {
    }
    ::fcntl(pipeFds[1], F_SETFL, 0);  // the next write blocks: the pipe is full

    struct sigaction onAlarm {
    }, old{};
    onAlarm.sa_handler = [](int) {};  // no SA_RESTART: the blocked write returns EINTR
    ::sigaction(SIGUSR1, &onAlarm, &old);
    std::atomic<bool> done{false};
    const pthread_t writer = ::pthread_self();
    std::thread pester([&] {
        // Interrupts for a long while, then drains the pipe so that a writer
        // that never gives up still ends, with success the test rejects.
        for (int i = 0; i < 5000 && !done; ++i) {
            ::pthread_kill(writer, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        char sink[4096];
        while (!done)
            if (::read(pipeFds[0], sink, sizeof sink) <= 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    errno = 0;
    const bool written = FileIo::WriteAll(pipeFds[1], "x", 1);
    const int error = errno;
    done = true;
    pester.join();
    ::sigaction(SIGUSR1, &old, nullptr);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    EXPECT_FALSE(written);
    EXPECT_EQ(error, EINTR);
}

}  // namespace
