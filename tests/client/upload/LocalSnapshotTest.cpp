// Snapshot files, the tree walk, exclusion, lookup and rotation, on real
// files in temporary folders.
#include "LocalSnapshot.h"

#include "DosAttributes.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <random>

#include "CLogWriter.h"
#include "LocalAppData.h"
#include "TestSupport.h"

using namespace LocalSnapshot;

namespace {

QByteArray utf16le(const QString& text) {
    QByteArray out;
    for (const QChar c : text) {
        out.append(static_cast<char>(c.unicode() & 0xFF));
        out.append(static_cast<char>(c.unicode() >> 8));
    }
    return out;
}

const QByteArray kBom("\xFF\xFE", 2);

QByteArray contentOf(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    f.write(bytes);
}

void setMtime(const QString& path, qint64 seconds) {
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(
        ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW), 0);
}

QStringList readLines(const QString& path) {
    Reader r(path);
    QStringList lines;
    QString line;
    while (r.next(line))
        lines.append(line);
    return lines;
}

// Writes a snapshot file with the given lines.
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

class SnapshotTest : public ::testing::Test {
protected:
    TempDataHome home;
    QTemporaryDir tmp;
    QString hot;

    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        hot = tmp.filePath(QStringLiteral("hot"));
        ASSERT_TRUE(QDir().mkpath(hot));
    }
    QString at(const QString& rel) const { return hot + QLatin1Char('/') + rel; }
    void makeFile(const QString& rel, const QByteArray& bytes = "x") {
        QDir().mkpath(QFileInfo(at(rel)).absolutePath());
        writeBytes(at(rel), bytes);
    }
    QString snap() const { return tmp.filePath(QStringLiteral("current.csv")); }
};

// ---- file format ----

TEST(SnapshotTimeTest, AddsNineHoursAndWrapsToThirtyTwoBits) {
    EXPECT_EQ(SnapshotTime(0), 32400);
    EXPECT_EQ(SnapshotTime(-32400), 0);
    EXPECT_EQ(SnapshotTime(1700000000), 1700032400);
    EXPECT_EQ(SnapshotTime(2147483647 - 32400), INT_MAX);
    EXPECT_EQ(SnapshotTime(2147483647 - 32400 + 1), INT_MIN);
    // 2100-01-01: past 2038 the field wraps like the 32-bit value on disk.
    EXPECT_EQ(SnapshotTime(4102444800), -192490096);
}

// A trailing "/" on the hot folder is not doubled in the lines.
TEST_F(SnapshotTest, SmallTreeGivesExactBytes) {
    makeFile(QStringLiteral("sub/日本語 b.txt"), "abc");
    setMtime(at(QStringLiteral("sub/日本語 b.txt")), 1700000000);
    setMtime(at(QStringLiteral("sub")), 1600000000);
    UploadTally tally;
    ASSERT_TRUE(WriteSnapshot(snap(), hot + QStringLiteral("/"), tally));
    const QByteArray expected =
        kBom + utf16le(QStringLiteral("0\t%1/sub\t0\t1600032400\r\n"
                                      "1\t%1/sub/日本語 b.txt\t3\t1700032400\r\n")
                           .arg(hot));
    EXPECT_EQ(contentOf(snap()), expected);
    EXPECT_EQ(tally.counters.foldersTotal, 1u);
    EXPECT_EQ(tally.counters.filesTotal, 1u);
    EXPECT_EQ(tally.counters.sizeTotal, 3u);
    EXPECT_TRUE(tally.failureList.isEmpty());
}

TEST_F(SnapshotTest, WalkIsPreOrder) {
    for (const char* f : {"a/x", "a/y/z", "a/y/w", "b", "c/d/e/f", "c/g"})
        makeFile(QString::fromUtf8(f));
    UploadTally tally;
    ASSERT_TRUE(WriteSnapshot(snap(), hot, tally));
    QStringList paths;
    for (const QString& l : readLines(snap()))
        paths.append(l.section(QLatin1Char('\t'), 1, 1));
    QStringList expected;
    for (const char* p :
         {"a", "a/x", "a/y", "a/y/z", "a/y/w", "b", "c", "c/d", "c/d/e", "c/d/e/f", "c/g"})
        expected.append(at(QString::fromUtf8(p)));
    QStringList sorted = paths;
    sorted.sort();
    expected.sort();
    EXPECT_EQ(sorted, expected);
    // Every folder is followed at once by the whole of its contents.
    for (qsizetype i = 0; i < paths.size(); ++i) {
        const QString prefix = paths[i] + QLatin1Char('/');
        qsizetype j = i + 1;
        while (j < paths.size() && paths[j].startsWith(prefix))
            ++j;
        for (qsizetype k = j; k < paths.size(); ++k)
            EXPECT_FALSE(paths[k].startsWith(prefix)) << paths[k].toStdString();
        for (qsizetype k = 0; k < i; ++k)
            EXPECT_FALSE(paths[k].startsWith(prefix)) << paths[k].toStdString();
    }
    EXPECT_EQ(tally.counters.foldersTotal, 5u);
    EXPECT_EQ(tally.counters.filesTotal, 6u);
}

TEST_F(SnapshotTest, MissingHotFolderGivesAnEmptySnapshot) {
    UploadTally tally;
    ASSERT_TRUE(WriteSnapshot(snap(), tmp.filePath(QStringLiteral("gone")), tally));
    EXPECT_EQ(contentOf(snap()), kBom);
    EXPECT_EQ(tally.counters, UploadCounters{});
}

TEST_F(SnapshotTest, UncreatableSnapshotTalliesTheTreeAsFailed) {
    makeFile(QStringLiteral("d/f"), "1234");
    UploadTally tally;
    EXPECT_FALSE(WriteSnapshot(tmp.filePath(QStringLiteral("no/such/current.csv")), hot, tally));
    EXPECT_EQ(tally.failureList, (QStringList{at(QStringLiteral("d")), at(QStringLiteral("d/f"))}));
    EXPECT_EQ(tally.counters.filesTotal, 1u);
    EXPECT_EQ(tally.counters.failed, 1u);
    EXPECT_EQ(tally.counters.failedSize, 4u);
    EXPECT_EQ(tally.counters.foldersTotal, 0u);
}

TEST_F(SnapshotTest, TallyTreeInSuccessMode) {
    makeFile(QStringLiteral("d/f"), "12");
    makeFile(QStringLiteral("g"), "123");
    UploadTally tally;
    TallyTree(hot, true, tally);
    EXPECT_EQ(tally.successList.size(), 3);
    EXPECT_TRUE(tally.successList.contains(at(QStringLiteral("d"))));
    EXPECT_TRUE(tally.failureList.isEmpty());
    EXPECT_EQ(tally.counters.filesTotal, 2u);
    EXPECT_EQ(tally.counters.sizeTotal, 5u);
    EXPECT_EQ(tally.counters.succeeded, 2u);
    EXPECT_EQ(tally.counters.succeededSize, 5u);
    EXPECT_EQ(tally.counters.foldersTotal, 0u);
}

// ---- entries the walk cannot write or must not follow ----

TEST_F(SnapshotTest, NamesThatCannotStandInALineFailWithoutALine) {
    makeFile(QStringLiteral("good"), "1");
    makeFile(QStringLiteral("tab\there"), "22");
    makeFile(QStringLiteral("new\nline"), "333");
    makeFile(QStringLiteral("bad\tdir/inner"), "4444");
    // A name that is not UTF-8.
    const QByteArray latin1 = QFile::encodeName(hot) + "/caf\xE9";
    const int fd = ::open(latin1.constData(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "55555", 5), 5);
    ::close(fd);

    UploadTally tally;
    ASSERT_TRUE(WriteSnapshot(snap(), hot, tally));
    const QStringList lines = readLines(snap());
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("1\t") + at(QStringLiteral("good")) + "\t"));
    EXPECT_EQ(tally.counters.filesTotal, 5u);
    EXPECT_EQ(tally.counters.sizeTotal, 15u);
    EXPECT_EQ(tally.counters.failed, 4u);
    EXPECT_EQ(tally.counters.failedSize, 14u);
    EXPECT_EQ(tally.counters.foldersTotal, 1u);
    EXPECT_EQ(tally.failureList.size(), 5);  // four files and the folder
    EXPECT_TRUE(tally.failureList.contains(at(QStringLiteral("bad\tdir/inner"))));
}

TEST_F(SnapshotTest, SymbolicLinkLoopsAndSpecialFilesNeitherHangNorGetLines) {
    makeFile(QStringLiteral("a/real.txt"), "123456");
    ASSERT_EQ(::symlink("..", QFile::encodeName(at(QStringLiteral("a/up"))).constData()), 0);
    ASSERT_EQ(::symlink("self", QFile::encodeName(at(QStringLiteral("self"))).constData()), 0);
    ASSERT_EQ(::symlink("nowhere", QFile::encodeName(at(QStringLiteral("dangling"))).constData()),
              0);
    ASSERT_EQ(::symlink("a/real.txt", QFile::encodeName(at(QStringLiteral("tofile"))).constData()),
              0);
    ASSERT_EQ(::mkfifo(QFile::encodeName(at(QStringLiteral("pipe"))).constData(), 0644), 0);

    UploadTally tally;
    ASSERT_TRUE(WriteSnapshot(snap(), hot, tally));
    QStringList written;
    for (const QString& l : readLines(snap()))
        written.append(l.section(QLatin1Char('\t'), 0, 2));
    written.sort();
    // A link to a file stands for the file it points to.
    EXPECT_EQ(written, (QStringList{"0\t" + at("a") + "\t0", "1\t" + at("a/real.txt") + "\t6",
                                    "1\t" + at("tofile") + "\t6"}));
    QStringList failed = tally.failureList;
    failed.sort();
    EXPECT_EQ(failed, (QStringList{at("a/up"), at("dangling"), at("pipe"), at("self")}));
    EXPECT_EQ(tally.counters.failed, 4u);
    EXPECT_EQ(tally.counters.filesTotal, 6u);
}

// ---- parsing ----

TEST(ParseEntryTest, BuildsRemotePathNameAndParent) {
    // Only one trailing "/" of the destination goes; a hot folder with one is the same folder.
    const struct {
        const char *line, *hot, *dest, *remote, *parent, *name;
    } cases[] = {
        {"1\t/data/a/b.txt\t12\t-5", "/data", "/backup/", "/backup/a/b.txt", "/backup/a", "b.txt"},
        {"0\t/data/a\t0\t1", "/data/", "/backup//", "/backup//a", "/backup/", "a"},
        {"1\t/a.txt\t1\t1", "/", "/x", "/x/a.txt", "/x", "a.txt"},
        {"1\t/a/b\t1\t1", "/", "/", "/a/b", "/a", "b"},
        {"1\t/a.txt\t1\t1", "/", "/", "/a.txt", "", "a.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const QString line = QString::fromUtf8(c.line);
        const auto e = ParseEntry(line, QString::fromUtf8(c.hot), QString::fromUtf8(c.dest));
        ASSERT_TRUE(e);
        EXPECT_EQ(e->type, line.left(1));
        EXPECT_EQ(e->isFolder(), line.startsWith(QLatin1Char('0')));
        EXPECT_EQ(e->localPath, line.section(QLatin1Char('\t'), 1, 1));
        EXPECT_EQ(e->remotePath, QString::fromUtf8(c.remote));
        EXPECT_EQ(e->parent, QString::fromUtf8(c.parent));
        EXPECT_EQ(e->name, QString::fromUtf8(c.name));
        EXPECT_EQ(e->size, line.section(QLatin1Char('\t'), 2, 2).toULongLong());
        EXPECT_EQ(e->time, line.section(QLatin1Char('\t'), 3, 3).toInt());
    }
}

TEST(ParseEntryTest, NumberFieldsAreStrict) {
    const QString hot = QStringLiteral("/h");
    const QString dest = QStringLiteral("/d");
    auto parse = [&](const QString& size, const QString& time) {
        return ParseEntry(QStringLiteral("1\t/h/f\t%1\t%2").arg(size, time), hot, dest);
    };
    for (const char* bad : {"", "12a", "-1", "+5", " 12", "12 ", "0x10", "１２",
                            "18446744073709551616", "99999999999999999999999"})
        EXPECT_FALSE(parse(QString::fromUtf8(bad), QStringLiteral("1"))) << "size " << bad;
    for (const char* bad : {"", "x", "2147483648", "-2147483649", "--1", "1.5", "-"})
        EXPECT_FALSE(parse(QStringLiteral("1"), QString::fromUtf8(bad))) << "time " << bad;

    auto e = parse(QStringLiteral("18446744073709551615"), QStringLiteral("-2147483648"));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->size, 18446744073709551615ull);
    EXPECT_EQ(e->time, INT_MIN);
    e = parse(QStringLiteral("4294967297"), QStringLiteral("2147483647"));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->size, 4294967297ull);
    EXPECT_EQ(e->time, INT_MAX);
}

TEST(ParseEntryTest, RefusesLinesThatAreNotEntries) {
    const QString hot = QStringLiteral("/hot");
    const QString dest = QStringLiteral("/d");
    for (const char* bad :
         {"", "1", "1\t/hot/a", "1\t/hot/a\t1", "2\t/hot/a\t1\t1", "01\t/hot/a\t1\t1",
          "\t/hot/a\t1\t1", "1\t/other/a\t1\t1", "1\t/hotx/a\t1\t1", "1\t/hot\t1\t1",
          "1\t/hot/\t1\t1", "1\t/hot//a\t1\t1", "1\t/hot/../etc/passwd\t1\t1", "1\t/hot/./a\t1\t1",
          "1\t/hot/a/..\t1\t1", "1\thot/a\t1\t1"})
        EXPECT_FALSE(ParseEntry(QString::fromUtf8(bad), hot, dest)) << bad;
    // A NUL would cut the path short when it reaches the file system.
    EXPECT_FALSE(
        ParseEntry(QStringLiteral("1\t/hot/a") + QChar(0) + QStringLiteral("b\t1\t1"), hot, dest));
    // Fields after the fourth are not read.
    const auto e = ParseEntry(QStringLiteral("1\t/hot/a\t3\t4\textra"), hot, dest);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->time, 4);
}

// ---- lookup and the unchanged rule ----

class PreviousTest : public SnapshotTest {
protected:
    QString previous() const { return tmp.filePath(QStringLiteral("previous.csv")); }
    TreeEntry entry(const QString& line) const {
        return *ParseEntry(line, QStringLiteral("/h"), QStringLiteral("/d"));
    }
};

TEST_F(PreviousTest, UnchangedIsTheSameTimeOnly) {
    writeSnapshot(previous(), {fileLine("/h/a", 10, 100), "0\t/h/dir\t0\t7"});
    const PreviousIndex index(previous());
    // Same time, another size: unchanged all the same.
    EXPECT_TRUE(IsUnchanged(entry(fileLine("/h/a", 99, 100)), index, false));
    EXPECT_FALSE(IsUnchanged(entry(fileLine("/h/a", 10, 101)), index, false));
    EXPECT_FALSE(IsUnchanged(entry(fileLine("/h/a", 10, 100)), index, true));
    EXPECT_FALSE(IsUnchanged(entry(fileLine("/h/A", 10, 100)), index, false));
    EXPECT_FALSE(IsUnchanged(entry(fileLine("/h/a2", 10, 100)), index, false));
    // Folders are asked for on every run.
    EXPECT_FALSE(IsUnchanged(entry("0\t/h/dir\t0\t7"), index, false));
    EXPECT_EQ(index.find("0", "/h/dir"), 7);
    // The type is part of the key.
    EXPECT_FALSE(index.find("1", "/h/dir"));
    EXPECT_FALSE(index.find("0", "/h/a"));
    EXPECT_FALSE(index.find("2", "/h/a"));
}

TEST_F(PreviousTest, FirstLineWinsAndBrokenLinesArePassedOver) {
    writeSnapshot(previous(), {"1\t/h/a\t1",  // three fields
                               "1\t/h/a\t1\tnot-a-time", fileLine("/h/a", 1, 5),
                               fileLine("/h/a", 1, 6), "0\t/h/a\t0\t9", "garbage"});
    const PreviousIndex index(previous());
    EXPECT_EQ(index.find("1", "/h/a"), 5);
    EXPECT_EQ(index.find("0", "/h/a"), 9);
    EXPECT_TRUE(IsUnchanged(entry(fileLine("/h/a", 1, 5)), index, false));
    EXPECT_FALSE(IsUnchanged(entry(fileLine("/h/a", 1, 6)), index, false));
}

TEST_F(PreviousTest, MissingEmptyOrForeignPreviousHasNoLines) {
    EXPECT_FALSE(PreviousIndex(tmp.filePath("missing.csv")).find("1", "/h/a"));
    writeBytes(previous(), QByteArray());
    EXPECT_FALSE(PreviousIndex(previous()).find("1", "/h/a"));
    // UTF-8 text where UTF-16 is expected: nothing matches.
    writeBytes(previous(), "1\t/h/a\t1\t5\r\n1\t/h/b\t1\t5\r\n");
    EXPECT_FALSE(PreviousIndex(previous()).find("1", "/h/a"));
    // A folder in the previous file's place.
    EXPECT_FALSE(PreviousIndex(tmp.path()).find("1", "/h/a"));
}

// ---- reader and writer ----

class ReaderTest : public SnapshotTest {};

TEST_F(ReaderTest, WriterUsesBomAndCrLfAndRefusesLineBreaks) {
    const QString path = tmp.filePath("w.csv");
    Writer w(path);
    ASSERT_TRUE(w.isOpen());
    EXPECT_TRUE(w.write("a\tb"));
    EXPECT_FALSE(w.write("c\nd"));
    EXPECT_FALSE(w.write("c\re"));
    EXPECT_TRUE(w.write(QString()));
    EXPECT_TRUE(w.write(QStringLiteral("𠮷")));
    EXPECT_TRUE(w.close());
    EXPECT_EQ(contentOf(path), kBom + utf16le(QStringLiteral("a\tb\r\n\r\n𠮷\r\n")));
    EXPECT_EQ(readLines(path), (QStringList{"a\tb", "", QStringLiteral("𠮷")}));
    EXPECT_FALSE(Writer(tmp.filePath("no/dir/x.csv")).isOpen());
}

TEST_F(ReaderTest, ManyLinesRoundTripAcrossBufferBoundaries) {
    const QString path = tmp.filePath("many.csv");
    QStringList lines;
    for (int i = 0; i < 60000; ++i)
        lines.append(fileLine(QStringLiteral("/h/フォルダ/%1").arg(i), static_cast<quint64>(i), i));
    writeSnapshot(path, lines);
    EXPECT_EQ(readLines(path), lines);
}

TEST_F(ReaderTest, BytesReadAsLines) {
    QByteArray invalid = kBom + utf16le("ok1\r\n");
    invalid += QByteArray(
        "a\0\x00\xD8"
        "b\0\r\0\n\0",
        10);  // lone high surrogate
    invalid += QByteArray(
        "\x00\xDC"
        "c\0\n\0",
        6);  // lone low surrogate
    invalid += utf16le("ok2\r\n");
    invalid += "z";  // half a code unit at the end
    // Overlong lines are skipped, not loaded.
    const QString limit(64 * 1024, QLatin1Char('k'));
    QByteArray overlong = kBom + utf16le("first\r\n");
    overlong += utf16le(QString(1024 * 1024, QLatin1Char('x')) + "\r\n");  // 1 M characters
    overlong += utf16le(limit + "\r\n");
    overlong += utf16le(limit + "k\r\n");
    overlong += utf16le("after\r\n");
    overlong += utf16le(QString(600 * 1024, QLatin1Char('y')));  // at the end, no line end
    const struct {
        const char* what;
        QByteArray bytes;
        QStringList lines;
    } cases[] = {
        {"LF only, last line without end",
         kBom + utf16le("one\ntwo\r\nthree\rx\nlast"),
         {"one", "two", "three\rx", "last"}},
        {"no BOM: UTF-16LE all the same", utf16le("one\r\n"), {"one"}},
        {"invalid UTF-16: an empty line and reading goes on", invalid, {"ok1", "", "", "ok2", ""}},
        {"overlong", overlong, {"first", "", limit, "", "after", ""}},
        {"empty", QByteArray(), {}},
        {"BOM only", kBom, {}},
    };
    const QString path = tmp.filePath("r.csv");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeBytes(path, c.bytes);
        EXPECT_TRUE(Reader(path).isOpen());
        EXPECT_EQ(readLines(path), c.lines);
    }
}

TEST_F(ReaderTest, MissingAndSpecialFilesDoNotOpen) {
    EXPECT_FALSE(Reader(tmp.filePath("missing")).isOpen());
    // A pipe nobody writes to must not block.
    const QString fifo = tmp.filePath("fifo");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
    EXPECT_FALSE(Reader(fifo).isOpen());
    EXPECT_FALSE(Reader(tmp.path()).isOpen());
}

// ---- exclusion ----

class ExclusionTest : public SnapshotTest {};

TEST_F(ExclusionTest, EntryThatIsGoneIsExcluded) {
    makeFile("f");
    EXPECT_FALSE(IsExcluded(at("f")));
    QFile::remove(at("f"));
    EXPECT_TRUE(IsExcluded(at("f")));
    EXPECT_TRUE(IsExcluded(QString()));
    EXPECT_TRUE(IsExcluded(at("f") + QChar(0)));
    // A dangling link still has its own status.
    ASSERT_EQ(::symlink("nowhere", QFile::encodeName(at("link")).constData()), 0);
    EXPECT_FALSE(IsExcluded(at("link")));
}

TEST_F(ExclusionTest, SambaTemporaryAttributeOnFiles) {
    makeFile("text");
    makeFile("binary");
    makeFile("plain");
    const QByteArray text = QFile::encodeName(at("text"));
    if (::setxattr(text.constData(), "user.DOSATTRIB", "0x120", 6, 0) != 0)
        GTEST_SKIP() << "the file system refuses user extended attributes";
    // Version 3 record: version, level, valid flags (attribute set), attribute.
    const QByteArray v3("\x03\x00\x03\x00\x01\x00\x00\x00\x20\x01\x00\x00", 12);
    ASSERT_EQ(::setxattr(QFile::encodeName(at("binary")).constData(), "user.DOSATTRIB",
                         v3.constData(), static_cast<size_t>(v3.size()), 0),
              0);
    ASSERT_EQ(
        ::setxattr(QFile::encodeName(at("plain")).constData(), "user.DOSATTRIB", "0x20", 4, 0), 0);
    EXPECT_TRUE(IsExcluded(at("text")));
    EXPECT_TRUE(IsExcluded(at("binary")));
    EXPECT_FALSE(IsExcluded(at("plain")));
}

TEST_F(ExclusionTest, Ntfs3gTemporaryAttributeWhereTheFileSystemHasIt) {
    makeFile("f");
    const char word[4] = {0x00, 0x01, 0x00, 0x00};
    if (::setxattr(QFile::encodeName(at("f")).constData(), "system.ntfs_attrib", word, 4, 0) != 0)
        GTEST_SKIP() << "not an ntfs-3g volume; the decoding is tested on its own";
    EXPECT_TRUE(IsExcluded(at("f")));
}

// Samba writes the hex text (possibly empty), its NUL, then an NDR record
// (version, level, then the version's info); a bare record occurs too.
TEST(DosAttributesTest, SambaForms) {
    const struct {
        QByteArray value;
        std::optional<quint32> attributes;
    } cases[] = {
        {QByteArray("0x100", 5), 0x100u},
        {QByteArray("0x1a0\0", 6), 0x1A0u},
        {QByteArray("0x20", 4), 0x20u},
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
        {QByteArray("\0\0\x09\0\x09\0\0\0\x20\0\0\0", 12), {}},
        {QByteArray("\x01\x00\x01\x00\x20", 5), {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DosAttributes::ParseSambaValue(c.value), c.attributes) << c.value.toHex().data();
}

TEST(DosAttributesTest, Ntfs3gWord) {
    EXPECT_EQ(DosAttributes::ParseNtfsValue(QByteArray("\x00\x01\x00\x00", 4)), 0x100u);
    EXPECT_EQ(DosAttributes::ParseNtfsValue(QByteArray("\x20\x00\x00\x80", 4)), 0x80000020u);
    EXPECT_FALSE(DosAttributes::ParseNtfsValue(QByteArray("\x00\x01\x00", 3)));
    EXPECT_FALSE(DosAttributes::ParseNtfsValue(QByteArray()));
}

TEST(RecycleBinTest, DriveLetterPatterns) {
    EXPECT_TRUE(IsRecycleBinPath(QStringLiteral("D:\\$RECYCLE.BIN\\S-1\\x")));
    EXPECT_TRUE(IsRecycleBinPath(QStringLiteral("d:\\recycler\\y")));
    EXPECT_TRUE(IsRecycleBinPath(QStringLiteral("z:\\Recycled\\")));
    EXPECT_FALSE(IsRecycleBinPath(QStringLiteral("C:\\RECYCLED")));
    EXPECT_FALSE(IsRecycleBinPath(QStringLiteral("C:\\data\\RECYCLED\\a")));
    EXPECT_FALSE(IsRecycleBinPath(QStringLiteral("/mnt/$RECYCLE.BIN/a")));
    EXPECT_FALSE(IsRecycleBinPath(QString()));
}

TEST(TrashTest, NamesAndMountPoints) {
    EXPECT_TRUE(IsTrashFolderName(u".Trash"));
    EXPECT_TRUE(IsTrashFolderName(u".Trash-1000"));
    EXPECT_FALSE(IsTrashFolderName(u".Trash-"));
    EXPECT_FALSE(IsTrashFolderName(u".Trash-abc"));
    EXPECT_FALSE(IsTrashFolderName(u".trash"));
    EXPECT_FALSE(IsTrashFolderName(u".Trashes"));
    EXPECT_FALSE(IsTrashFolderName(u".Trash-１"));

    // "/" is always the top of a mounted volume.
    EXPECT_TRUE(IsInTrashFolder(QStringLiteral("/.Trash-1000/files/a")));
    EXPECT_TRUE(IsInTrashFolder(QStringLiteral("/.Trash/1000/a")));
    // The trash folder itself is not inside a trash folder.
    EXPECT_FALSE(IsInTrashFolder(QStringLiteral("/.Trash-1000")));
    EXPECT_FALSE(IsInTrashFolder(QStringLiteral("relative/.Trash/a")));

    // A folder so named deeper down is ordinary data.
    QTemporaryDir tmp;
    ASSERT_TRUE(QDir().mkpath(tmp.filePath(".Trash-0/files")));
    writeBytes(tmp.filePath(".Trash-0/files/a"), "x");
    EXPECT_FALSE(IsInTrashFolder(tmp.filePath(".Trash-0/files/a")));
    EXPECT_FALSE(IsExcluded(tmp.filePath(".Trash-0/files/a")));
}

TEST(TrashTest, FileInTrashAtAMountPointIsExcluded) {
    // /dev/shm is a mount point of its own on ordinary Linux systems.
    struct stat self, parent;
    if (::stat("/dev/shm", &self) != 0 || ::stat("/dev", &parent) != 0 ||
        self.st_dev == parent.st_dev || ::access("/dev/shm", W_OK) != 0)
        GTEST_SKIP() << "no writable mount point at /dev/shm";
    const QString trash = QStringLiteral("/dev/shm/.Trash-%1").arg(4000000000ll + ::getpid());
    ASSERT_TRUE(QDir().mkpath(trash + "/files"));
    writeBytes(trash + "/files/a", "x");
    EXPECT_TRUE(IsExcluded(trash + "/files/a"));
    EXPECT_FALSE(IsExcluded(trash));
    QDir(trash).removeRecursively();
}

// ---- drain ----

TEST_F(PreviousTest, DrainCountsWhatIsLeft) {
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
    UploadTally tally;
    {
        Reader reader(snap());
        Writer result(resultPath);
        DrainRemaining(reader, result, index, false, hot, "/d", tally);
        ASSERT_TRUE(result.close());
    }
    EXPECT_EQ(tally.failureList,
              (QStringList{at("dir"), at("dir/same"), at("dir/changed"), at("huge")}));
    EXPECT_EQ(tally.counters.skipped, 1u);
    EXPECT_EQ(tally.counters.skippedSize, 2u);
    EXPECT_EQ(tally.counters.interrupted, 2u);
    EXPECT_EQ(tally.counters.interruptedSize, 5000000003ull);
    EXPECT_EQ(tally.counters.excluded, 0u);
    EXPECT_EQ(readLines(resultPath), QStringList{current[1]});

    // With the resend instruction nothing is unchanged.
    UploadTally again;
    {
        Reader reader(snap());
        Writer result(resultPath);
        DrainRemaining(reader, result, index, true, hot, "/d", again);
    }
    EXPECT_EQ(again.counters.skipped, 0u);
    EXPECT_EQ(again.counters.interrupted, 3u);
    EXPECT_TRUE(readLines(resultPath).isEmpty());
}

// ---- names, rotation, crash safety ----

TEST_F(SnapshotTest, NamesLieInTheWorkFolder) {
    EXPECT_EQ(WorkFolder(), home.productFolder() + "/Work");
    const Names n = MakeNames("/w", "123_001_0", "S1");
    EXPECT_EQ(n.current, "/w/Torval2Quillon_LocalFiles_123_001_0_S1_current.csv");
    EXPECT_EQ(n.result, "/w/Torval2Quillon_LocalFiles_123_001_0_S1_result.csv");
    EXPECT_EQ(n.previous, "/w/Torval2Quillon_LocalFiles_123_001_0_previous.csv");
    EXPECT_EQ(MakeNames("/w/", "u", "s").previous, "/w/Torval2Quillon_LocalFiles_u_previous.csv");
}

class RotationTest : public SnapshotTest {
protected:
    Names names;
    void SetUp() override {
        SnapshotTest::SetUp();
        names = MakeNames(tmp.path(), "job", "sess");
    }
};

TEST_F(RotationTest, ResultReplacesPreviousAndCurrentGoes) {
    writeSnapshot(names.previous, {"old"});
    writeSnapshot(names.result, {"new1", "new2"});
    writeSnapshot(names.current, {"cur"});
    const QByteArray resultBytes = contentOf(names.result);
    CLogWriter logger;
    EXPECT_TRUE(RotateSnapshots(names, logger));
    EXPECT_EQ(contentOf(names.previous), resultBytes);
    EXPECT_FALSE(QFile::exists(names.result));
    EXPECT_FALSE(QFile::exists(names.current));
}

TEST_F(RotationTest, FailuresAreLoggedWithTheErrorNumber) {
    CLogWriter logger;
    writeSnapshot(names.previous, {"old"});
    writeSnapshot(names.current, {"cur"});
    EXPECT_FALSE(RotateSnapshots(names, logger));  // no result file
    EXPECT_TRUE(logger.ReadLogText().contains(
        QStringLiteral("差分ファイルの更新に失敗しました。(%1)").arg(ENOENT)));
    EXPECT_EQ(readLines(names.previous), QStringList{"old"});
    EXPECT_TRUE(QFile::exists(names.current));

    QFile::remove(names.current);
    writeSnapshot(names.result, {"new"});
    EXPECT_FALSE(RotateSnapshots(names, logger));  // no current file
    EXPECT_TRUE(logger.ReadLogText().contains(
        QStringLiteral("結果ファイルの削除に失敗しました。(%1)").arg(ENOENT)));
    EXPECT_EQ(readLines(names.previous), QStringList{"new"});
}

// A child rotates again and again and is killed at random moments; each
// time the previous file must be one whole generation. On a loaded machine a
// delay counted from the start may end every child before its first
// rotation, so in every other round the child reports two rotations and the
// kill lands at a random point of the next cycle, however long cycles take.
TEST_F(RotationTest, KilledAtAnyMomentLeavesAWholePrevious) {
    constexpr int kLines = 2000;
    auto generation = [&](int g) {
        QStringList lines;
        for (int i = 0; i < kLines; ++i)
            lines.append(fileLine(QStringLiteral("/h/generation/%1/file%2").arg(g).arg(i), 1, g));
        return lines;
    };
    writeSnapshot(names.previous, generation(0));
    std::mt19937 random(20240601);
    int rotatedRounds = 0;
    for (int round = 0; round < 20; ++round) {
        int rotated[2];
        ASSERT_EQ(::pipe(rotated), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(rotated[0]);
            CLogWriter logger;
            // Two generations taken in turn keep the cycle mostly writing and rotating.
            const QStringList generations[] = {generation(round * 100000 + 1),
                                               generation(round * 100000 + 2)};
            for (int g = 0;; ++g) {
                {
                    Writer w(names.result);
                    for (const QString& l : generations[g % 2])
                        w.write(l);
                    w.close();
                }
                Writer(names.current).close();
                RotateSnapshots(names, logger);
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
        useconds_t delay = static_cast<useconds_t>(random() % 150000);
        bool waited = true;
        if (round % 2 == 1) {
            waited = rotation();
            const auto first = std::chrono::steady_clock::now();
            waited = waited && rotation();
            const auto cycle = std::chrono::duration_cast<std::chrono::microseconds>(
                std::chrono::steady_clock::now() - first);
            delay = static_cast<useconds_t>(random() % std::max<qint64>(1, cycle.count()));
        }
        ::usleep(delay);
        ::kill(child, SIGKILL);
        ::close(rotated[0]);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(waited) << "no rotation within a minute";
        ASSERT_TRUE(WIFSIGNALED(status));

        const QStringList lines = readLines(names.previous);
        ASSERT_EQ(lines.size(), kLines) << "round " << round;
        const QString time = lines.first().section(QLatin1Char('\t'), 3, 3);
        for (const QString& l : lines)
            ASSERT_EQ(l.section(QLatin1Char('\t'), 3, 3), time) << "mixed generations";
        ASSERT_EQ(lines.last(),
                  fileLine(QStringLiteral("/h/generation/%1/file%2").arg(time).arg(kLines - 1), 1,
                           time.toInt()));
        if (time.toInt() >= round * 100000 + 1)
            ++rotatedRounds;
    }
    // Had no kill landed after a rotation of its own round, the test proved nothing.
    EXPECT_GE(rotatedRounds, 10);
}

// ---- gathering stray files ----

TEST_F(SnapshotTest, GathersStraySnapshotsWithoutOverwritingNewerOnes) {
    QTemporaryDir temp;
    const QByteArray savedTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(temp.path()));
    const QString work = WorkFolder();
    ASSERT_TRUE(QDir().mkpath(work));

    const QString older = "Torval2Quillon_LocalFiles_a_previous.csv";
    const QString newer = "Torval2Quillon_LocalFiles_b_previous.csv";
    writeBytes(temp.filePath(older), "stray a");
    setMtime(temp.filePath(older), 2000);
    writeBytes(work + "/" + older, "work a");
    setMtime(work + "/" + older, 1000);
    writeBytes(temp.filePath(newer), "stray b");
    setMtime(temp.filePath(newer), 1000);
    writeBytes(work + "/" + newer, "work b");
    setMtime(work + "/" + newer, 2000);
    writeBytes(temp.filePath("other.csv"), "not ours");
    const QString fromProgram =
        QStringLiteral("Torval2Quillon_LocalFiles_%1_previous.csv").arg(::getpid());
    const QString programCopy = LocalAppData::programFolder() + "/" + fromProgram;
    writeBytes(programCopy, "beside the program");

    GatherStraySnapshots();
    if (savedTmp.isEmpty())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", savedTmp);

    EXPECT_EQ(contentOf(work + "/" + older), "stray a");
    EXPECT_FALSE(QFile::exists(temp.filePath(older)));
    EXPECT_EQ(contentOf(work + "/" + newer), "work b");
    EXPECT_TRUE(QFile::exists(temp.filePath("other.csv")));
    EXPECT_EQ(contentOf(work + "/" + fromProgram), "beside the program");
    EXPECT_FALSE(QFile::exists(programCopy));
    QFile::remove(programCopy);
}

}  // namespace
