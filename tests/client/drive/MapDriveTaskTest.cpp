// The mapping task's rounds with the drive operations behind their interface.
#include "MapDriveTask.h"

#include <QStringList>

#include <gtest/gtest.h>

namespace {

// Stands for the mount tool, answering from a given round on, and receives
// the task's block.
struct ScriptedDrive : DriveOperations, TaskResultSink {
    bool StoreDriveCredentials() override {
        calls << QStringLiteral("store");
        return true;
    }
    void ConnectDrive() override {
        calls << QStringLiteral("connect");
        ++connects;
    }
    void DisconnectDrive() override { calls << QStringLiteral("disconnect"); }
    bool DriveAnswers() override { return answerFromRound > 0 && connects >= answerFromRound; }
    bool LetterInUse(const QString&) override { return false; }
    void taskFinished(TaskBlock block) override { blocks.push_back(std::move(block)); }

    int answerFromRound = 0;  // 0: never
    int connects = 0;
    QStringList calls;
    std::vector<TaskBlock> blocks;
};

TEST(MapDriveTaskTest, RoundsUntilTheDriveAnswersOrAStop) {
    const struct {
        const char* name;
        int answerFromRound;
        int stopInWaitOfRound;  // 0: no stop; -1: stopped before the task
        int connects;
        int result;
    } cases[] = {
        {"answers at once", 1, 0, 1, 1},
        {"never answers", 0, 0, 30, 0},
        {"interrupted during the first wait", 0, 1, 1, 0},
        {"interrupted, but the drive answered in that round", 3, 3, 3, 1},
        {"interrupted before the start", 1, -1, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedDrive drive;
        drive.answerFromRound = c.answerFromRound;
        std::atomic<int> stop{c.stopInWaitOfRound == -1 ? 1 : 0};
        TaskBlock block;
        block.stopFlag = &stop;
        block.sink = &drive;
        std::vector<int> waits;
        MapDriveTask(std::move(block), drive, [&](int ms, const std::atomic<int>*) {
            waits.push_back(ms);
            if (drive.connects == c.stopInWaitOfRound)
                stop = 1;
        });
        ASSERT_EQ(drive.blocks.size(), 1u);
        EXPECT_EQ(std::tuple(drive.blocks[0].kind, drive.blocks[0].result, drive.connects),
                  std::tuple(TaskBlock::DriveMapping, c.result, c.connects));
        EXPECT_EQ(waits, std::vector<int>(c.connects, 10000));
        // The earlier mapping goes first, then the credentials, then rounds.
        EXPECT_EQ(drive.calls.mid(0, 2), (QStringList{"disconnect", "store"}));
    }
}

}  // namespace
