#include "ProfileFile.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <atomic>
#include <thread>
#include <vector>

namespace {

struct stat statOf(const QString& path) {
    struct stat st {};
    EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0) << path.toStdString();
    return st;
}

class ProfileFileTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("settings.ini"));

    void put(const QByteArray& bytes) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(f.write(bytes), bytes.size());
        f.close();
        ProfileFile::flush(path);
    }
    QByteArray content() const {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QString read(const QString& section, const QString& key,
                 const QString& def = QStringLiteral("<default>"),
                 int size = ProfileFile::kDefaultBufferSize) {
        return ProfileFile::readString(section, key, def, size, path);
    }
};

TEST_F(ProfileFileTest, LookupFollowsWindowsRules) {
    put("; leading comment\n"
        "[Config]\n"
        "  Name  =  spaced value  \n"
        "name=second occurrence\n"
        "Quoted=\"  kept blanks  \"\n"
        "Single='x'\n"
        "Mismatched=\"x'\n"
        "NoEquals\n"
        "Empty=\n"
        "; Hidden=comment\n"
        "[config]\n"
        "Other=in the repeated section\n"
        "[ Spaced Section ]\n"
        "K=v\n");
    EXPECT_EQ(read("CONFIG", "NAME"), "spaced value");
    EXPECT_EQ(read("Config", "Quoted"), "  kept blanks  ");
    EXPECT_EQ(read("Config", "Single"), "x");
    EXPECT_EQ(read("Config", "Mismatched"), "\"x'");
    EXPECT_EQ(read("Config", "NoEquals"), "<default>");
    EXPECT_EQ(read("Config", "Empty"), "");
    EXPECT_EQ(read("Config", "Hidden"), "<default>");
    EXPECT_EQ(read("Config", "Other"), "<default>") << "a repeated section is not searched";
    EXPECT_EQ(read("spaced section", "k"), "v");
    EXPECT_EQ(read("Missing", "Name"), "<default>");
    EXPECT_EQ(ProfileFile::readString("Config", "Name", "", QString(dir.filePath("none.ini"))), "");
}

TEST_F(ProfileFileTest, ValuesAndDefaultsAreCutToTheBuffer) {
    put("[S]\nLong=abcdefgh\nEmoji=a\xF0\x9F\x98\x80z\n");
    EXPECT_EQ(read("S", "Long", "", 5), "abcd");
    EXPECT_EQ(read("S", "Missing", "0123456789", 4), "012");
    EXPECT_EQ(read("S", "Long", "", 0), "");
    EXPECT_EQ(read("S", "Long", "", 1), "");
    // The emoji is a surrogate pair; a cut between its halves drops both.
    EXPECT_EQ(read("S", "Emoji", "", 3), "a");
    EXPECT_EQ(read("S", "Emoji", "", 4), QString::fromUtf8("a\xF0\x9F\x98\x80"));
}

TEST_F(ProfileFileTest, ReadIntTakesLeadingDigitsOrTheDefault) {
    put("[S]\nA=500\nB= 42a\nC=null\nD=-5\nE=99999999999\nF=\nG=+7\n");
    struct Case {
        const char* key;
        quint32 expected;
    } cases[] = {{"A", 500},         {"B", 42}, {"C", 7}, {"D", 7},
                 {"E", 0xFFFFFFFFu}, {"F", 7},  {"G", 7}, {"Missing", 7}};
    for (const Case& c : cases)
        EXPECT_EQ(ProfileFile::readInt("S", c.key, 7, path), c.expected) << c.key;
}

TEST_F(ProfileFileTest, WritesKeepEverythingElseByteForByte) {
    const QByteArray original =
        "; settings\r\n"
        "[Config]\r\n"
        "ID=alice\r\n"
        "unknown = kept   \r\n"
        "garbage line\r\n"
        "\r\n"
        "[Host]\r\n"
        "AutoUpload=https://example.invalid/api/v1/";  // no final line end
    put(original);

    ASSERT_TRUE(ProfileFile::writeString("config", "id", "bob", path));
    ASSERT_TRUE(ProfileFile::writeString("Config", "Password", "secret", path));
    ASSERT_TRUE(ProfileFile::writeString("Host", "WebUI", "https://web.invalid/", path));
    ASSERT_TRUE(ProfileFile::writeString("New", "Key", "value", path));

    EXPECT_EQ(content(),
              "; settings\r\n"
              "[Config]\r\n"
              "ID=bob\r\n"
              "unknown = kept   \r\n"
              "garbage line\r\n"
              "Password=secret\r\n"
              "\r\n"
              "[Host]\r\n"
              "AutoUpload=https://example.invalid/api/v1/\r\n"
              "WebUI=https://web.invalid/\r\n"
              "\r\n"
              "[New]\r\n"
              "Key=value\r\n");

    ASSERT_TRUE(ProfileFile::removeKey("CONFIG", "password", path));
    ASSERT_TRUE(ProfileFile::removeSection("new", path));
    ASSERT_TRUE(ProfileFile::removeKey("Config", "NotThere", path));
    EXPECT_EQ(read("Config", "Password"), "<default>");
    EXPECT_EQ(read("New", "Key"), "<default>");
    EXPECT_EQ(read("Config", "unknown"), "kept");
}

TEST_F(ProfileFileTest, BatchAppliesChangesInOrder) {
    put("[A]\nk1=1\nk2=2\n\n[B]\nx=1\n[a]\nhidden=1\n[C]\nlast=1");
    using C = ProfileFile::Change;
    ASSERT_TRUE(ProfileFile::apply(
        {C{"A", "k1", std::nullopt},                                  // removed, then set again:
         C{"A", "K1", QString("one")},                                // goes to the section's end
         C{"a", "k2", QString("two")},                                // replaced in place
         C{"A", "new", QString("n")}, C{"A", "new", QString("n2")},   // last write wins
         C{"A", "gone", QString("g")}, C{"A", "gone", std::nullopt},  // added and removed
         C{"C", "tail", QString("t")},                                // after an unterminated line
         C{"D", "d", QString("1")}, C{"E", "e", QString("1")},
         C{"E", "e", std::nullopt},  // a new section left empty
         C{"B", "x", std::nullopt}},
        path));
    EXPECT_EQ(content(),
              "[A]\nk2=two\nK1=one\nnew=n2\n\n[B]\n[a]\nhidden=1\n[C]\nlast=1\ntail=t\n"
              "\n[D]\nd=1\n");
    EXPECT_EQ(read("a", "k1"), "one");
    EXPECT_EQ(read("A", "hidden"), "<default>") << "the repeated section stays invisible";
}

TEST_F(ProfileFileTest, UnchangedValueDoesNotRewriteTheFile) {
    put("[S]\nK=v\n");
    const ino_t before = statOf(path).st_ino;
    ASSERT_TRUE(ProfileFile::writeString("S", "K", "v", path));
    EXPECT_EQ(statOf(path).st_ino, before);
    // Removing what is not there does not create a file either.
    const QString other = dir.filePath("absent.ini");
    ASSERT_TRUE(ProfileFile::removeKey("S", "K", other));
    EXPECT_FALSE(QFile::exists(other));
}

TEST_F(ProfileFileTest, JapaneseRoundTripsInEachEncoding) {
    const QString name = QStringLiteral("経理部 月次バックアップ");
    const QString folder = QStringLiteral("/home/ユーザー/書類");

    // Plain UTF-8, a UTF-8 byte-order mark, and UTF-16LE with its mark.
    const QByteArray starts[] = {
        QByteArray(), QByteArray("\xEF\xBB\xBF[Config]\n"),
        QByteArray("\xFF\xFE") +
            QByteArray(reinterpret_cast<const char*>(u"[Config]\r\nA=1\r\n"), 30)};
    for (const QByteArray& start : starts) {
        put(start);
        ASSERT_TRUE(ProfileFile::writeString("Config", "Name1", name, path));
        ASSERT_TRUE(ProfileFile::writeString("Config", "HotFolder1", folder, path));
        ProfileFile::flush(path);
        EXPECT_EQ(read("Config", "Name1"), name);
        EXPECT_EQ(read("Config", "HotFolder1"), folder);
        const QByteArray bytes = content();
        if (start.startsWith("\xFF\xFE")) {
            EXPECT_TRUE(bytes.startsWith("\xFF\xFE"));
            EXPECT_EQ(read("Config", "A"), "1");
            EXPECT_TRUE(
                bytes.contains(QByteArray(reinterpret_cast<const char*>(u"\r\nName1="), 16)))
                << "new lines in a UTF-16 file use its own encoding and line ends";
        } else {
            EXPECT_EQ(bytes.startsWith("\xEF\xBB\xBF"), start.startsWith("\xEF\xBB\xBF"));
            EXPECT_TRUE(bytes.contains(name.toUtf8()));
        }
    }
}

TEST_F(ProfileFileTest, BadBytesAndOddLineEndsSurviveAndReadableKeysAnswer) {
    // Invalid UTF-8, a lone CR line end, CR LF, LF, a NUL byte and no final newline.
    static const char raw[] =
        "[Config]\rBad=\xC3\x28\xFF\xFE value\r\n"
        "ID=alice\n"
        "Nul=a\0b\n"
        "PortalName=acme";
    put(QByteArray(raw, sizeof(raw) - 1));
    EXPECT_EQ(read("Config", "ID"), "alice");
    EXPECT_EQ(read("Config", "PortalName"), "acme");

    ASSERT_TRUE(ProfileFile::writeString("Config", "ID", "bob", path));
    const QByteArray after = content();
    EXPECT_TRUE(after.startsWith("[Config]\rBad=\xC3\x28\xFF\xFE value\r\nID=bob\n"));
    EXPECT_TRUE(after.contains(QByteArray("Nul=a\0b\n", 8)));
    EXPECT_TRUE(after.endsWith("PortalName=acme"));
    EXPECT_EQ(read("Config", "PortalName"), "acme");
}

TEST_F(ProfileFileTest, LargeFileLoadsAndAnswers) {
    QByteArray big = "[Config]\nFirst=1\n";
    const QByteArray filler = "; " + QByteArray(200, 'x') + "\n";
    while (big.size() < 10 * 1024 * 1024)
        big += filler;
    big += "Last=2\n";
    put(big);
    EXPECT_EQ(read("Config", "First"), "1");
    EXPECT_EQ(read("Config", "Last"), "2");
    ASSERT_TRUE(ProfileFile::writeString("Config", "Added", "3", path));
    EXPECT_EQ(content().size(), big.size() + 8);
}

TEST_F(ProfileFileTest, TextsThatWouldBreakTheFileAreRefused) {
    put("[S]\nK=v\n");
    const QByteArray before = content();
    EXPECT_FALSE(ProfileFile::writeString("S", "K", "two\nlines", path));
    EXPECT_FALSE(ProfileFile::writeString("S", "K", "cr\rhere", path));
    EXPECT_FALSE(ProfileFile::writeString("S", "a=b", "v", path));
    EXPECT_FALSE(ProfileFile::writeString("S]", "K", "v", path));
    EXPECT_FALSE(ProfileFile::writeString("S", "", "v", path));
    EXPECT_FALSE(ProfileFile::writeString("S", "[K", "v", path));
    EXPECT_FALSE(
        ProfileFile::apply({{"S", "Good", QString("1")}, {"S", "Bad", QString("x\ny")}}, path))
        << "one bad change refuses the whole batch";
    EXPECT_EQ(content(), before);
}

TEST_F(ProfileFileTest, NewFilesAreOwnerOnlyAndExistingModesKept) {
    ASSERT_TRUE(ProfileFile::writeString("Config", "Password", "secret", path));
    EXPECT_EQ(statOf(path).st_mode & 0777, 0600u);

    const QString shared = dir.filePath("shared.ini");
    QFile f(shared);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    ASSERT_EQ(::chmod(QFile::encodeName(shared).constData(), 0640), 0);
    ASSERT_TRUE(ProfileFile::writeString("S", "K", "v", shared));
    EXPECT_EQ(statOf(shared).st_mode & 0777, 0640u);
}

TEST_F(ProfileFileTest, WriteIntoMissingFolderFailsCleanly) {
    const QString nowhere = dir.filePath("missing/folder/settings.ini");
    EXPECT_FALSE(ProfileFile::writeString("S", "K", "v", nowhere));
    EXPECT_FALSE(ProfileFile::apply({{"S", "K", QString("v")}}, nowhere));
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("missing")));
}

TEST_F(ProfileFileTest, ChangesByOtherWritersAreSeenAtOnce) {
    put("[S]\nK=aaaa\n");
    EXPECT_EQ(read("S", "K"), "aaaa");
    // Same size, rewritten in place within the same second.
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    f.seek(6);
    f.write("bbbb");
    f.close();
    EXPECT_EQ(read("S", "K"), "bbbb");
    QFile::remove(path);
    EXPECT_EQ(read("S", "K"), "<default>");
}

TEST_F(ProfileFileTest, ReadersNeverSeeAHalfWrittenBatch) {
    // Two keys always change together; a reader must find them equal.
    const QString padding(20000, QLatin1Char('p'));
    ASSERT_TRUE(ProfileFile::apply(
        {{"S", "A", QString("0")}, {"S", "B", QString("0")}, {"S", "Padding", padding}}, path));
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 1; i <= 200; ++i)
            ProfileFile::apply({{"S", "A", QString::number(i)}, {"S", "B", QString::number(i)}},
                               path);
        done = true;
    });
    int mismatches = 0;
    int reads = 0;
    while (!done) {
        // Read both from one version of the file.
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QByteArray bytes = f.readAll();
        ++reads;
        const int a = bytes.indexOf("A=");
        const int b = bytes.indexOf("B=");
        if (a < 0 || b < 0 || !bytes.contains(padding.toLatin1())) {
            ++mismatches;
            continue;
        }
        if (bytes.mid(a + 2, bytes.indexOf('\n', a) - a - 2) !=
            bytes.mid(b + 2, bytes.indexOf('\n', b) - b - 2))
            ++mismatches;
    }
    writer.join();
    EXPECT_EQ(mismatches, 0) << "of " << reads << " reads";
    EXPECT_EQ(read("S", "A"), "200");
}

TEST_F(ProfileFileTest, ConcurrentWritersLoseNoKey) {
    // Two real processes and two threads of this one, each writing its own keys.
    QProcess first, second;
    first.start(PROFILE_WRITER, {path, "p1_", "1000"});
    second.start(PROFILE_WRITER, {path, "p2_", "1000"});
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 200; ++i)
                ProfileFile::writeString("Race", QStringLiteral("t%1_%2").arg(t).arg(i),
                                         QString::number(i), path);
        });
    }
    for (auto& th : threads)
        th.join();
    ASSERT_TRUE(first.waitForFinished(120000));
    ASSERT_TRUE(second.waitForFinished(120000));
    EXPECT_EQ(first.exitCode(), 0) << first.readAllStandardError().constData();
    EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().constData();

    int missing = 0;
    const std::pair<const char*, int> written[] = {
        {"p1_", 1000}, {"p2_", 1000}, {"t0_", 200}, {"t1_", 200}};
    for (const auto& [prefix, count] : written) {
        for (int i = 0; i < count; ++i) {
            if (read("Race", prefix + QString::number(i)) != QString::number(i))
                ++missing;
        }
    }
    EXPECT_EQ(missing, 0);
}

}  // namespace
