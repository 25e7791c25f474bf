#include "SingleInstanceLock.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include "TestSupport.h"

namespace {

TEST(SingleInstanceLockTest, SecondHolderFailsUntilTheFirstProcessEnds) {
    TempDataHome home;
    const QString folder = home.productFolder();
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SingleInstanceLock lock(folder, QStringLiteral("TORVAL2 クライアントツール"));
        const char c = lock.acquired() ? '1' : '0';
        (void)::write(ready[1], &c, 1);
        ::pause();
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, '1');
    {
        SingleInstanceLock second(folder, QStringLiteral("TORVAL2 クライアントツール"));
        EXPECT_EQ(second.state(), SingleInstanceLock::HeldElsewhere);
        SingleInstanceLock other(folder, QStringLiteral("another program"));
        EXPECT_TRUE(other.acquired());
    }
    // Killed, not ended cleanly: the lock is released all the same.
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    SingleInstanceLock third(folder, QStringLiteral("TORVAL2 クライアントツール"));
    EXPECT_TRUE(third.acquired());
}

}  // namespace
