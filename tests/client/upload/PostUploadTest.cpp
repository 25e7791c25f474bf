#include "PostUpload.h"

#include "Fields.h"
#include "NativeFs.h"
#include "UploadTestFiles.h"

#include <QDirIterator>
#include <QThread>
#include <QTimeZone>

#include <algorithm>
#include <map>

namespace {

using Tree = std::map<QString, QByteArray>;  // relative path -> content; folders end in "/"

// A clock whose local wall-clock parts are those of a chosen UTC second, so
// the limit of DeleteOldFiles can be put on any second whatever the zone.
FixedClock Wall(qint64 seconds) {
    const QDateTime utc = QDateTime::fromSecsSinceEpoch(seconds, QTimeZone::utc());
    return FixedClock(QDateTime(utc.date(), utc.time()));
}

Tree ReadTree(const QString& root) {
    Tree out;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString rel = QDir(root).relativeFilePath(path);
        if (it.fileInfo().isDir())
            out[rel + "/"] = QByteArray();
        else
            out[rel] = fileBytes(path);
    }
    return out;
}

qint64 Birth(const QString& path) {
    const auto born = NativeFs::BirthTime(QFile::encodeName(path));
    EXPECT_TRUE(born.has_value()) << path.toStdString();
    return born.value_or(0);
}

class PostUploadTest : public ::testing::Test {
protected:
    TempDataHome home;
    QTemporaryDir root;
    QString hot = root.path() + "/hot";
    QString evac = root.path() + "/done";
    QString error = root.path() + "/error";
    QString config = home.file("QuillonConfig.ini");
    UploadJob job;
    UploadTally tally;
    FixedClock clock = Wall(0);

    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        ASSERT_TRUE(QDir().mkpath(hot));
        job.HotFolder = hot;
        job.EvacuationFolder = evac;
        job.ErrorFolder = error;
        job.EvacuationEnable = true;
    }
    QString in(const QString& rel) const { return hot + "/" + rel; }
    void put(const QString& rel, const QByteArray& data) { PutFile(in(rel), data); }
    // Runs AfterRun with the clock set days and nine hours after path was born.
    void runDaysAfter(const QString& path, int days, int plusSeconds = 0) {
        clock = Wall(Birth(path) + 32400 + days * 86400 + plusSeconds);
        PostUpload::AfterRun(job, tally, false, true, config, clock);
    }
};

TEST(MirrorPathTest, OnlyTheLeadingHotFolderIsReplaced) {
    const struct {
        const char *path, *hot, *target, *mirror;
    } cases[] = {{"/in/a/b.txt", "/in", "/done", "/done/a/b.txt"},
                 {"/in/a/b.txt", "/in/", "/done/", "/done/a/b.txt"},
                 {"/in", "/in", "/done", "/done"},
                 {"/data/x/data/y", "/data", "/done", "/done/x/data/y"},
                 {"/data2/x", "/data", "/done", "/data2/x"},
                 {"/other/data/x", "/data", "/done", "/other/data/x"},
                 {"/In/a", "/in", "/done", "/In/a"},
                 {"/a/b", "/", "/done", "/done/a/b"},
                 {"/in/a", "/in", "/", "/a"},
                 {"/in/a", "", "/done", "/in/a"}};
    for (const auto& c : cases)
        EXPECT_EQ(PostUpload::MirrorPath(c.path, c.hot, c.target), c.mirror) << c.path << c.hot;
}

// Succeeded entries (hidden files and empty folders too) go to the evacuation
// folder, failed ones to the error folder, skipped ones stay.
TEST_F(PostUploadTest, ListedRunMovesEachEntryByItsOutcome) {
    put("ok.txt", "ok");
    put(".hidden", "H");
    ASSERT_TRUE(QDir().mkpath(in("emptydir")));
    put("sub/failed.txt", "bad");
    put("sub/skipped.txt", "same as before");
    put("sub/deep/c.txt", "C");
    put("gone/failed2.txt", "bad2");
    tally.successList = {in(".hidden"), in("emptydir"), in("ok.txt"),
                         in("sub"),     in("sub/deep"), in("sub/deep/c.txt")};
    tally.failureList = {in("sub/failed.txt"), in("gone"), in("gone/failed2.txt")};

    PostUpload::AfterRun(job, tally, false, false, config, clock);

    EXPECT_EQ(ReadTree(hot), (Tree{{"sub/", ""}, {"sub/skipped.txt", "same as before"}}));
    EXPECT_EQ(ReadTree(evac), (Tree{{".hidden", "H"},
                                    {"emptydir/", ""},
                                    {"ok.txt", "ok"},
                                    {"sub/", ""},
                                    {"sub/deep/", ""},
                                    {"sub/deep/c.txt", "C"}}));
    EXPECT_EQ(
        ReadTree(error),
        (Tree{
            {"gone/", ""}, {"gone/failed2.txt", "bad2"}, {"sub/", ""}, {"sub/failed.txt", "bad"}}));
}

TEST_F(PostUploadTest, CompressedRunMovesTheWholeTree) {
    put("a.txt", "A");
    put("s/.b", "B");
    ASSERT_TRUE(QDir().mkpath(in("s/empty")));
    const Tree before = ReadTree(hot);
    PostUpload::AfterRun(job, tally, true, true, config, clock);
    EXPECT_TRUE(ReadTree(hot).empty());
    EXPECT_TRUE(QFileInfo(hot).isDir()) << "the hot folder itself stays";
    EXPECT_EQ(ReadTree(evac), before);

    put("later.txt", "L");
    PostUpload::AfterRun(job, tally, true, false, config, clock);
    EXPECT_TRUE(ReadTree(hot).empty());
    EXPECT_EQ(ReadTree(error), (Tree{{"later.txt", "L"}}));

    // Without a target only empty sub-folders go, nested ones included (a
    // target inside the hot folder: NoFileOfTheHotFolderIsLostWhateverTheTargetsAre).
    put("keep/a.txt", "A");
    ASSERT_TRUE(QDir().mkpath(in("e1/e2/e3")));
    ASSERT_TRUE(QDir().mkpath(in("keep/empty")));
    PostUpload::MoveTree(hot, QString());
    EXPECT_EQ(ReadTree(hot), (Tree{{"keep/", ""}, {"keep/a.txt", "A"}}));
}

TEST_F(PostUploadTest, MovedFileIsANewCopyThatReplacesTheTargetAndKeepsItsTimeAndMode) {
    put("a.txt", "new content");
    ASSERT_EQ(chmod(QFile::encodeName(in("a.txt")).constData(), 0640), 0);
    SetMtime(in("a.txt"), 1577934245);
    struct stat source, moved;
    ASSERT_EQ(stat(QFile::encodeName(in("a.txt")).constData(), &source), 0);
    PutFile(evac + "/a.txt", "old content that is longer");

    PostUpload::MoveListed({in("a.txt")}, hot, evac);

    EXPECT_FALSE(QFileInfo::exists(in("a.txt")));
    // No temporary copy is left behind.
    EXPECT_EQ(ReadTree(evac), (Tree{{"a.txt", "new content"}}));
    ASSERT_EQ(stat(QFile::encodeName(evac + "/a.txt").constData(), &moved), 0);
    // A new inode: copied, not renamed, so its birth is the time of the move.
    EXPECT_NE(moved.st_ino, source.st_ino);
    EXPECT_EQ(moved.st_mode & 0777, 0640u);
    EXPECT_EQ(QFileInfo(evac + "/a.txt").lastModified().toSecsSinceEpoch(), 1577934245);
}

// Whatever cannot be moved stays where it was: a copy that fails, paths outside
// the hot folder, unusable targets, special files and links to folders.
TEST_F(PostUploadTest, WhatCannotBeMovedStays) {
    put("a.txt", "A");
    put("sub/b.txt", "B");
    put("c.txt", "C");
    const QString outside = root.path() + "/outside.txt";
    PutFile(outside, "O");
    // The target folder is a file, and the mirror of c.txt a folder.
    const QString blocked = root.path() + "/blocked";
    PutFile(blocked, "a file, not a folder");
    PostUpload::MoveListed({in("a.txt"), in("sub"), in("sub/b.txt")}, hot, blocked);
    PostUpload::MoveTree(hot, blocked);
    PostUpload::MoveListed({outside}, hot, evac);
    PostUpload::MoveListed({in("a.txt")}, hot, "relative/target");
    EXPECT_FALSE(QFileInfo::exists(evac));
    ASSERT_TRUE(QDir().mkpath(evac + "/c.txt"));
    PostUpload::MoveListed({in("c.txt")}, hot, evac);
    EXPECT_EQ(ReadTree(hot),
              (Tree{{"a.txt", "A"}, {"c.txt", "C"}, {"sub/", ""}, {"sub/b.txt", "B"}}));
    EXPECT_EQ(fileBytes(blocked), "a file, not a folder");
    EXPECT_EQ(fileBytes(outside), "O");
    EXPECT_EQ(ReadTree(evac), (Tree{{"c.txt/", ""}}));

    QDir(evac).removeRecursively();
    ASSERT_EQ(mkfifo(QFile::encodeName(in("pipe")).constData(), 0600), 0);
    ASSERT_EQ(symlink("..", QFile::encodeName(in("loop")).constData()), 0);
    PostUpload::MoveTree(hot, evac);
    PostUpload::MoveListed({in("pipe")}, hot, evac);
    EXPECT_EQ(ReadTree(evac),
              (Tree{{"a.txt", "A"}, {"c.txt", "C"}, {"sub/", ""}, {"sub/b.txt", "B"}}));
    EXPECT_TRUE(QFileInfo::exists(in("pipe")));
    EXPECT_TRUE(QFileInfo(in("loop")).isSymLink());
}

// Every combination of targets that lead back into the hot folder: nothing of
// it may be lost, whether moved, left or refused.
TEST_F(PostUploadTest, NoFileOfTheHotFolderIsLostWhateverTheTargetsAre) {
    const QString data = root.path() + "/data";
    const QString inHot = data + "/in";
    const QString link = root.path() + "/link";
    const QStringList targets = {inHot,         inHot + "/.",        inHot + "/../in",  link,
                                 link + "/",    inHot + "/done",     inHot + "/./done", data,
                                 inHot + "/..", root.path() + "/out"};
    // "in/a.txt" mirrors onto "a.txt" when the target is the hot folder's parent.
    const QStringList files = {"a.txt", "sub/b.txt", "in/a.txt", "in/c.txt", "done/d.txt"};
    ASSERT_EQ(symlink(QFile::encodeName(inHot).constData(), QFile::encodeName(link).constData()),
              0);
    // A copy onto the source itself fails and keeps it.
    PutFile(inHot + "/a.txt", "A");
    EXPECT_FALSE(NativeFs::MoveFile(QFile::encodeName(inHot + "/a.txt"),
                                    QFile::encodeName(link + "/./a.txt")));
    EXPECT_EQ(fileBytes(inHot + "/a.txt"), "A");
    for (const QString& evacTarget : targets) {
        for (const QString& errorTarget : targets) {
            for (int mode = 0; mode < 3; ++mode) {
                QDir(data).removeRecursively();
                QDir(root.path() + "/out").removeRecursively();
                for (const QString& rel : files)
                    PutFile(inHot + "/" + rel, rel.toUtf8());
                job.HotFolder = inHot;
                job.EvacuationFolder = evacTarget;
                job.ErrorFolder = errorTarget;
                tally.successList = {inHot + "/a.txt", inHot + "/in", inHot + "/in/a.txt",
                                     inHot + "/sub", inHot + "/sub/b.txt"};
                tally.failureList = {inHot + "/done", inHot + "/done/d.txt", inHot + "/in/c.txt"};
                // Listed moves, then a compressed run that succeeded and one that failed.
                PostUpload::AfterRun(job, tally, mode > 0, mode == 1, config, clock);
                const QStringList places = {inHot, QFileInfo(evacTarget).canonicalFilePath(),
                                            QFileInfo(errorTarget).canonicalFilePath()};
                for (const QString& rel : files) {
                    EXPECT_TRUE(std::any_of(
                        places.begin(), places.end(),
                        [&](const QString& p) { return fileBytes(p + "/" + rel) == rel.toUtf8(); }))
                        << rel.toStdString() << " lost; evacuation " << evacTarget.toStdString()
                        << ", error " << errorTarget.toStdString() << ", mode " << mode;
                }
            }
        }
    }
}

// Old files go (at the limit counts as old); a sub-folder still holding a new
// file ends the walk until a later run, in byte order of the names.
TEST_F(PostUploadTest, DeleteOldFilesStopsAtTheFirstFolderWithNewFiles) {
    PutFile(evac + "/0_old.txt", "old");
    PutFile(evac + "/b_old.txt", "old");
    PutFile(evac + "/a_empty/x/.keep-me-not", "old");
    const qint64 births[] = {Birth(evac + "/0_old.txt"), Birth(evac + "/b_old.txt"),
                             Birth(evac + "/a_empty/x/.keep-me-not")};
    const qint64 oldBirth = *std::max_element(std::begin(births), std::end(births));
    // A new file born in a later second than the old ones.
    const QString fresh = evac + "/a_sub/new.txt";
    PutFile(fresh, "new");
    for (int i = 0; i < 300 && Birth(fresh) <= oldBirth; ++i) {
        QThread::msleep(10);
        QFile::remove(fresh);
        PutFile(fresh, "new");
    }
    const qint64 newBirth = Birth(fresh);
    ASSERT_LT(oldBirth, newBirth);
    // The birth time is the creation of the file, not its last status change.
    const QDateTime reported = QFileInfo(fresh).birthTime();
    if (reported.isValid()) {
        EXPECT_EQ(newBirth, reported.toSecsSinceEpoch());
        ASSERT_TRUE(QFile::setPermissions(evac + "/0_old.txt", QFile::ReadOwner));
    }
    EXPECT_FALSE(NativeFs::BirthTime(QFile::encodeName(evac + "/missing")).has_value());

    // A second before the limit: DeleteDaysIsReadFromTheSettingsAtTheTimeOfTheRun.
    clock = Wall(oldBirth + 32400);
    EXPECT_FALSE(PostUpload::DeleteOldFiles(evac, true, 0, clock));
    EXPECT_EQ(ReadTree(evac),
              (Tree{{"a_sub/", ""}, {"a_sub/new.txt", "new"}, {"b_old.txt", "old"}}));
    clock = Wall(newBirth + 32400);
    EXPECT_TRUE(PostUpload::DeleteOldFiles(evac, true, 0, clock));
    EXPECT_TRUE(ReadTree(evac).empty());
    EXPECT_TRUE(QFileInfo(evac).isDir()) << "only old files: the folder itself stays";

    // Deleting everything removes the folder itself.
    PutFile(evac + "/a/b/c.txt", "C");
    PutFile(evac + "/d.txt", "D");
    ASSERT_EQ(
        symlink(QFile::encodeName(hot).constData(), QFile::encodeName(evac + "/link").constData()),
        0);
    put("kept.txt", "K");
    EXPECT_TRUE(PostUpload::DeleteOldFiles(evac, false, 7, clock));
    EXPECT_FALSE(QFileInfo::exists(evac));
    EXPECT_EQ(fileBytes(in("kept.txt")), "K") << "links are removed, not followed";

    EXPECT_FALSE(PostUpload::DeleteOldFiles(QString(), false, 0, clock));
    EXPECT_FALSE(PostUpload::DeleteOldFiles(evac, false, 0, clock)) << "a missing folder";
}

TEST_F(PostUploadTest, DeleteDaysIsReadFromTheSettingsAtTheTimeOfTheRun) {
    job.Delete7DaysEnable = true;
    // Seven days by default; a negative count is no number: the default, not "at once".
    const struct {
        const char* settings;
        int days;
    } cases[] = {{"", 7}, {"[Config]\nDeleteDays=-1\n", 7}, {"[Config]\nDeleteDays=2\n", 2}};
    for (const auto& c : cases) {
        PutFile(config, c.settings);
        PutFile(evac + "/a.txt", "A");
        runDaysAfter(evac + "/a.txt", c.days, -1);
        EXPECT_TRUE(QFileInfo::exists(evac + "/a.txt")) << c.settings;
        runDaysAfter(evac + "/a.txt", c.days);
        EXPECT_FALSE(QFileInfo::exists(evac + "/a.txt")) << c.settings;
    }
    // With evacuation off nothing is moved or deleted.
    put("a.txt", "A");
    PutFile(evac + "/old.txt", "O");
    job.EvacuationEnable = false;
    tally.successList = {in("a.txt")};
    runDaysAfter(evac + "/old.txt", 30);
    PostUpload::AfterRun(job, tally, true, true, config, clock);
    EXPECT_EQ(fileBytes(in("a.txt")), "A");
    EXPECT_EQ(fileBytes(evac + "/old.txt"), "O");
}

// The deletion of old evacuated files walks the evacuation folder; when that is
// the hot folder, or holds it, the files still to be sent must survive it.
TEST_F(PostUploadTest, DeletingOldFilesNeverReachesIntoTheHotFolder) {
    const QString link = root.path() + "/link";
    ASSERT_EQ(symlink(QFile::encodeName(hot).constData(), QFile::encodeName(link).constData()), 0);
    job.Delete7DaysEnable = true;
    // The links come first: a walk of their parent deletes them as old entries.
    for (const QString& target : {hot, hot + "/.", link, link + "/..", root.path(), hot + "/.."}) {
        put("a.txt", "A");
        put("sub/b.txt", "B");
        PutFile(root.path() + "/old.txt", "O");
        job.EvacuationFolder = target;
        runDaysAfter(in("sub/b.txt"), 30);
        EXPECT_EQ(fileBytes(in("a.txt")), "A") << target.toStdString();
        EXPECT_EQ(fileBytes(in("sub/b.txt")), "B") << target.toStdString();
    }
    // Beside the hot folder the old file is gone: the walk itself still works.
    EXPECT_FALSE(QFileInfo::exists(root.path() + "/old.txt"));
}

}  // namespace
