#include "AtomicFile.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <random>
#include <thread>

namespace {

TEST(AtomicFileTest, ReplacesContentOrFailsKeepingTheOldFileAndNoTemporaryFile) {
    QTemporaryDir dir;
    const QString path = dir.filePath("data.bin");
    ASSERT_TRUE(AtomicFile::write(path, "first"));
    ASSERT_TRUE(AtomicFile::write(path, ""));
    EXPECT_EQ(fileBytes(path), "");
    QString error;
    EXPECT_FALSE(AtomicFile::write(dir.filePath("no/such/folder/x"), "data", &error));
    EXPECT_FALSE(error.isEmpty());
    // A folder in place of the target: the rename fails, nothing is lost.
    const QString occupied = dir.filePath("occupied");
    ASSERT_TRUE(putFile(occupied + "/keep", "kept"));
    error.clear();
    EXPECT_FALSE(AtomicFile::write(occupied, "data", &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(fileBytes(occupied + "/keep"), "kept");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"data.bin"});
}

TEST(AtomicFileTest, KilledWriterLeavesOldOrNewNeverAMix) {
    QTemporaryDir dir;
    const QString path = dir.filePath("snapshot");
    const QByteArray a(1 << 20, 'a');
    const QByteArray b(1 << 20, 'b');
    ASSERT_TRUE(AtomicFile::write(path, a));
    std::mt19937 rng(42);
    for (int round = 0; round < 20; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 0;; ++i)
                AtomicFile::write(path, (i % 2) ? a : b);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1 + rng() % 15));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        const QByteArray now = fileBytes(path);
        ASSERT_TRUE(now == a || now == b) << "round " << round << ": " << now.size() << " bytes";
    }
}

}  // namespace
