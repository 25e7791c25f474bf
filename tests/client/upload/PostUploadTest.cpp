#include "PostUpload.h"

#include "NativeFs.h"
#include "TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using Tree = std::map<QString, QByteArray>;  // relative path -> content; folders end in "/"

// A clock whose local wall-clock parts are those of a chosen UTC second, so
// the limit of DeleteOldFiles can be put on any second whatever the zone.
class WallClock : public Clock {
public:
    qint64 wallSeconds = 0;
    QDateTime now() const override {
        const QDateTime utc = QDateTime::fromSecsSinceEpoch(wallSeconds, QTimeZone::utc());
        return QDateTime(utc.date(), utc.time());
    }
};

void PutFile(const QString& path, const QByteArray& data) {
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(f.write(data), data.size());
}

QByteArray Content(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
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
            out[rel] = Content(path);
    }
    return out;
}

qint64 Birth(const QString& path) {
    const auto born = PostUpload::BirthTime(QFile::encodeName(path));
    EXPECT_TRUE(born.has_value()) << path.toStdString();
    return born.value_or(0);
}

// Waits until a new file is born in a later second than path (at most a
// second or so): gives two generations of files that the limit can part.
void WaitForNextBirthSecond(const QString& dir, const QString& path) {
    const qint64 first = Birth(path);
    const QString probe = dir + "/.probe";
    for (int i = 0; i < 300; ++i) {
        PutFile(probe, "p");
        const qint64 b = Birth(probe);
        QFile::remove(probe);
        if (b > first)
            return;
        QThread::msleep(10);
    }
    FAIL() << "clock did not move";
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
    WallClock clock;

    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        ASSERT_TRUE(QDir().mkpath(hot));
        job.HotFolder = hot;
        job.EvacuationFolder = evac;
        job.ErrorFolder = error;
        job.EvacuationEnable = true;
    }
    QString in(const QString& rel) const { return hot + "/" + rel; }
    // Files and folders as the run lists them: pre-order, folders first.
    void put(const QString& rel, const QByteArray& data) { PutFile(in(rel), data); }
};

TEST(MirrorPathTest, OnlyTheLeadingHotFolderIsReplaced) {
    using PostUpload::MirrorPath;
    EXPECT_EQ(MirrorPath("/in/a/b.txt", "/in", "/done"), "/done/a/b.txt");
    EXPECT_EQ(MirrorPath("/in/a/b.txt", "/in/", "/done/"), "/done/a/b.txt");
    EXPECT_EQ(MirrorPath("/in", "/in", "/done"), "/done");
    EXPECT_EQ(MirrorPath("/data/x/data/y", "/data", "/done"), "/done/x/data/y");
    EXPECT_EQ(MirrorPath("/data2/x", "/data", "/done"), "/data2/x");
    EXPECT_EQ(MirrorPath("/other/data/x", "/data", "/done"), "/other/data/x");
    EXPECT_EQ(MirrorPath("/In/a", "/in", "/done"), "/In/a");
    EXPECT_EQ(MirrorPath("/a/b", "/", "/done"), "/done/a/b");
    EXPECT_EQ(MirrorPath("/in/a", "/in", "/"), "/a");
    EXPECT_EQ(MirrorPath("/in/a", "", "/done"), "/in/a");
}

TEST_F(PostUploadTest, EverythingSucceededLeavesAnEmptyHotFolderAndTheTreeInTheEvacuationFolder) {
    put("a.txt", "A");
    put(".hidden", "H");
    put("sub/b.txt", "B");
    put("sub/deep/c.txt", "C");
    ASSERT_TRUE(QDir().mkpath(in("emptydir")));
    const Tree before = ReadTree(hot);
    tally.successList = {in(".hidden"),   in("a.txt"),    in("emptydir"),      in("sub"),
                         in("sub/b.txt"), in("sub/deep"), in("sub/deep/c.txt")};

    PostUpload::AfterRun(job, tally, false, true, config, clock);

    EXPECT_TRUE(ReadTree(hot).empty());
    EXPECT_TRUE(QFileInfo(hot).isDir()) << "the hot folder itself stays";
    EXPECT_EQ(ReadTree(evac), before);
    EXPECT_FALSE(QFileInfo::exists(error));
}

TEST_F(PostUploadTest, FailedFilesGoToTheErrorFolderAndSkippedFilesStay) {
    put("ok.txt", "ok");
    put("sub/failed.txt", "bad");
    put("sub/skipped.txt", "same as before");
    put("gone/failed2.txt", "bad2");
    tally.successList = {in("ok.txt"), in("sub")};
    tally.failureList = {in("sub/failed.txt"), in("gone"), in("gone/failed2.txt")};

    PostUpload::AfterRun(job, tally, false, false, config, clock);

    EXPECT_EQ(ReadTree(hot), (Tree{{"sub/", ""}, {"sub/skipped.txt", "same as before"}}));
    EXPECT_EQ(ReadTree(evac), (Tree{{"ok.txt", "ok"}, {"sub/", ""}}));
    EXPECT_EQ(
        ReadTree(error),
        (Tree{
            {"gone/", ""}, {"gone/failed2.txt", "bad2"}, {"sub/", ""}, {"sub/failed.txt", "bad"}}));
}

TEST_F(PostUploadTest, HotFolderTextInsideAPathLandsAtTheMirrorOfTheLeadingPartOnly) {
    // hot + "/x" + hot + "/y.txt": a replace-all would give evac/x<evac>/y.txt.
    const QString rel = "x" + hot + "/y.txt";
    put(rel, "nested");
    tally.successList = {in(rel)};
    PostUpload::MoveListed(tally.successList, hot, evac);
    EXPECT_EQ(Content(evac + "/" + rel), "nested");
    EXPECT_FALSE(QFileInfo::exists(evac + "/x" + evac + "/y.txt"));
    EXPECT_FALSE(QFileInfo::exists(in(rel)));
}

TEST_F(PostUploadTest, MovedFileIsANewCopyThatReplacesTheTargetAndKeepsItsTimeAndMode) {
    put("a.txt", "new content");
    ASSERT_EQ(chmod(QFile::encodeName(in("a.txt")).constData(), 0640), 0);
    const QDateTime mtime(QDate(2020, 1, 2), QTime(3, 4, 5));
    {
        QFile f(in("a.txt"));
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(f.setFileTime(mtime, QFileDevice::FileModificationTime));
    }
    struct stat source;
    ASSERT_EQ(stat(QFile::encodeName(in("a.txt")).constData(), &source), 0);
    PutFile(evac + "/a.txt", "old content that is longer");

    PostUpload::MoveListed({in("a.txt")}, hot, evac);

    EXPECT_FALSE(QFileInfo::exists(in("a.txt")));
    EXPECT_EQ(Content(evac + "/a.txt"), "new content");
    struct stat moved;
    ASSERT_EQ(stat(QFile::encodeName(evac + "/a.txt").constData(), &moved), 0);
    // A new inode: copied, not renamed, so its birth is the time of the move.
    EXPECT_NE(moved.st_ino, source.st_ino);
    EXPECT_EQ(moved.st_mode & 0777, 0640u);
    EXPECT_EQ(QFileInfo(evac + "/a.txt").lastModified(), mtime);
    EXPECT_EQ(ReadTree(evac).size(), 1u) << "no temporary copy is left behind";
}

TEST_F(PostUploadTest, FailedCopyKeepsTheSource) {
    put("a.txt", "A");
    put("sub/b.txt", "B");
    put("c.txt", "C");
    // The target folder is a file, and the mirror of c.txt a folder.
    PutFile(root.path() + "/blocked", "a file, not a folder");
    PostUpload::MoveListed({in("a.txt"), in("sub"), in("sub/b.txt")}, hot,
                           root.path() + "/blocked");
    EXPECT_EQ(Content(in("a.txt")), "A");
    EXPECT_EQ(Content(in("sub/b.txt")), "B");
    EXPECT_EQ(Content(root.path() + "/blocked"), "a file, not a folder");

    ASSERT_TRUE(QDir().mkpath(evac + "/c.txt"));
    PostUpload::MoveListed({in("c.txt")}, hot, evac);
    EXPECT_EQ(Content(in("c.txt")), "C");
    EXPECT_EQ(ReadTree(evac), (Tree{{"c.txt/", ""}}));

    PostUpload::MoveTree(hot, root.path() + "/blocked");
    EXPECT_EQ(ReadTree(hot),
              (Tree{{"a.txt", "A"}, {"c.txt", "C"}, {"sub/", ""}, {"sub/b.txt", "B"}}));
}

TEST_F(PostUploadTest, PathsOutsideTheHotFolderAndUnusableTargetsAreLeftAlone) {
    const QString outside = root.path() + "/outside.txt";
    PutFile(outside, "O");
    put("a.txt", "A");
    PostUpload::MoveListed({outside}, hot, evac);
    PostUpload::MoveListed({in("a.txt")}, hot, QString());
    PostUpload::MoveListed({in("a.txt")}, hot, "relative/target");
    EXPECT_EQ(Content(outside), "O");
    EXPECT_EQ(Content(in("a.txt")), "A");
    EXPECT_FALSE(QFileInfo::exists(evac));
}

TEST_F(PostUploadTest, CompressedRunMovesTheWholeTreeByOutcome) {
    put("a.txt", "A");
    put("s/.b", "B");
    ASSERT_TRUE(QDir().mkpath(in("s/empty")));
    const Tree before = ReadTree(hot);
    PostUpload::AfterRun(job, tally, true, true, config, clock);
    EXPECT_TRUE(ReadTree(hot).empty());
    EXPECT_TRUE(QFileInfo(hot).isDir());
    EXPECT_EQ(ReadTree(evac), before);

    put("later.txt", "L");
    PostUpload::AfterRun(job, tally, true, false, config, clock);
    EXPECT_TRUE(ReadTree(hot).empty());
    EXPECT_EQ(ReadTree(error), (Tree{{"later.txt", "L"}}));
}

TEST_F(PostUploadTest, MoveTreeWithoutTargetRemovesOnlyEmptySubFolders) {
    put("keep/a.txt", "A");
    ASSERT_TRUE(QDir().mkpath(in("e1/e2/e3")));
    ASSERT_TRUE(QDir().mkpath(in("keep/empty")));
    PostUpload::MoveTree(hot, QString());
    EXPECT_EQ(ReadTree(hot), (Tree{{"keep/", ""}, {"keep/a.txt", "A"}}));
}

TEST_F(PostUploadTest, TargetInsideTheHotFolderIsNotMovedIntoItself) {
    put("a.txt", "A");
    put("done/old.txt", "O");
    PostUpload::MoveTree(hot, in("done"));
    EXPECT_EQ(ReadTree(hot), (Tree{{"done/", ""}, {"done/a.txt", "A"}, {"done/old.txt", "O"}}));
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
    EXPECT_EQ(Content(inHot + "/a.txt"), "A");
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
                        [&](const QString& p) { return Content(p + "/" + rel) == rel.toUtf8(); }))
                        << rel.toStdString() << " lost; evacuation " << evacTarget.toStdString()
                        << ", error " << errorTarget.toStdString() << ", mode " << mode;
                }
            }
        }
    }
}

TEST_F(PostUploadTest, SpecialFilesAndFolderLinksStayWithoutHanging) {
    put("a.txt", "A");
    ASSERT_EQ(mkfifo(QFile::encodeName(in("pipe")).constData(), 0600), 0);
    ASSERT_EQ(symlink("..", QFile::encodeName(in("loop")).constData()), 0);
    PostUpload::MoveTree(hot, evac);
    PostUpload::MoveListed({in("pipe")}, hot, evac);
    EXPECT_EQ(ReadTree(evac), (Tree{{"a.txt", "A"}}));
    EXPECT_TRUE(QFileInfo::exists(in("pipe")));
    EXPECT_TRUE(QFileInfo(in("loop")).isSymLink());
}

TEST_F(PostUploadTest, EvacuationOffDoesNothing) {
    put("a.txt", "A");
    PutFile(evac + "/old.txt", "O");
    job.EvacuationEnable = false;
    job.Delete7DaysEnable = true;
    tally.successList = {in("a.txt")};
    clock.wallSeconds = Birth(evac + "/old.txt") + 32400 + 30 * 86400;
    PostUpload::AfterRun(job, tally, false, true, config, clock);
    PostUpload::AfterRun(job, tally, true, true, config, clock);
    EXPECT_EQ(Content(in("a.txt")), "A");
    EXPECT_EQ(Content(evac + "/old.txt"), "O");
}

TEST_F(PostUploadTest, DeleteDaysZeroDeletesFilesBornAtLeastNineHoursBeforeTheWallClock) {
    PutFile(evac + "/a.txt", "A");
    PutFile(evac + "/sub/b.txt", "B");
    const qint64 first = std::min(Birth(evac + "/a.txt"), Birth(evac + "/sub/b.txt"));
    const qint64 last = std::max(Birth(evac + "/a.txt"), Birth(evac + "/sub/b.txt"));

    clock.wallSeconds = first + 32400 - 1;
    // sub still holds b.txt: the walk ends there and says so.
    EXPECT_FALSE(PostUpload::DeleteOldFiles(evac, true, 0, clock));
    EXPECT_EQ(ReadTree(evac).size(), 3u);

    clock.wallSeconds = last + 32400;  // at the limit counts as old
    EXPECT_TRUE(PostUpload::DeleteOldFiles(evac, true, 0, clock));
    EXPECT_TRUE(ReadTree(evac).empty());
    EXPECT_TRUE(QFileInfo(evac).isDir()) << "only old files: the folder itself stays";
}

TEST_F(PostUploadTest, DeleteDaysIsReadFromTheSettingsAtTheTimeOfTheRun) {
    job.Delete7DaysEnable = true;
    PutFile(evac + "/a.txt", "A");
    const qint64 born = Birth(evac + "/a.txt");

    // Default of seven days.
    clock.wallSeconds = born + 32400 + 7 * 86400 - 1;
    PostUpload::AfterRun(job, tally, false, true, config, clock);
    EXPECT_TRUE(QFileInfo::exists(evac + "/a.txt"));
    clock.wallSeconds = born + 32400 + 7 * 86400;
    PostUpload::AfterRun(job, tally, false, true, config, clock);
    EXPECT_FALSE(QFileInfo::exists(evac + "/a.txt"));

    // A negative count is no number: the default, not "at once".
    PutFile(evac + "/n.txt", "N");
    PutFile(config, "[Config]\nDeleteDays=-1\n");
    clock.wallSeconds = Birth(evac + "/n.txt") + 32400 + 7 * 86400 - 1;
    PostUpload::AfterRun(job, tally, false, true, config, clock);
    EXPECT_TRUE(QFileInfo::exists(evac + "/n.txt"));

    PutFile(evac + "/b.txt", "B");
    PutFile(config, "[Config]\nDeleteDays=2\n");
    clock.wallSeconds = Birth(evac + "/b.txt") + 32400 + 2 * 86400 - 1;
    PostUpload::AfterRun(job, tally, false, true, config, clock);
    EXPECT_TRUE(QFileInfo::exists(evac + "/b.txt"));
    clock.wallSeconds += 1;
    PostUpload::AfterRun(job, tally, false, true, config, clock);
    EXPECT_FALSE(QFileInfo::exists(evac + "/b.txt"));
}

TEST_F(PostUploadTest, SubFolderWithNewFilesEndsTheWalkUntilALaterRun) {
    PutFile(evac + "/0_old.txt", "old");
    PutFile(evac + "/b_old.txt", "old");
    PutFile(evac + "/a_empty/x/.keep-me-not", "old");
    WaitForNextBirthSecond(evac, evac + "/b_old.txt");
    PutFile(evac + "/a_sub/new.txt", "new");
    const qint64 oldBirth = Birth(evac + "/b_old.txt");
    const qint64 newBirth = Birth(evac + "/a_sub/new.txt");
    ASSERT_LT(oldBirth, newBirth);

    clock.wallSeconds = oldBirth + 32400;
    EXPECT_FALSE(PostUpload::DeleteOldFiles(evac, true, 0, clock));
    // Byte order: 0_old.txt, a_empty, a_sub (ends the walk), b_old.txt.
    EXPECT_EQ(ReadTree(evac),
              (Tree{{"a_sub/", ""}, {"a_sub/new.txt", "new"}, {"b_old.txt", "old"}}));

    clock.wallSeconds = newBirth + 32400;
    EXPECT_TRUE(PostUpload::DeleteOldFiles(evac, true, 0, clock));
    EXPECT_TRUE(ReadTree(evac).empty());
}

TEST_F(PostUploadTest, DeletingEverythingRemovesTheFolderItself) {
    PutFile(evac + "/a/b/c.txt", "C");
    PutFile(evac + "/d.txt", "D");
    ASSERT_EQ(
        symlink(QFile::encodeName(hot).constData(), QFile::encodeName(evac + "/link").constData()),
        0);
    put("kept.txt", "K");
    EXPECT_TRUE(PostUpload::DeleteOldFiles(evac, false, 7, clock));
    EXPECT_FALSE(QFileInfo::exists(evac));
    EXPECT_EQ(Content(in("kept.txt")), "K") << "links are removed, not followed";

    EXPECT_FALSE(PostUpload::DeleteOldFiles(QString(), false, 0, clock));
    EXPECT_FALSE(PostUpload::DeleteOldFiles(evac, false, 0, clock)) << "a missing folder";
}

TEST_F(PostUploadTest, BirthTimeIsTheCreationOfTheFile) {
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    put("a.txt", "A");
    const qint64 born = Birth(in("a.txt"));
    EXPECT_GE(born, before - 1);
    EXPECT_LE(born, QDateTime::currentSecsSinceEpoch() + 1);
    const QDateTime reported = QFileInfo(in("a.txt")).birthTime();
    if (reported.isValid()) {
        EXPECT_EQ(born, reported.toSecsSinceEpoch());
    }
    EXPECT_FALSE(PostUpload::BirthTime(QFile::encodeName(in("missing"))).has_value());
}

}  // namespace

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
        clock.wallSeconds = Birth(in("sub/b.txt")) + 32400 + 30 * 86400;
        PostUpload::AfterRun(job, tally, false, true, config, clock);
        EXPECT_EQ(Content(in("a.txt")), "A") << target.toStdString();
        EXPECT_EQ(Content(in("sub/b.txt")), "B") << target.toStdString();
    }
    // Beside the hot folder the old file is gone: the walk itself still works.
    EXPECT_FALSE(QFileInfo::exists(root.path() + "/old.txt"));
}
