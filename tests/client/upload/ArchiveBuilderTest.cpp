#include "ArchiveBuilder.h"

#include "CLogWriter.h"
#include "EventLog.h"
#include "UploadTestFiles.h"
#include "UserNotifier.h"

#include <QThread>

#include <zip.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>

#include <sys/xattr.h>

namespace {

using Contents = std::map<std::string, std::string>;  // name -> data; folders end in "/"

class RecordingNotifier : public UserNotifier {
public:
    QStringList shown;
    void showWarning(const QString& text) override { shown << text; }
};

// Everything in the archive, read back with libzip.
Contents ReadArchive(const QString& path) {
    int error = 0;
    zip_t* za = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
    if (!za)
        return {{"<unreadable>", std::to_string(error)}};
    Contents out;
    const zip_int64_t n = zip_get_num_entries(za, 0);
    for (zip_int64_t i = 0; i < n; ++i) {
        const char* name = zip_get_name(za, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
        std::string data;
        zip_file_t* f = zip_fopen_index(za, static_cast<zip_uint64_t>(i), 0);
        if (f) {
            char buffer[65536];
            zip_int64_t got;
            while ((got = zip_fread(f, buffer, sizeof buffer)) > 0)
                data.append(buffer, static_cast<size_t>(got));
            zip_fclose(f);
        }
        out[name] = data;
    }
    zip_close(za);
    return out;
}

QStringList WorkFolders(const QString& tmp) {
    return QDir(tmp).entryList({QStringLiteral("tv2*")},
                               QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

QString Line(int level, const QString& text) {
    return QStringLiteral("%1:%2").arg(CLogWriter::eventType(level)).arg(text);
}
const QString kZ0002 = Line(CLogWriter::LogError, "Z0002: Zipファイルの作成に失敗しました。");
const QString kZ0003 =
    Line(CLogWriter::LogWarning, "Z0003: アップロード対象ファイルがありません。");

// Messages of the event store as "<type>:<text>", oldest first.
QStringList Logged() {
    QStringList out;
    const auto events = EventLog(EventLog::defaultStorePath()).readNewestFirst();
    for (auto it = events.rbegin(); it != events.rend(); ++it)
        out << QStringLiteral("%1:%2").arg(it->type).arg(it->message);
    return out;
}

bool SetTemporaryAttribute(const QByteArray& path) {
    const char value[] = "0x100";
    return setxattr(path.constData(), "user.DOSATTRIB", value, sizeof value, 0) == 0;
}

class ArchiveBuilderTest : public ::testing::Test {
protected:
    TempDataHome home;
    QTemporaryDir tmp;
    EnvGuard tmpGuard{"TMPDIR", QFile::encodeName(tmp.path()).constData()};
    QTemporaryDir hotDir;
    QByteArray hot = QFile::encodeName(hotDir.path());
    CLogWriter logger{home.file(QStringLiteral("QuillonConfig.ini"))};
    RecordingNotifier notifier;
    UploadJob job;

    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        ASSERT_TRUE(hotDir.isValid());
        job.HotFolder = hotDir.path();
        job.CompressionEnable = true;
        job.CompressionFilename = QStringLiteral("backup");
    }
    QByteArray at(const QByteArray& relative) const { return hot + '/' + relative; }
    void put(const QByteArray& relative, const QByteArray& data) { PutFile(at(relative), data); }
    void folder(const QByteArray& relative) {
        ASSERT_TRUE(QDir().mkpath(QFile::decodeName(at(relative))));
    }
};

// Relative paths, hidden files, empty folders and names that are not UTF-8
// keep their bytes; a link to a file is archived as its content, while links to
// folders, dangling links and pipes are left out.
TEST_F(ArchiveBuilderTest, ArchiveHoldsExactlyTheTreeAndCleanupRemovesOnlyItsWorkFolder) {
    const QByteArray text = QByteArray("compressible line of text\n").repeated(4000);
    const QByteArray odd("odd\xff\xfe name\twith\nbreaks");
    put("a.txt", text);
    put(".hidden", "dot file");
    put(odd, "x");
    folder("sub/.config");
    put("sub/b.bin", QByteArray("\x00\x01\x02\xff", 4));
    put("sub/.config/c", "");
    folder("empty");
    folder("sub/deeper/leaf");
    ASSERT_EQ(symlink("../a.txt", at("sub/file-link").constData()), 0);
    ASSERT_EQ(symlink("..", at("sub/loop").constData()), 0);
    ASSERT_EQ(symlink("/nonexistent/target", at("dangling").constData()), 0);
    ASSERT_EQ(mkfifo(at("pipe").constData(), 0600), 0);
    SetMtime(QFile::decodeName(at("empty")), 1580000000);

    const auto archive = ArchiveBuilder::BuildArchive(job, logger, &notifier);
    ASSERT_TRUE(archive.has_value());
    EXPECT_EQ(QStringList({archive->path, archive->name}),
              QStringList({archive->workFolder + "/backup.zip", "backup.zip"}));
    // A "tv2" folder of its own in the temporary folder.
    EXPECT_EQ(WorkFolders(tmp.path()), QStringList{QFileInfo(archive->workFolder).fileName()});

    const Contents expected{
        {".hidden", "dot file"},
        {"a.txt", text.toStdString()},
        {"empty/", ""},
        {odd.toStdString(), "x"},
        {"sub/", ""},
        {"sub/.config/", ""},
        {"sub/.config/c", ""},
        {"sub/b.bin", std::string("\x00\x01\x02\xff", 4)},
        {"sub/deeper/", ""},
        {"sub/deeper/leaf/", ""},
        {"sub/file-link", text.toStdString()},
    };
    EXPECT_EQ(ReadArchive(archive->path), expected);
    // Folders keep their dates, as files do.
    zip_t* za = zip_open(QFile::encodeName(archive->path).constData(), ZIP_RDONLY, nullptr);
    zip_stat_t entry;
    ASSERT_TRUE(za && zip_stat(za, "empty/", 0, &entry) == 0);
    EXPECT_EQ(entry.mtime, 1580000000);
    zip_close(za);
    EXPECT_LT(QFileInfo(archive->path).size(), text.size() / 4) << "text is compressed";
    EXPECT_TRUE(notifier.shown.isEmpty());
    EXPECT_TRUE(Logged().isEmpty()) << Logged().join('\n').toStdString();

    PutFile(QFile::encodeName(archive->workFolder + "/zipdir/extra"), "left by someone");
    ArchiveBuilder::Cleanup(*archive);
    EXPECT_TRUE(WorkFolders(tmp.path()).isEmpty());
    EXPECT_TRUE(QFileInfo::exists(QFile::decodeName(at("a.txt"))));
    // A work folder this class did not name is never removed.
    QDir().mkpath(tmp.path() + "/other");
    ArchiveBuilder::Cleanup({QString(), QString(), tmp.path() + "/other"});
    EXPECT_TRUE(QFileInfo(tmp.path() + "/other").isDir());
}

// A folder with the temporary attribute is left out with all it holds (files
// with it: FailedBuildsLogTheirCodesAndLeaveNothing), and so is the work
// folder when the hot folder holds the temporary folder.
TEST_F(ArchiveBuilderTest, TemporaryFoldersAndTheWorkFolderAreLeftOut) {
    put("keep.txt", "keep");
    put("tempdir/inside.txt", "inside a temporary folder");
    put("sub/kept.txt", "kept");
    folder("tmp");
    EnvGuard inside("TMPDIR", at("tmp").constData());
    if (!SetTemporaryAttribute(at("tempdir")))
        GTEST_SKIP() << "this file system refuses user extended attributes";

    const auto archive = ArchiveBuilder::BuildArchive(job, logger, &notifier);
    ASSERT_TRUE(archive.has_value());
    EXPECT_TRUE(archive->workFolder.startsWith(QFile::decodeName(at("tmp/tv2"))));
    EXPECT_EQ(
        ReadArchive(archive->path),
        (Contents{{"keep.txt", "keep"}, {"sub/", ""}, {"sub/kept.txt", "kept"}, {"tmp/", ""}}));
    EXPECT_TRUE(QFileInfo::exists(QFile::decodeName(at("tempdir/inside.txt"))));
    EXPECT_TRUE(Logged().isEmpty());
    ArchiveBuilder::Cleanup(*archive);
}

// Each failed build logs its codes and leaves no work folder behind.
TEST_F(ArchiveBuilderTest, FailedBuildsLogTheirCodesAndLeaveNothing) {
    QStringList logged;
    auto failsWith = [&](const QStringList& lines) {
        EXPECT_FALSE(ArchiveBuilder::BuildArchive(job, logger, &notifier).has_value());
        EXPECT_EQ(Logged(), logged << lines);
        const QStringList left = WorkFolders(QFile::decodeName(qgetenv("TMPDIR")));
        EXPECT_TRUE(left.isEmpty()) << left.join(' ').toStdString();
    };
    // Nothing to archive: only empty folders, or no hot folder at all.
    folder("a/b/c");
    folder(".hidden-empty");
    failsWith({kZ0003});
    job.HotFolder = hotDir.path() + "/does-not-exist";
    failsWith({kZ0003});

    // An archive name that would leave the work folder.
    job.HotFolder = hotDir.path();
    put("scratch.tmp", "temporary");
    job.CompressionFilename = QStringLiteral("../escape");
    failsWith({kZ0002});
    EXPECT_FALSE(QFileInfo::exists(tmp.path() + "/escape.zip"));
    job.CompressionFilename = QStringLiteral("backup");

    // A sub-folder that cannot be read fails the archive rather than leaving
    // its files out (root reads it all the same).
    if (geteuid() != 0) {
        put("locked/secret.txt", "s");
        ASSERT_EQ(chmod(at("locked").constData(), 0), 0);
        failsWith({kZ0002});
        chmod(at("locked").constData(), 0700);
        QDir(QFile::decodeName(at("locked"))).removeRecursively();
    }

    // Only files with the temporary attribute.
    if (!SetTemporaryAttribute(at("scratch.tmp")))
        GTEST_SKIP() << "this file system refuses user extended attributes";
    failsWith({kZ0003});

    // A copy that fails: a long temporary folder name makes the copy's path,
    // not the source's, exceed the system's path limit.
    QString longTmp = tmp.path();
    while (longTmp.size() < 3000)
        longTmp += "/" + QString(200, QLatin1Char('t'));
    ASSERT_TRUE(QDir().mkpath(longTmp));
    EnvGuard deep("TMPDIR", QFile::encodeName(longTmp).constData());
    QByteArray rel;
    for (const char c : {'a', 'b', 'c', 'd', 'e'})
        rel += QByteArray(250, c) + '/';
    rel += "file.txt";
    put(rel, "deep");
    failsWith({Line(CLogWriter::LogError, "Z0001: Zipファイルの作成に失敗しました。"), kZ0002});
    EXPECT_TRUE(QFileInfo::exists(QFile::decodeName(at(rel))));
}

TEST_F(ArchiveBuilderTest, MissingTemporaryFolderIsReportedAndTheProgramFolderUsed) {
    put("a.txt", "a");
    EnvGuard missing("TMPDIR", QFile::encodeName(tmp.path() + "/no-such-folder").constData());
    const auto archive = ArchiveBuilder::BuildArchive(job, logger, &notifier);
    EXPECT_EQ(notifier.shown, QStringList{"テンポラリディレクトリ名が取得できませんでした"});
    ASSERT_TRUE(archive.has_value());
    EXPECT_EQ(QFileInfo(archive->workFolder).absolutePath(),
              QFileInfo(QFileInfo("/proc/self/exe").symLinkTarget()).absolutePath());
    EXPECT_EQ(ReadArchive(archive->path), (Contents{{"a.txt", "a"}}));
    ArchiveBuilder::Cleanup(*archive);
    EXPECT_FALSE(QFileInfo::exists(archive->workFolder));

    // Without a notifier nothing is shown, and the archive is still made.
    const auto quiet = ArchiveBuilder::BuildArchive(job, logger, nullptr);
    ASSERT_TRUE(quiet.has_value());
    ArchiveBuilder::Cleanup(*quiet);
}

// A build names its work folder, then waits for the archive lock before
// building anything in it.
TEST_F(ArchiveBuilderTest, BuildWaitsForTheArchiveLock) {
    put("f", QByteArray(5000, 'a'));
    std::atomic<bool> finished{false};
    std::optional<ArchiveBuilder::Archive> built;
    std::thread worker;
    {
        QMutexLocker held(&ArchiveBuilder::ArchiveLock());
        worker = std::thread([&] {
            CLogWriter log(home.file(QStringLiteral("QuillonConfig.ini")));
            built = ArchiveBuilder::BuildArchive(job, log, nullptr);
            finished = true;
        });
        for (int spin = 0; spin < 3000 && WorkFolders(tmp.path()).isEmpty(); ++spin)
            QThread::msleep(10);
        // Give it room to run ahead, were it not held.
        QThread::msleep(300);
        EXPECT_FALSE(finished.load());
        const QStringList work = WorkFolders(tmp.path());
        EXPECT_EQ(work.size(), 1);
        EXPECT_FALSE(QFileInfo::exists(tmp.path() + "/" + work.value(0) + "/backup.zip"));
    }
    worker.join();
    ASSERT_TRUE(built.has_value());
    EXPECT_EQ(ReadArchive(built->path), (Contents{{"f", std::string(5000, 'a')}}));
    ArchiveBuilder::Cleanup(*built);
}

}  // namespace
