// Snapshot files, the tree walk, exclusion, lookup and rotation, on real
// files in temporary folders.
#include "LocalSnapshot.h"

#include "DosAttributes.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <chrono>
#include <climits>
#include <random>

#include "CLogWriter.h"
#include "LocalAppData.h"
#include "UploadTestFiles.h"

using namespace LocalSnapshot;

namespace {

// The UTF-16 code units of text as they lie in memory: little-endian here.
QByteArray utf16le(const QString& text) {
    return QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
}

const QByteArray kBom("\xFF\xFE", 2);

QStringList readLines(const QString& path) {
    Reader r(path);
    QStringList lines;
    QString line;
    while (r.next(line))
        lines.append(line);
    return lines;
}

void writeSnapshot(const QString& path, const QStringList& lines) {
    Writer w(path);
    ASSERT_TRUE(w.isOpen());
    for (const QString& l : lines)
        ASSERT_TRUE(w.write(l));
    ASSERT_TRUE(w.close());
}

QString fileLine(const QString& path, quint64 size, qint32 time) {
    return QStringLiteral("1\t%1\t%2\t%3").arg(path).arg(size).arg(time);
}

QStringList sorted(QStringList list) {
    list.sort();
    return list;
}

class SnapshotTest : public ::testing::Test {
protected:
    TempDataHome home;
    QTemporaryDir tmp;
    QString hot = tmp.filePath(QStringLiteral("hot"));
    UploadTally tally;
    Names names = MakeNames(tmp.path(), "job", "sess");
    CLogWriter logger;

    void SetUp() override { ASSERT_TRUE(tmp.isValid() && QDir().mkpath(hot)); }
    QString at(const QString& rel) const { return hot + QLatin1Char('/') + rel; }
    QByteArray native(const QString& rel) const { return QFile::encodeName(at(rel)); }
    void makeFile(const QString& rel, const QByteArray& bytes = "x") { PutFile(at(rel), bytes); }
    QString snap() const { return tmp.filePath(QStringLiteral("current.csv")); }
    QString previous() const { return tmp.filePath(QStringLiteral("previous.csv")); }
    // Fields first..last of every line of the snapshot.
    QStringList snapFields(int first, int last) const {
        QStringList out;
        for (const QString& l : readLines(snap()))
            out.append(l.section(QLatin1Char('\t'), first, last));
        return out;
    }
};

TEST(SnapshotTimeTest, AddsNineHoursAndWrapsToThirtyTwoBits) {
    // 2100-01-01: past 2038 the field wraps like the 32-bit value on disk.
    const std::pair<qint64, qint32> cases[] = {{-32400, 0},
                                               {INT_MAX - 32400, INT_MAX},
                                               {INT_MAX - 32400 + 1ll, INT_MIN},
                                               {4102444800, -192490096}};
    for (const auto& [seconds, field] : cases)
        EXPECT_EQ(SnapshotTime(seconds), field) << seconds;
}

// A trailing "/" on the hot folder is not doubled in the lines.
TEST_F(SnapshotTest, SmallTreeGivesExactBytes) {
    makeFile(QStringLiteral("sub/日本語 b.txt"), "abc");
    SetMtime(at(QStringLiteral("sub/日本語 b.txt")), 1700000000);
    SetMtime(at(QStringLiteral("sub")), 1600000000);
    ASSERT_TRUE(WriteSnapshot(snap(), hot + QStringLiteral("/"), tally));
    EXPECT_EQ(fileBytes(snap()), kBom + utf16le(QStringLiteral("0\t%1/sub\t0\t1600032400\r\n"
                                                               "1\t%1/sub/日本語 b.txt\t3\t"
                                                               "1700032400\r\n")
                                                    .arg(hot)));
    EXPECT_EQ(tally.counters, (UploadCounters{.foldersTotal = 1, .filesTotal = 1, .sizeTotal = 3}));
    EXPECT_TRUE(tally.failureList.isEmpty());
}

TEST_F(SnapshotTest, WalkIsPreOrder) {
    for (const char* f : {"a/x", "a/y/z", "a/y/w", "b", "c/d/e/f", "c/g"})
        makeFile(QString::fromUtf8(f));
    ASSERT_TRUE(WriteSnapshot(snap(), hot, tally));
    // Lines as such: SmallTreeGivesExactBytes.
    const QStringList paths = snapFields(1, 1);
    ASSERT_EQ(paths.size(), 11);
    // Every folder is followed at once by the whole of its contents.
    for (qsizetype i = 0; i < paths.size(); ++i) {
        const QString prefix = paths[i] + QLatin1Char('/');
        const auto inside = std::count_if(paths.begin(), paths.end(),
                                          [&](const QString& p) { return p.startsWith(prefix); });
        for (qsizetype k = 1; k <= inside; ++k)
            EXPECT_TRUE(paths.value(i + k).startsWith(prefix)) << paths[i].toStdString();
    }
    EXPECT_EQ(tally.counters, (UploadCounters{.foldersTotal = 5, .filesTotal = 6, .sizeTotal = 6}));
}

// A missing hot folder, a snapshot that cannot be created and a tree counted
// without a snapshot.
TEST_F(SnapshotTest, TreesThatGiveNoLinesAreStillCounted) {
    ASSERT_TRUE(WriteSnapshot(snap(), tmp.filePath(QStringLiteral("gone")), tally));
    EXPECT_EQ(fileBytes(snap()), kBom);
    EXPECT_EQ(tally.counters, UploadCounters{});

    makeFile(QStringLiteral("d/f"), "1234");
    EXPECT_FALSE(WriteSnapshot(tmp.filePath(QStringLiteral("no/such/current.csv")), hot, tally));
    EXPECT_EQ(tally.failureList, (QStringList{at(QStringLiteral("d")), at(QStringLiteral("d/f"))}));
    EXPECT_EQ(tally.counters,
              (UploadCounters{.filesTotal = 1, .sizeTotal = 4, .failed = 1, .failedSize = 4}));

    makeFile(QStringLiteral("g"), "5");
    UploadTally success;
    TallyTree(hot, true, success);
    EXPECT_EQ(sorted(success.successList), (QStringList{at("d"), at("d/f"), at("g")}));
    EXPECT_TRUE(success.failureList.isEmpty());
    EXPECT_EQ(
        success.counters,
        (UploadCounters{.filesTotal = 2, .sizeTotal = 5, .succeeded = 2, .succeededSize = 5}));
}

// Names that cannot stand in a line, link loops and special files neither hang
// nor get a line; a link to a file stands for the file it points to.
TEST_F(SnapshotTest, EntriesTheWalkCannotWriteOrMustNotFollowFailWithoutALine) {
    makeFile(QStringLiteral("tab\there"), "22");
    makeFile(QStringLiteral("new\nline"), "333");
    makeFile(QStringLiteral("bad\tdir/inner"), "4444");
    // A name that is not UTF-8.
    PutFile(QFile::encodeName(hot) + "/caf\xE9", "55555");
    makeFile(QStringLiteral("a/real.txt"), "123456");
    for (const auto& [target, link] : {std::pair{"..", "a/up"},
                                       {"self", "self"},
                                       {"nowhere", "dangling"},
                                       {"a/real.txt", "tofile"}})
        ASSERT_EQ(::symlink(target, native(link).constData()), 0);
    ASSERT_EQ(::mkfifo(native("pipe").constData(), 0644), 0);

    ASSERT_TRUE(WriteSnapshot(snap(), hot, tally));
    EXPECT_EQ(sorted(snapFields(0, 2)),
              (QStringList{"0\t" + at("a") + "\t0", "1\t" + at("a/real.txt") + "\t6",
                           "1\t" + at("tofile") + "\t6"}));
    // The name that is not UTF-8 fails too, whatever its decoded text.
    QStringList failed = sorted(tally.failureList);
    EXPECT_EQ(failed.removeIf([](const QString& p) { return p.contains("/caf"); }), 1);
    EXPECT_EQ(failed, sorted({at("a/up"), at("bad\tdir"), at("bad\tdir/inner"), at("dangling"),
                              at("new\nline"), at("pipe"), at("self"), at("tab\there")}));
    // Failed entries count with the size of their own status.
    EXPECT_EQ(
        tally.counters,
        (UploadCounters{
            .foldersTotal = 2, .filesTotal = 10, .sizeTotal = 39, .failed = 8, .failedSize = 27}));
}

TEST(ParseEntryTest, BuildsRemotePathNameAndParent) {
    // Only one trailing "/" of the destination goes; a hot folder with one is
    // the same folder. Fields after the fourth are not read.
    const struct {
        const char *line, *hot, *dest, *remote, *parent, *name;
    } cases[] = {
        {"1\t/data/a/b.txt\t12\t-5", "/data", "/backup/", "/backup/a/b.txt", "/backup/a", "b.txt"},
        {"0\t/data/a\t0\t1", "/data/", "/backup//", "/backup//a", "/backup/", "a"},
        {"1\t/a.txt\t1\t1", "/", "/x", "/x/a.txt", "/x", "a.txt"},
        {"1\t/a/b\t1\t1", "/", "/", "/a/b", "/a", "b"},
        {"1\t/a.txt\t1\t1\textra", "/", "/", "/a.txt", "", "a.txt"},
        {"1\t/h/f\t18446744073709551615\t-2147483648", "/h", "/", "/f", "", "f"},
        {"1\t/h/f\t4294967297\t2147483647", "/h", "/", "/f", "", "f"},
    };
    for (const auto& c : cases) {
        const QString line = QString::fromUtf8(c.line);
        const auto e = ParseEntry(line, QString::fromUtf8(c.hot), QString::fromUtf8(c.dest));
        ASSERT_TRUE(e) << c.line;
        EXPECT_EQ(QStringList({e->remotePath, e->parent, e->name}).join('|'),
                  QStringLiteral("%1|%2|%3").arg(c.remote, c.parent, c.name));
        EXPECT_EQ(QStringList({e->type, e->localPath, QString::number(e->size),
                               QString::number(e->time), e->isFolder() ? "0" : "1"})
                      .join('\t'),
                  line.section('\t', 0, 3) + '\t' + e->type);
    }
}

TEST(ParseEntryTest, RefusesLinesThatAreNotEntries) {
    // A NUL would cut the path short when it reaches the file system.
    QStringList bad;
    for (const char* line :
         {"", "1", "1\t/hot/a", "1\t/hot/a\t1", "2\t/hot/a\t1\t1", "01\t/hot/a\t1\t1",
          "\t/hot/a\t1\t1", "1\t/other/a\t1\t1", "1\t/hotx/a\t1\t1", "1\t/hot\t1\t1",
          "1\t/hot/\t1\t1", "1\t/hot//a\t1\t1", "1\t/hot/../etc/passwd\t1\t1", "1\t/hot/./a\t1\t1",
          "1\t/hot/a/..\t1\t1", "1\thot/a\t1\t1"})
        bad << QString::fromUtf8(line);
    bad << QStringLiteral("1\t/hot/a") + QChar(0) + QStringLiteral("b\t1\t1");
    // Number fields are strict.
    for (const char* size : {"", "12a", "-1", "+5", " 12", "12 ", "0x10", "１２",
                             "18446744073709551616", "99999999999999999999999"})
        bad << QStringLiteral("1\t/hot/f\t%1\t1").arg(QString::fromUtf8(size));
    for (const char* time : {"", "x", "2147483648", "-2147483649", "--1", "1.5", "-"})
        bad << QStringLiteral("1\t/hot/f\t1\t%1").arg(QString::fromUtf8(time));
    for (const QString& line : bad)
        EXPECT_FALSE(ParseEntry(line, "/hot", "/d")) << line.toStdString();
}

TEST_F(SnapshotTest, PreviousLookupFirstLineWinsAndTheTypeIsPartOfTheKey) {
    writeSnapshot(previous(),
                  {"1\t/h/a\t1",  // three fields
                   "1\t/h/a\t1\tnot-a-time", fileLine("/h/a", 10, 100), fileLine("/h/a", 10, 101),
                   "0\t/h/dir\t0\t7", "0\t/h/a\t0\t9", "garbage"});
    const PreviousIndex index(previous());
    const struct {
        const char *type, *path;
        std::optional<qint32> time;
    } lookups[] = {{"1", "/h/a", 100},  {"0", "/h/a", 9},  {"0", "/h/dir", 7},
                   {"1", "/h/dir", {}}, {"2", "/h/a", {}}, {"1", "/h/A", {}}};
    for (const auto& l : lookups)
        EXPECT_EQ(index.find(l.type, l.path), l.time) << l.type << l.path;
    // A folder is never unchanged; for files see UploadRunTest's first case.
    EXPECT_FALSE(IsUnchanged(*ParseEntry("0\t/h/dir\t0\t7", "/h", "/d"), index, false));

    PutFile(previous(), QByteArray());
    // UTF-8 text where UTF-16 is expected: nothing matches.
    PutFile(tmp.filePath("utf8.csv"), "1\t/h/a\t1\t5\r\n1\t/h/b\t1\t5\r\n");
    // The last one is a folder in the previous file's place.
    for (const QString& path :
         {tmp.filePath("missing.csv"), previous(), tmp.filePath("utf8.csv"), tmp.path()})
        EXPECT_FALSE(PreviousIndex(path).find("1", "/h/a")) << path.toStdString();
}

TEST_F(SnapshotTest, WriterUsesBomAndCrLfAndRefusesLineBreaks) {
    const QString path = tmp.filePath("w.csv");
    Writer w(path);
    ASSERT_TRUE(w.isOpen());
    EXPECT_TRUE(w.write("a\tb"));
    EXPECT_FALSE(w.write("c\nd"));
    EXPECT_FALSE(w.write("c\re"));
    EXPECT_TRUE(w.write(QString()));
    EXPECT_TRUE(w.write(QStringLiteral("𠮷")));
    EXPECT_TRUE(w.close());
    EXPECT_EQ(fileBytes(path), kBom + utf16le(QStringLiteral("a\tb\r\n\r\n𠮷\r\n")));
    EXPECT_EQ(readLines(path), (QStringList{"a\tb", "", QStringLiteral("𠮷")}));
    EXPECT_FALSE(Writer(tmp.filePath("no/dir/x.csv")).isOpen());

    // Many lines round trip across buffer boundaries.
    QStringList lines;
    for (int i = 0; i < 60000; ++i)
        lines.append(fileLine(QStringLiteral("/h/フォルダ/%1").arg(i), static_cast<quint64>(i), i));
    writeSnapshot(snap(), lines);
    EXPECT_EQ(readLines(snap()), lines);

    // A full disk, as the file size limit makes it, fails the snapshot.
    bool written = true;
    {
        const FileSizeLimit limit(64 * 1024);
        ASSERT_TRUE(limit.active());
        Writer full(tmp.filePath("full.csv"));
        written = full.isOpen();
        for (const QString& line : lines)
            written = written && full.write(line);
        written = written && full.close();
    }
    EXPECT_FALSE(written);
}

TEST(ReaderTest, BytesReadAsLines) {
    // A lone high surrogate, a lone low one, then half a code unit at the end.
    const char16_t units[] = {u'a', 0xD800, u'b', u'\r', u'\n', 0xDC00, u'c', u'\n'};
    const QByteArray invalid = kBom + utf16le("ok1\r\n") +
                               QByteArray(reinterpret_cast<const char*>(units), sizeof units) +
                               utf16le("ok2\r\n") + "z";
    // Overlong lines are skipped, not loaded; 1 M characters, then the limit.
    const QString limit(64 * 1024, QLatin1Char('k'));
    const QByteArray overlong =
        kBom + utf16le("first\r\n" + QString(1024 * 1024, 'x') + "\r\n" + limit + "\r\n" + limit +
                       "k\r\nafter\r\n" + QString(600 * 1024, 'y'));
    const struct {
        const char* what;
        QByteArray bytes;
        QStringList lines;
    } cases[] = {
        {"LF only, last line without end",
         kBom + utf16le("one\ntwo\r\nthree\rx\nlast"),
         {"one", "two", "three\rx", "last"}},
        {"no BOM: UTF-16LE all the same", utf16le("one\r\n"), {"one"}},
        // 上 is U+4E0A: its low byte is a line feed's.
        {"a character holding a line feed byte",
         kBom + utf16le("売上.xlsx\r\n上"),
         {"売上.xlsx", "上"}},
        {"invalid UTF-16: an empty line and reading goes on", invalid, {"ok1", "", "", "ok2", ""}},
        {"overlong", overlong, {"first", "", limit, "", "after", ""}},
        {"empty", QByteArray(), {}},
        {"BOM only", kBom, {}},
    };
    QTemporaryDir tmp;
    const QString path = tmp.filePath("r.csv");
    for (const auto& c : cases) {
        PutFile(path, c.bytes);
        EXPECT_TRUE(Reader(path).isOpen()) << c.what;
        EXPECT_EQ(readLines(path), c.lines) << c.what;
    }
    // Missing and special files do not open; a pipe nobody writes to must not block.
    ASSERT_EQ(::mkfifo(QFile::encodeName(tmp.filePath("fifo")).constData(), 0644), 0);
    for (const QString& p : {tmp.filePath("missing"), tmp.filePath("fifo"), tmp.path()})
        EXPECT_FALSE(Reader(p).isOpen()) << p.toStdString();
}

TEST_F(SnapshotTest, GoneAndTemporaryEntriesAreExcluded) {
    makeFile("f");
    EXPECT_FALSE(IsExcluded(at("f")));
    QFile::remove(at("f"));
    EXPECT_TRUE(IsExcluded(at("f")));
    EXPECT_TRUE(IsExcluded(QString()));
    EXPECT_TRUE(IsExcluded(at("f") + QChar(0)));
    // A dangling link still has its own status.
    ASSERT_EQ(::symlink("nowhere", native("link").constData()), 0);
    EXPECT_FALSE(IsExcluded(at("link")));

    // The temporary attribute excludes files.
    // The value's forms: DosAttributesTest.
    const std::tuple<const char*, QByteArray, bool> cases[] = {
        {"text", QByteArray("0x120", 6), true}, {"plain", "0x20", false}};
    for (const auto& [name, value, excluded] : cases) {
        makeFile(name);
        if (::setxattr(native(name).constData(), "user.DOSATTRIB", value.constData(),
                       static_cast<size_t>(value.size()), 0) != 0)
            GTEST_SKIP() << "the file system refuses user extended attributes";
        EXPECT_EQ(IsExcluded(at(name)), excluded) << name;
    }
}

// Samba writes the hex text (possibly empty), its NUL, then an NDR record
// (version, level, then the version's info); a bare record occurs too.
TEST(DosAttributesTest, SambaAndNtfsForms) {
    const struct {
        QByteArray value;
        std::optional<quint32> attributes;
    } cases[] = {
        {QByteArray("0x100", 5), 0x100u},
        {QByteArray("0x1a0\0", 6), 0x1A0u},
        {QByteArray("0XFFFFFFFF", 10), 0xFFFFFFFFu},
        {QByteArray("0x", 2), {}},
        {QByteArray("0x1G", 4), {}},
        {QByteArray("0x100000000", 11), {}},
        {QByteArray(), {}},
        {QByteArray("garbage"), {}},
        {QByteArray("\xFF\xFF\xFF\xFF\x00\x01\x00\x00", 8), 0x100u},
        {QByteArray("\x01\x00\x01\x00\x20\x01\x00\x00", 8), 0x120u},
        {QByteArray("\0\0\x01\0\x01\0\0\0\x20\x01\0\0", 12), 0x120u},
        {QByteArray("\x02\x00\x02\x00\xFF\xFF\xFF\xFF\x00\x01\x00\x00", 12), 0x100u},
        {QByteArray("\x04\x00\x04\x00\x01\x00\x00\x00\x20\x00\x00\x00", 12), 0x20u},
        {QByteArray("\x05\x00\x05\x00\x01\x00\x00\x00\x00\x01\x00\x00", 12), 0x100u},
        {QByteArray("\0\0\x05\0\x05\0\0\0\x11\0\0\0\x22\0\0\0", 16), 0x22u},
        // Valid flags without the attribute bit: no attribute word.
        {QByteArray("\x03\x00\x03\x00\x10\x00\x00\x00\x00\x01\x00\x00", 12), {}},
        {QByteArray("\x03\x00\x04\x00\x01\x00\x00\x00\x00\x01\x00\x00", 12), {}},
        {QByteArray("\x03\x00\x03\x00\x01\x00\x00\x00", 8), {}},
        {QByteArray("\0\0\x05\0\x05\0", 6), {}},
        {QByteArray("\x09\x00\x09\x00\x01\x00\x00\x00\x00\x01\x00\x00", 12), {}},
        {QByteArray("\x01\x00\x01\x00\x20", 5), {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DosAttributes::ParseSambaValue(c.value), c.attributes) << c.value.toHex().data();
    // ntfs-3g gives the bare attribute word, little-endian.
    EXPECT_EQ(DosAttributes::ParseNtfsValue(QByteArray("\x20\x00\x00\x80", 4)), 0x80000020u);
    EXPECT_FALSE(DosAttributes::ParseNtfsValue(QByteArray("\x00\x01\x00", 3)));
}

// Trash folders count at the top of a mounted volume only.
TEST(TrashTest, RecycleBinPatternsAndTrashFolders) {
    const std::pair<const char*, bool> bins[] = {{"D:\\$RECYCLE.BIN\\S-1\\x", true},
                                                 {"d:\\recycler\\y", true},
                                                 {"z:\\Recycled\\", true},
                                                 {"C:\\RECYCLED", false},
                                                 {"C:\\data\\RECYCLED\\a", false},
                                                 {"/mnt/$RECYCLE.BIN/a", false},
                                                 {"", false}};
    for (const auto& [path, bin] : bins)
        EXPECT_EQ(IsRecycleBinPath(QString::fromUtf8(path)), bin) << path;
    const std::pair<QString, bool> names[] = {
        {".Trash", true},  {".Trash-1000", true}, {".Trash-", false},  {".Trash-abc", false},
        {".trash", false}, {".Trashes", false},   {".Trash-１", false}};
    for (const auto& [name, trash] : names)
        EXPECT_EQ(IsTrashFolderName(name), trash) << name.toStdString();

    // "/" is always the top of a mounted volume; the trash folder itself is
    // not inside a trash folder.
    EXPECT_TRUE(IsInTrashFolder(QStringLiteral("/.Trash-1000/files/a")));
    EXPECT_FALSE(IsInTrashFolder(QStringLiteral("/.Trash-1000")));
    EXPECT_FALSE(IsInTrashFolder(QStringLiteral("relative/.Trash/a")));

    // A folder so named deeper down is ordinary data.
    QTemporaryDir tmp;
    PutFile(tmp.filePath(".Trash-0/files/a"), "x");
    EXPECT_FALSE(IsExcluded(tmp.filePath(".Trash-0/files/a")));

    // /dev/shm is a mount point of its own on ordinary Linux systems.
    struct stat self, parent;
    if (::stat("/dev/shm", &self) != 0 || ::stat("/dev", &parent) != 0 ||
        self.st_dev == parent.st_dev || ::access("/dev/shm", W_OK) != 0)
        GTEST_SKIP() << "no writable mount point at /dev/shm";
    const QString trash = QStringLiteral("/dev/shm/.Trash-%1").arg(4000000000ll + ::getpid());
    PutFile(trash + "/files/a", "x");
    EXPECT_TRUE(IsExcluded(trash + "/files/a"));
    EXPECT_FALSE(IsExcluded(trash));
    QDir(trash).removeRecursively();
}

TEST_F(SnapshotTest, DrainCountsWhatIsLeft) {
    makeFile("dir/same", "12");
    makeFile("dir/changed", "345");
    makeFile("huge", "6");
    writeSnapshot(previous(), {fileLine(at("dir/same"), 2, 10), fileLine(at("dir/changed"), 3, 10),
                               fileLine(at("huge"), 5000000000ull, 10)});
    const QStringList current = {"0\t" + at("dir") + "\t0\t1",
                                 fileLine(at("dir/same"), 2, 10),
                                 fileLine(at("dir/changed"), 3, 11),
                                 fileLine(at("gone"), 7, 10),
                                 "not a line",
                                 fileLine(at("huge"), 5000000000ull, 10)};
    writeSnapshot(snap(), current);
    const QString resultPath = tmp.filePath("result.csv");
    const PreviousIndex index(previous());
    // With the resend instruction nothing is unchanged.
    for (const bool resend : {false, true}) {
        UploadTally drained;
        {
            Reader reader(snap());
            Writer result(resultPath);
            DrainRemaining(reader, result, index, resend, hot, "/d", drained);
        }
        EXPECT_EQ(drained.failureList,
                  (QStringList{at("dir"), at("dir/same"), at("dir/changed"), at("huge")}));
        const UploadCounters expected =
            resend ? UploadCounters{.interrupted = 3, .interruptedSize = 5000000005ull}
                   : UploadCounters{.skipped = 1,
                                    .skippedSize = 2,
                                    .interrupted = 2,
                                    .interruptedSize = 5000000003ull};
        EXPECT_EQ(drained.counters, expected);
        EXPECT_EQ(readLines(resultPath), resend ? QStringList() : QStringList{current[1]});
    }
}

// The result replaces the previous file and the current one goes; a failure
// is logged with the error number.
TEST_F(SnapshotTest, NamesAndRotation) {
    writeSnapshot(names.previous, {"old"});
    writeSnapshot(names.current, {"cur"});
    EXPECT_FALSE(RotateSnapshots(names, logger));  // no result file
    EXPECT_TRUE(logger.ReadLogText().contains(
        QStringLiteral("差分ファイルの更新に失敗しました。(%1)").arg(ENOENT)));
    EXPECT_EQ(readLines(names.previous), QStringList{"old"});
    EXPECT_TRUE(QFile::exists(names.current));

    writeSnapshot(names.result, {"new1", "new2"});
    const QByteArray resultBytes = fileBytes(names.result);
    EXPECT_TRUE(RotateSnapshots(names, logger));
    EXPECT_EQ(fileBytes(names.previous), resultBytes);
    EXPECT_FALSE(QFile::exists(names.result));
    EXPECT_FALSE(QFile::exists(names.current));

    writeSnapshot(names.result, {"newer"});
    EXPECT_FALSE(RotateSnapshots(names, logger));  // no current file
    EXPECT_TRUE(logger.ReadLogText().contains(
        QStringLiteral("結果ファイルの削除に失敗しました。(%1)").arg(ENOENT)));
    EXPECT_EQ(readLines(names.previous), QStringList{"newer"});

    // Names lie in the work folder.
    EXPECT_EQ(WorkFolder(), home.productFolder() + "/Work");
    const Names n = MakeNames("/w", "123_001_0", "S1");
    EXPECT_EQ(QStringList({n.current, n.result, n.previous}),
              QStringList({"/w/Torval2Quillon_LocalFiles_123_001_0_S1_current.csv",
                           "/w/Torval2Quillon_LocalFiles_123_001_0_S1_result.csv",
                           "/w/Torval2Quillon_LocalFiles_123_001_0_previous.csv"}));
    EXPECT_EQ(MakeNames("/w/", "u", "s").previous, "/w/Torval2Quillon_LocalFiles_u_previous.csv");
}

// A child rotates again and again and is killed at a random moment of a
// cycle; each time the previous file must be one whole generation. The child
// reports its first two rotations: the second measures a cycle however loaded
// the machine is, and the kill lands at a random point of the next one.
TEST_F(SnapshotTest, KilledAtAnyMomentLeavesAWholePrevious) {
    auto generation = [](int g) {
        QStringList lines;
        for (int i = 0; i < 2000; ++i)
            lines.append(fileLine(QStringLiteral("/h/generation/%1/file%2").arg(g).arg(i), 1, g));
        return lines;
    };
    writeSnapshot(names.previous, generation(0));
    std::mt19937 random(20240601);
    for (int round = 0; round < 20; ++round) {
        int rotated[2];
        ASSERT_EQ(::pipe(rotated), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(rotated[0]);
            CLogWriter childLog;
            // Two generations taken in turn keep the cycle mostly writing and rotating.
            const QStringList generations[] = {generation(round * 100000 + 1),
                                               generation(round * 100000 + 2)};
            for (int g = 0;; ++g) {
                writeSnapshot(names.result, generations[g % 2]);
                Writer(names.current).close();
                RotateSnapshots(names, childLog);
                if (g < 2)
                    (void)!::write(rotated[1], "r", 1);
            }
        }
        ::close(rotated[1]);
        auto rotation = [&] {
            pollfd ready{rotated[0], POLLIN, 0};
            char byte;
            return ::poll(&ready, 1, 60000) == 1 && ::read(rotated[0], &byte, 1) == 1;
        };
        bool waited = rotation();
        const auto first = std::chrono::steady_clock::now();
        waited = waited && rotation();
        const auto cycle = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - first);
        ::usleep(static_cast<useconds_t>(random() % std::max<qint64>(1, cycle.count())));
        ::kill(child, SIGKILL);
        ::close(rotated[0]);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(waited) << "no rotation within a minute";
        ASSERT_TRUE(WIFSIGNALED(status));

        const QStringList lines = readLines(names.previous);
        ASSERT_FALSE(lines.isEmpty()) << "round " << round;
        const int time = lines.first().section(QLatin1Char('\t'), 3, 3).toInt();
        EXPECT_GE(time, round * 100000 + 1) << "round " << round << ": an older generation";
        ASSERT_EQ(lines, generation(time)) << "round " << round << ": mixed or cut generations";
    }
}

TEST_F(SnapshotTest, GathersStraySnapshotsWithoutOverwritingNewerOnes) {
    QTemporaryDir temp;
    const QString work = WorkFolder();
    ASSERT_TRUE(QDir().mkpath(work));
    // name, its time in the temporary folder, its time in the work folder.
    for (const auto& [name, strayTime, workTime] :
         {std::tuple{"a", 2000, 1000}, std::tuple{"b", 1000, 2000}}) {
        const QString file = QStringLiteral("Torval2Quillon_LocalFiles_%1_previous.csv").arg(name);
        PutFile(temp.filePath(file), QByteArray("stray ") + name);
        SetMtime(temp.filePath(file), strayTime);
        PutFile(work + "/" + file, QByteArray("work ") + name);
        SetMtime(work + "/" + file, workTime);
    }
    PutFile(temp.filePath("other.csv"), "not ours");
    const QString fromProgram =
        QStringLiteral("Torval2Quillon_LocalFiles_%1_previous.csv").arg(::getpid());
    const QString programCopy = LocalAppData::programFolder() + "/" + fromProgram;
    PutFile(programCopy, "beside the program");
    {
        EnvGuard tmpdir("TMPDIR", QFile::encodeName(temp.path()).constData());
        GatherStraySnapshots();
    }
    EXPECT_EQ(fileBytes(work + "/Torval2Quillon_LocalFiles_a_previous.csv"), "stray a");
    EXPECT_EQ(fileBytes(work + "/Torval2Quillon_LocalFiles_b_previous.csv"), "work b");
    EXPECT_FALSE(QFile::exists(temp.filePath("Torval2Quillon_LocalFiles_a_previous.csv")));
    EXPECT_TRUE(QFile::exists(temp.filePath("other.csv")));
    EXPECT_EQ(fileBytes(work + "/" + fromProgram), "beside the program");
    EXPECT_FALSE(QFile::exists(programCopy));
    QFile::remove(programCopy);
}

}  // namespace
