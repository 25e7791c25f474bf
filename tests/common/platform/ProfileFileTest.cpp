#include "ProfileFile.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>

namespace {

class ProfileFileTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("settings.ini"));

    void put(const QByteArray& bytes) {
        ASSERT_TRUE(putFile(path, bytes));
        ProfileFile::flush(path);
    }
    QByteArray content() const { return fileBytes(path); }
    QString read(const QString& section, const QString& key,
                 const QString& def = QStringLiteral("<default>"),
                 int size = ProfileFile::kDefaultBufferSize) {
        return ProfileFile::readString(section, key, def, size, path);
    }
};

TEST_F(ProfileFileTest, ReadsFollowWindowsRulesAndAreCutToTheBuffer) {
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
        "Long=abcdefgh\n"
        "Emoji=a\xF0\x9F\x98\x80z\n"
        "[config]\n"
        "Other=in the repeated section\n"
        "[ Spaced Section ]\n"
        "K=v\n"
        "[Int]\nA=500\nB= 42a\nD=-5\nE=99999999999\nF=\nG=+8\n");
    const struct {
        const char *section, *key;
        QString expected;
        int size = ProfileFile::kDefaultBufferSize;
        const char* def = "<default>";
    } cases[] = {
        {"CONFIG", "NAME", "spaced value"},
        {"Config", "Quoted", "  kept blanks  "},
        {"Config", "Single", "x"},
        {"Config", "Mismatched", "\"x'"},
        {"Config", "NoEquals", "<default>"},
        {"Config", "Empty", ""},
        {"Config", "Hidden", "<default>"},
        {"Config", "Other", "<default>"},  // a repeated section is not searched
        {"spaced section", "k", "v"},
        {"Missing", "Name", "<default>"},
        {"Config", "Long", "abcd", 5},
        {"Config", "Missing", "012", 4, "0123456789"},
        {"Config", "Long", "", 0},
        {"Config", "Long", "", 1},
        // The emoji is a surrogate pair; a cut between its halves drops both.
        {"Config", "Emoji", "a", 3},
        {"Config", "Emoji", QString::fromUtf8("a\xF0\x9F\x98\x80"), 4},
    };
    for (const auto& c : cases)
        EXPECT_EQ(read(c.section, c.key, c.def, c.size), c.expected) << c.key << " " << c.size;
    EXPECT_EQ(ProfileFile::readString("Config", "Name", "", QString(dir.filePath("none.ini"))), "");
    // Numbers: the leading digits, or the default.
    const std::pair<const char*, quint32> numbers[] = {
        {"A", 500}, {"B", 42}, {"D", 7}, {"E", 0xFFFFFFFFu}, {"F", 7}, {"G", 8}, {"X", 7}};
    for (const auto& [key, expected] : numbers)
        EXPECT_EQ(ProfileFile::readInt("Int", key, 7, path), expected) << key;
    // Another writer's change is seen at once, even same-size within the same second.
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite) && f.seek(content().indexOf("K=v") + 2));
    f.write("w");
    f.close();
    EXPECT_EQ(read("Spaced Section", "K"), "w");
    QFile::remove(path);
    EXPECT_EQ(read("Spaced Section", "K"), "<default>");
}

// Changes go in one call each or as one batch; all
// else stays byte for byte (invalid UTF-8, a lone CR, a NUL byte, 10 MiB of
// comments, no final line end), and new lines use the file's own encoding
// (UTF-8, with a byte-order mark, UTF-16LE) and line ends.
TEST_F(ProfileFileTest, WritesKeepEverythingElseByteForByte) {
    using C = ProfileFile::Change;
    const QString name = QStringLiteral("経理部 月次バックアップ");
    const QString folder = QStringLiteral("/home/ユーザー/書類");
    const QList<C> japanese = {{"Config", "Name1", name}, {"Config", "HotFolder1", folder}};
    const QString added = "Name1=" + name + "\nHotFolder1=" + folder + "\n";
    const auto utf16 = [](const QString& text) {
        return "\xFF\xFE" +
               QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
    };
    static const char raw[] = "[Config]\rBad=\xC3\x28\xFF\xFE value\r\nID=alice\nNul=a\0b\n";
    const QByteArray large = QByteArray(raw, sizeof(raw) - 1) +
                             ("; " + QByteArray(200, 'x') + "\n").repeated(50000) +
                             "PortalName=acme";
    const struct {
        QByteArray before;
        QList<C> changes;
        bool batch;
        QByteArray after;
        const char *section, *key;  // read back afterwards
        QString value;
    } cases[] = {
        {"; settings\r\n[Config]\r\nID=alice\r\nunknown = kept   \r\ngarbage line\r\n\r\n"
         "[Host]\r\nAutoUpload=https://example.invalid/api/v1/",  // no final line end
         {{"config", "id", "bob"},
          {"Config", "Password", "secret"},
          {"Host", "WebUI", "https://web.invalid/"},
          {"New", "Key", "value"}},
         false,
         "; settings\r\n[Config]\r\nID=bob\r\nunknown = kept   \r\ngarbage line\r\n"
         "Password=secret\r\n\r\n[Host]\r\nAutoUpload=https://example.invalid/api/v1/\r\n"
         "WebUI=https://web.invalid/\r\n\r\n[New]\r\nKey=value\r\n",
         "Config",
         "unknown",
         "kept"},
        {"[A]\nk1=1\nk2=2\n\n[B]\nx=1\n[a]\nhidden=1\n[C]\nlast=1",
         {C{"A", "k1", std::nullopt},                                  // removed, then set again:
          C{"A", "K1", QString("one")},                                // goes to the section's end
          C{"a", "k2", QString("two")},                                // replaced in place
          C{"A", "new", QString("n")}, C{"A", "new", QString("n2")},   // last write wins
          C{"A", "gone", QString("g")}, C{"A", "gone", std::nullopt},  // added and removed
          C{"C", "tail", QString("t")},                                // after an unterminated line
          C{"D", "d", QString("1")}, C{"E", "e", QString("1")},
          C{"E", "e", std::nullopt},  // a new section left empty
          C{"B", "x", std::nullopt}},
         true,
         "[A]\nk2=two\nK1=one\nnew=n2\n\n[B]\n[a]\nhidden=1\n[C]\nlast=1\ntail=t\n\n[D]\nd=1\n",
         "a",
         "k1",
         "one"},
        {"", japanese, false, "[Config]\n" + added.toUtf8(), "Config", "Name1", name},
        {"\xEF\xBB\xBF[Config]\n", japanese, false, "\xEF\xBB\xBF[Config]\n" + added.toUtf8(),
         "Config", "Name1", name},
        {utf16("[Config]\r\nA=1\r\n"), japanese, false,
         utf16("[Config]\r\nA=1\r\n" + QString(added).replace("\n", "\r\n")), "Config",
         "HotFolder1", folder},
        {large,
         {{"Config", "ID", "bob"}},
         false,
         QByteArray(large).replace("ID=alice", "ID=bob"),
         "Config",
         "PortalName",
         "acme"},
    };
    for (const auto& c : cases) {
        put(c.before);
        for (const C& change : c.batch ? QList<C>() : c.changes)
            ASSERT_TRUE(ProfileFile::writeString(change.section, change.key, *change.value, path));
        ASSERT_TRUE(!c.batch || ProfileFile::apply(c.changes, path));
        ProfileFile::flush(path);
        EXPECT_EQ(content(), c.after);
        EXPECT_EQ(read(c.section, c.key), c.value);
    }
    put("[Config]\nPassword=secret\nunknown = kept\n[New]\nKey=value\n");
    ASSERT_TRUE(ProfileFile::removeKey("CONFIG", "password", path));
    ASSERT_TRUE(ProfileFile::removeSection("new", path));
    ASSERT_TRUE(ProfileFile::removeKey("Config", "NotThere", path));
    EXPECT_EQ(content(), "[Config]\nunknown = kept\n");
}

TEST_F(ProfileFileTest, RefusedWritesChangeNothing) {
    put("[S]\nK=v\n");
    const QByteArray before = content();
    const std::array<const char*, 3> refused[] = {{"S", "K", "two\nlines"}, {"S", "K", "cr\rhere"},
                                                  {"S", "a=b", "v"},        {"S]", "K", "v"},
                                                  {"S", "", "v"},           {"S", "[K", "v"}};
    for (const auto& [section, key, value] : refused)
        EXPECT_FALSE(ProfileFile::writeString(section, key, value, path)) << key << value;
    EXPECT_FALSE(
        ProfileFile::apply({{"S", "Good", QString("1")}, {"S", "Bad", QString("x\ny")}}, path))
        << "one bad change refuses the whole batch";
    EXPECT_EQ(content(), before);
    // An unchanged value does not rewrite the file.
    const ino_t inode = statOf(path).st_ino;
    ASSERT_TRUE(ProfileFile::writeString("S", "K", "v", path));
    EXPECT_EQ(statOf(path).st_ino, inode);
    // Nothing is created for a removal of what is not there, nor in a missing folder.
    ASSERT_TRUE(ProfileFile::removeKey("S", "K", dir.filePath("absent.ini")));
    EXPECT_FALSE(ProfileFile::writeString("S", "K", "v", dir.filePath("missing/folder/x.ini")));
    EXPECT_FALSE(ProfileFile::apply({{"S", "K", QString("v")}}, dir.filePath("missing/x.ini")));
    EXPECT_FALSE(QFile::exists(dir.filePath("absent.ini")) ||
                 QFile::exists(dir.filePath("missing")));
}

TEST_F(ProfileFileTest, NewFilesAreOwnerOnlyAndExistingModesKept) {
    ASSERT_TRUE(ProfileFile::writeString("Config", "Password", "secret", path));
    EXPECT_EQ(statOf(path).st_mode & 0777, 0600u);
    const QString shared = dir.filePath("shared.ini");
    ASSERT_TRUE(QFile(shared).open(QIODevice::WriteOnly));
    ASSERT_EQ(::chmod(QFile::encodeName(shared).constData(), 0640), 0);
    ASSERT_TRUE(ProfileFile::writeString("S", "K", "v", shared));
    EXPECT_EQ(statOf(shared).st_mode & 0777, 0640u);
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
    for (; !done; ++reads) {
        const QString text = QString::fromLatin1(fileBytes(path));  // one version of the file
        const QString a = text.section("\nA=", 1).section('\n', 0, 0);
        mismatches += a.isEmpty() || a != text.section("\nB=", 1).section('\n', 0, 0) ||
                      !text.contains(padding);
    }
    writer.join();
    EXPECT_EQ(mismatches, 0) << "of " << reads << " reads";
    EXPECT_EQ(read("S", "A"), "200");
}

}  // namespace
