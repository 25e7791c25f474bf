#include "CRestError.h"
#include "CRestJsonParser.h"
#include "CRestRecords.h"
#include "CTorval2Exception.h"
#include "Fields.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

namespace {

// Every reader of a reply body, by name, for the cases that feed all of them the same bodies.
const std::pair<const char*, std::function<void(const QByteArray&)>> kReaders[] = {
    {"error", [](const QByteArray& b) { CRestError::FromBody(b); }},
    {"portal", [](const QByteArray& b) { ReadPortal(b); }},
    {"user", [](const QByteArray& b) { ReadUser(b); }},
    {"item", [](const QByteArray& b) { ReadItem(b); }},
    {"items", [](const QByteArray& b) { ReadItemList(b); }},
    {"options", [](const QByteArray& b) { ReadOptions(b); }},
    {"autoBlock", [](const QByteArray& b) { ReadAutoBlock(b); }},
    {"pragma", [](const QByteArray& b) { ReadPragma(b); }},
    {"shareId", [](const QByteArray& b) { ReadShareId(b); }},
};

class RecordsTest : public ::testing::Test {
protected:
    TempDataHome home;
};

TEST_F(RecordsTest, PortalAndUserReadEveryField) {
    // Sizes beyond 32 bits are kept whole.
    const CRestPortal p = ReadPortal(
        "{\"portalId\":12,\"portalCode\":\"velmora\",\"name\":\"ヴェルモラ\",\"extra\":[1],"
        "\"storageQuotaSize\":5497558138880,\"storageUsedSize\":\"4294967296\",\"locked\":\"no\"}");
    EXPECT_EQ(
        Fields(p.portalId, p.portalCode, p.name, p.storageQuotaSize, p.storageUsedSize, p.locked),
        "12|velmora|ヴェルモラ|5497558138880|4294967296|1");
    const CRestUser u = ReadUser(
        "{\"portalId\":3,\"userId\":\"77\",\"userType\":\"ADMIN\",\"userCode\":\"u001\","
        "\"familyName\":\"山田\",\"firstName\":\"太郎\",\"familyNameKana\":\"ヤマダ\","
        "\"firstNameKana\":\"タロウ\",\"mailAddress\":\"t@example.jp\",\"phone1\":\"03\","
        "\"phone2\":null,\"phone3\":\"\",\"hidden\":1,\"locked\":false}");
    EXPECT_EQ(Fields(u.portalId, u.userId, u.userType, u.userCode, u.familyName, u.firstName,
                     u.familyNameKana, u.firstNameKana, u.mailAddress, u.phone1, u.phone2, u.phone3,
                     u.hidden, u.locked),
              "3|77|ADMIN|u001|山田|太郎|ヤマダ|タロウ|t@example.jp|03|null||1|0");
}

// Every member of an item, the folder group and the file group both: each
// type must pick up its own group only.
QByteArray ItemReply(const char* itemType) {
    return "{\"portalId\":1,\"itemType\":\"" + QByteArray(itemType) +
           "\",\"itemId\":8589934592,\"repositoryId\":2,"
           "\"path\":\"/Docs/年次\",\"parentFolderId\":\"4294967297\","
           "\"parentFolderPath\":\"/Docs\",\"name\":\"年次\",\"notification\":true,"
           "\"creatorUserId\":5,\"creatorUserFamilyName\":\"山田\","
           "\"creatorUserFirstName\":\"太郎\",\"createdTime\":\"2024-02-08T10:00:00.000+09:00\","
           "\"modifierUserId\":6,\"modifierUserFamilyName\":\"佐藤\","
           "\"modifierUserFirstName\":\"花子\",\"modifiedTime\":\"2024-02-09\",\"hidden\":false,"
           "\"accessPermission\":{\"canCreate\":true,\"canRead\":true,\"canUpdate\":false,"
           "\"canDelete\":1,\"canAdminister\":\"\"},"
           "\"autoRevision\":true,\"childFolderCount\":3,\"childFileCount\":\"12\","
           "\"fileSize\":5368709120,\"revisionControlled\":true,\"latestRevisionNumber\":4,"
           "\"revisionRetentionLimitType\":\"COUNT\",\"revisionRetentionSize\":10,"
           "\"revisionRetentionDuration\":30,\"locked\":true,\"lockerUserId\":9,"
           "\"lockerUserFamilyName\":\"鈴木\",\"lockerUserFirstName\":\"一郎\"}";
}

QString ItemFields(const CRestItem& f) {
    return Fields(f.portalId, f.itemType, f.itemId, f.repositoryId, f.path, f.parentFolderId,
                  f.parentFolderPath, f.name, f.notification, f.creatorUserId,
                  f.creatorUserFamilyName, f.creatorUserFirstName, f.createdTime, f.modifierUserId,
                  f.modifierUserFamilyName, f.modifierUserFirstName, f.modifiedTime, f.hidden) +
           " perm " + Fields(f.canCreate, f.canRead, f.canUpdate, f.canDelete, f.canAdminister) +
           " folder " + Fields(f.autoRevision, f.childFolderCount, f.childFileCount) + " file " +
           Fields(f.fileSize, f.revisionControlled, f.latestRevisionNumber,
                  f.revisionRetentionLimitType, f.revisionRetentionSize,
                  f.revisionRetentionDuration, f.locked, f.lockerUserId, f.lockerUserFamilyName,
                  f.lockerUserFirstName);
}

TEST_F(RecordsTest, FolderAndFileReadCommonAndTheirOwnFieldsOnly) {
    const QString common =
        "|8589934592|2|/Docs/年次|4294967297|/Docs|年次|1|5|山田|太郎|"
        "2024-02-08T10:00:00.000+09:00|6|佐藤|花子|2024-02-09|0 perm ";
    EXPECT_EQ(ItemFields(ReadItem(ItemReply("folder"))),
              "1|folder" + common + "1|1|0|1|0 folder 1|3|12 file 0|0|0||0|0|0|0||");
    // canCreate belongs to folders, whatever the permission says; 5 GiB is kept whole.
    EXPECT_EQ(
        ItemFields(ReadItem(ItemReply("file"))),
        "1|file" + common + "0|1|0|1|0 folder 0|0|0 file 5368709120|1|4|COUNT|10|30|1|9|鈴木|一郎");
}

// Each group only for its own type; permissions only from an object of that name.
TEST_F(RecordsTest, GroupsFollowTheTypeAndPermissionsTheirObject) {
    const char kCan[] = "{\"canCreate\":true,\"canRead\":true}";
    const struct {
        const char *itemType, *permission;  // JSON values
        QString fields;  // itemType|canCreate|canRead|canUpdate|childFolderCount|autoRevision|
                         // fileSize|locked|revisionRetentionLimitType
    } cases[] = {
        {"\"Folder\"", kCan, "Folder|0|1|0|0|0|0|0|"},
        {"\"FILE\"", kCan, "FILE|0|1|0|0|0|0|0|"},
        {"\"folder \"", kCan, "folder |0|1|0|0|0|0|0|"},
        {"[\"folder\"]", kCan, "array|0|1|0|0|0|0|0|"},
        {"\"folder\"", kCan, "folder|1|1|0|3|1|0|0|"},
        // Top-level members of the same names do not count either.
        {"\"folder\"", "5", "folder|0|0|0|3|1|0|0|"},
        {"\"folder\"", "[{\"canRead\":true}]", "folder|0|0|0|3|1|0|0|"},
        {"\"file\"", "null", "file|0|0|0|0|0|7|1|COUNT"},
    };
    for (const auto& c : cases) {
        const CRestItem item =
            ReadItem(QByteArray("{\"canRead\":true,\"canUpdate\":true,\"childFolderCount\":3,"
                                "\"autoRevision\":true,\"fileSize\":7,\"locked\":true,"
                                "\"revisionRetentionLimitType\":\"COUNT\",\"itemType\":") +
                     c.itemType + ",\"accessPermission\":" + c.permission + "}");
        EXPECT_EQ(Fields(item.itemType, item.canCreate, item.canRead, item.canUpdate,
                         item.childFolderCount, item.autoRevision, item.fileSize, item.locked,
                         item.revisionRetentionLimitType),
                  c.fields)
            << c.itemType << " " << c.permission;
    }
}

TEST_F(RecordsTest, ItemListKeepsArrayOrder) {
    const QList<CRestItem> items =
        ReadItemList(QByteArray("{\"items\":[") + ItemReply("file") + "," + ItemReply("folder") +
                     ",{\"itemType\":\"file\",\"name\":\"c\"},5,\"x\",[],null],\"count\":3}");
    ASSERT_EQ(items.size(), 7);
    EXPECT_EQ(ItemFields(items[0]), ItemFields(ReadItem(ItemReply("file"))));
    EXPECT_EQ(ItemFields(items[1]), ItemFields(ReadItem(ItemReply("folder"))));
    EXPECT_EQ(Fields(items[2].name, items[2].path), "c|null");
    // An element that is no object reads empty.
    for (int i = 3; i < 7; ++i)
        EXPECT_EQ(Fields(items[i].itemType, items[i].name, items[i].itemId), "null|null|0");
    // Without an array, no items.
    for (const char* body : {"{}", "{\"items\":{}}", "{\"Items\":[{}]}"}) {
        EXPECT_TRUE(ReadItemList(body).isEmpty()) << body;
    }
}

// Text that is not UTF-8 fails in any member that is read, and only there.
TEST_F(RecordsTest, InvalidTextInAReadMemberFails) {
    EXPECT_THROW(ReadUser("{\"familyName\":\"\xe5\xb1\"}"), CTorval2Exception);
    EXPECT_THROW(ReadItemList(QByteArray("{\"items\":[") + ItemReply("file") +
                              ",{\"itemType\":\"file\",\"path\":\"\xc0\xaf\"}]}"),
                 CTorval2Exception);
    EXPECT_THROW(ReadPragma("{\"files\":[\"ok\",\"\xe6\x97\"]}"), CTorval2Exception);
    EXPECT_EQ(ReadUser("{\"userId\":5,\"note\":\"\xff\"}").userId, 5);
    // A folder does not read the file group.
    EXPECT_EQ(ReadItem("{\"itemType\":\"folder\",\"lockerUserFirstName\":\"\xff\"}").itemType,
              "folder");
}

const QStringList kOptionNames = {"sharedFolder",   "mailUpload", "auditExtension", "document",
                                  "schedule",       "bulletin",   "chat",           "task",
                                  "mailUploadBody", "autoBlock"};

// The names of the flags that are set.
QString Enabled(const CRestOptions& o) {
    const bool flags[] = {o.sharedFolder,   o.mailUpload, o.auditExtension, o.document,
                          o.schedule,       o.bulletin,   o.chat,           o.task,
                          o.mailUploadBody, o.autoBlock};
    QStringList names;
    for (int i = 0; i < kOptionNames.size(); ++i) {
        if (flags[i])
            names << kOptionNames[i];
    }
    return names.join('|');
}

TEST_F(RecordsTest, OptionEntriesReadExactly) {
    QByteArray all = "[";
    for (const QString& name : kOptionNames) {
        EXPECT_EQ(Enabled(ReadOptions("{\"options\":[{\"name\":\"" + name.toUtf8() +
                                      "\",\"enabled\":true}]}")),
                  name);
        all += "{\"enabled\":1,\"name\":\"" + name.toUtf8() + "\"},";
    }
    const struct {
        QByteArray options;  // the "options" member
        QString enabled;
    } cases[] = {
        {all + "{\"name\":\"unknown\",\"enabled\":true}]", kOptionNames.join('|')},
        // The later entry wins.
        {"[{\"name\":\"chat\",\"enabled\":true},{\"name\":\"chat\",\"enabled\":false}]", ""},
        {"[{\"name\":\"chat\",\"enabled\":false},{\"name\":\"chat\",\"enabled\":true}]", "chat"},
        {"[{\"name\":\"Chat\",\"enabled\":true}]", ""},
        {"[{\"name\":\"chat \",\"enabled\":true}]", ""},
        // "mailUpload" is a prefix of "mailUploadBody": whole texts only.
        {"[{\"name\":\"mailUploadBody\",\"enabled\":true},{\"name\":\"chatter\",\"enabled\":true}]",
         "mailUploadBody"},
        {"[\"chat\",true,[{\"name\":\"chat\"}]]", ""},
        {"{\"name\":\"chat\",\"enabled\":true}", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Enabled(ReadOptions("{\"options\":" + c.options + "}")), c.enabled)
            << c.options.toStdString();
    }
}

TEST_F(RecordsTest, AutoBlockDetailsOnlyWhileBlockedInsideReason) {
    const QByteArray details =
        "\"duration\":12.5,\"userAgent\":\"Microsoft-WebDAV-MiniRedir/10.0\","
        "\"userCode\":\"u001\",\"inSize\":100,\"outSize\":200.9,\"when\":\"2024-02-08 10:00\","
        "\"path\":\"/Docs\",\"method\":\"PROPFIND\",\"from\":\"192.0.2.1\",\"uri\":\"/dav/Docs\"";
    const auto reason = [&](const char* blocked) {
        return "{\"reason\":{\"blockCount\":2,\"blocked\":" + QByteArray(blocked) + "," + details +
               ",\"uri\":\"\xff\"}}";
    };
    const struct {
        QByteArray body;
        // blockCount|blocked|duration|userAgent|userCode|inSize|outSize|when|path|method|from|uri
        QString fields;
    } cases[] = {
        {"{\"reason\":{\"blockCount\":3,\"blocked\":true," + details + "}}",
         "3|1|12.5|Microsoft-WebDAV-MiniRedir/10.0|u001|100|200|"
         "2024-02-08 10:00|/Docs|PROPFIND|192.0.2.1|/dav/Docs"},
        // Not blocked: the details stay empty, their invalid text included.
        {reason("false"), "2|0|0|||0|0|||||"},
        {"{\"blockCount\":3,\"blocked\":true,\"userCode\":\"u\"}", "0|0|0|||0|0|||||"},
        {"{\"reason\":[{\"blocked\":true}]}", "0|0|0|||0|0|||||"},
        // Numbers are taken as numbers only; 5e9 is held at the largest 32-bit number.
        {"{\"reason\":{\"blockCount\":\"3\",\"blocked\":\"yes\",\"duration\":\"1.5\","
         "\"inSize\":5e9,\"outSize\":-3.9,\"userAgent\":7}}",
         "0|1|0|7|null|2147483647|-3|null|null|null|null|null"},
    };
    for (const auto& c : cases) {
        const CRestAutoBlock b = ReadAutoBlock(c.body);
        EXPECT_EQ(Fields(b.blockCount, b.blocked, b.duration, b.userAgent, b.userCode, b.inSize,
                         b.outSize, b.when, b.path, b.method, b.from, b.uri),
                  c.fields)
            << c.body.toStdString();
    }
}

TEST_F(RecordsTest, PragmaFilesAndShareId) {
    const struct {
        const char* body;
        QString fields;  // retransmission|files joined by "/"
    } cases[] = {
        {"{\"retransmission\":false,\"files\":[\"C:\\\\Data\\\\a.txt\",\"日本.doc\",\"\",1,null]}",
         "0|C:\\Data\\a.txt/日本.doc//1/null"},
        // Files outside an array are ignored.
        {"{\"retransmission\":1}", "1|"},
        {"{\"retransmission\":1,\"files\":{\"0\":\"a\"}}", "1|"},
    };
    for (const auto& c : cases) {
        const CRestPragma p = ReadPragma(c.body);
        EXPECT_EQ(Fields(p.retransmission, p.files.join('/')), c.fields) << c.body;
    }
    EXPECT_EQ(Fields(ReadShareId("{\"shareId\":\"Ab3-x9\"}"), ReadShareId("{\"shareId\":12345}"),
                     ReadShareId("{\"share\":\"x\"}")),
              "Ab3-x9|12345|null");
}

TEST_F(RecordsTest, EveryReaderRefusesWhatIsNoObject) {
    // Deep nesting and cut replies are the parser's, checked in its own test.
    const QByteArray bodies[] = {"", "[]", "{\"items\":["};
    for (const auto& [name, read] : kReaders) {
        for (const QByteArray& body : bodies)
            EXPECT_THROW(read(body), JsonParseError) << name << " " << body.left(40).data();
    }
}

// Seeded random mutations of valid replies, fed to every reader: each must
// return or throw one of the two failures callers handle. Crashes, hangs and
// sanitizer reports are the faults this looks for; the fixed seed repeats a failure.
const char kOtherRecords[] =
    "{\"statusCode\":500,\"errorCode\":\"PORTAL_INSUFFICIENT_STORAGE\",\"errorParameters\":[\"a\"],"
    "\"errorMessage\":\"容量不足\",\"resultDetails\":null,\"portalId\":12,\"userId\":77,"
    "\"portalCode\":\"velmora\",\"storageQuotaSize\":5497558138880,\"familyName\":\"山田\","
    "\"locked\":\"no\",\"items\":[{\"itemType\":\"file\",\"fileSize\":5368709120,"
    "\"accessPermission\":{\"canDelete\":1}},{\"itemType\":\"folder\",\"name\":\"b\"}],"
    "\"options\":[{\"name\":\"chat\",\"enabled\":true},{\"name\":\"autoBlock\",\"enabled\":1}],"
    "\"reason\":{\"blockCount\":3,\"blocked\":true,\"duration\":12.5,\"userAgent\":\"UA\","
    "\"inSize\":100,\"when\":\"2024-02-08\",\"uri\":\"/dav\"},\"retransmission\":1,"
    "\"files\":[\"C:\\\\Data\\\\a.txt\",\"日本.doc\"],\"shareId\":\"Ab3\"}";
const QByteArray kSeeds[] = {ItemReply("folder"), ItemReply("file"), kOtherRecords};

// Fragments that tend to reach the parser's and readers' corners.
// clang-format off
const char* const kFragments[] = {
    "[", "]", "{", "}", "\"", ",", ":", "\\", "\\u", "\\ud800", "\\udc00", "\\u0000", "1e999",
    "-", "-0", "1e20", "0.1", "null", "true", "\xff", "\xc3", "\xe6\x97", "\xed\xa0\x80",
    "\xc0\xaf", "\"itemType\":\"file\",", "\"itemType\":\"folder\",", "\"blocked\":true,",
    "\"accessPermission\":5,", "\"items\":[5],", "\"files\":[{}],", "\"options\":[[]],",
    "\"reason\":[],", "\"errorParameters\":[1,{}],"};
// clang-format on

// One to four random edits: a flipped bit, a cut end, a dropped or repeated stretch, an
// inserted fragment, deep nesting around the limit or far past it.
QByteArray Mutated(QByteArray body, std::mt19937& random) {
    const auto below = [&](qsizetype n) {
        return n <= 0 ? 0 : std::uniform_int_distribution<qsizetype>(0, n - 1)(random);
    };
    const int depths[] = {int(CRestJsonParser::kMaxDepth) - 2, int(CRestJsonParser::kMaxDepth) + 1,
                          1500};
    for (qsizetype step = below(4); step >= 0; --step) {
        const qsizetype at = below(body.size() + 1);
        const int depth = depths[below(3)];
        switch (below(6)) {
            case 0:
                if (!body.isEmpty())
                    body[at % body.size()] = char(body[at % body.size()] ^ (1 << below(8)));
                break;
            case 1:
                body.truncate(at);
                break;
            case 2:
                body.remove(at, below(16) + 1);
                break;
            case 3:
                body.insert(at, body.mid(at, below(24) + 1));
                break;
            case 4: {
                const bool object = below(2);
                body.insert(at,
                            QByteArray(object ? "{\"a\":" : "[").repeated(depth) + "0" +
                                (below(2) ? QByteArray(object ? "}" : "]").repeated(depth) : ""));
                break;
            }
            default:
                body.insert(at, kFragments[below(std::size(kFragments))]);
        }
    }
    return body;
}

// 0 returned, 1 parse failure, 2 conversion failure; anything else escapes and
// fails the test with its type and text.
int ReadOnce(const std::function<void(const QByteArray&)>& read, const QByteArray& body) {
    try {
        read(body);
        return 0;
    } catch (const JsonParseError& e) {
        EXPECT_STREQ(e.what(), "failed to parse json.");
        return 1;
    } catch (const CTorval2Exception& e) {
        EXPECT_EQ(e.code(), QStringLiteral("CONVERT_ENCODING_ERROR"));
        return 2;
    }
}

TEST_F(RecordsTest, MutatedRepliesReturnOrFailCleanly) {
    for (const QByteArray& seed : kSeeds) {
        for (const auto& [name, read] : kReaders)
            EXPECT_EQ(ReadOnce(read, seed), 0) << name << " on " << seed.data();
    }
    std::mt19937 random(20240208u);
    int outcomes[3] = {0, 0, 0};
    for (int iteration = 0; iteration < 600; ++iteration) {
        for (const QByteArray& seed : kSeeds) {
            const QByteArray body = Mutated(seed, random);
            for (const auto& [name, read] : kReaders) {
                SCOPED_TRACE(std::string(name) + " on " + body.left(200).toStdString());
                ++outcomes[ReadOnce(read, body)];
            }
        }
    }
    // The mutations must reach all three ends, or they test too little.
    EXPECT_EQ(Fields(outcomes[0] > 0, outcomes[1] > 0, outcomes[2] > 0), "1|1|1");
}

}  // namespace
