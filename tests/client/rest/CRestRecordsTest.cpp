#include "CRestJsonParser.h"
#include "CRestRecords.h"
#include "CTorval2Exception.h"
#include "Fields.h"
#include "RestReaders.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class RecordsTest : public ::testing::Test {
protected:
    TempDataHome home;
};

// ---------------------------------------------------------------------------
// Portal and user

TEST_F(RecordsTest, PortalReadsEveryField) {
    const struct {
        const char* body;
        QString fields;  // portalId|portalCode|name|storageQuotaSize|storageUsedSize|locked
    } cases[] = {
        // Sizes beyond 32 bits are kept whole.
        {"{\"portalId\":12,\"portalCode\":\"velmora\",\"name\":\"ヴェルモラ\","
         "\"storageQuotaSize\":5497558138880,\"storageUsedSize\":\"4294967296\","
         "\"locked\":false,\"extra\":[1]}",
         "12|velmora|ヴェルモラ|5497558138880|4294967296|0"},
        {"{}", "0|null|null|0|0|0"},
        {"{\"locked\":\"no\"}", "0|null|null|0|0|1"},
        {"{\"locked\":\"\"}", "0|null|null|0|0|0"},
        {"{\"locked\":1}", "0|null|null|0|0|1"},
        {"{\"Locked\":true}", "0|null|null|0|0|0"},  // keys match exactly
    };
    for (const auto& c : cases) {
        const CRestPortal p = ReadPortal(c.body);
        EXPECT_EQ(Fields(p.portalId, p.portalCode, p.name, p.storageQuotaSize, p.storageUsedSize,
                         p.locked),
                  c.fields)
            << c.body;
    }
}

TEST_F(RecordsTest, UserReadsEveryField) {
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

TEST_F(RecordsTest, UserTextFieldsNeedValidUtf8) {
    EXPECT_THROW(ReadUser("{\"familyName\":\"\xe5\xb1\"}"), CTorval2Exception);
    // Members that are not read are not converted.
    EXPECT_EQ(ReadUser("{\"userId\":5,\"note\":\"\xff\"}").userId, 5);
}

// ---------------------------------------------------------------------------
// Items

const char kFolderReply[] =
    "{\"portalId\":1,\"itemType\":\"folder\",\"itemId\":8589934592,\"repositoryId\":0,"
    "\"path\":\"/Docs/年次\",\"parentFolderId\":\"4294967297\",\"parentFolderPath\":\"/Docs\","
    "\"name\":\"年次\",\"notification\":true,\"creatorUserId\":5,"
    "\"creatorUserFamilyName\":\"山田\",\"creatorUserFirstName\":\"太郎\","
    "\"createdTime\":\"2024-02-08T10:00:00.000+09:00\",\"modifierUserId\":6,"
    "\"modifierUserFamilyName\":\"佐藤\",\"modifierUserFirstName\":\"花子\","
    "\"modifiedTime\":\"2024-02-09T11:30:00.000+09:00\",\"hidden\":false,"
    "\"accessPermission\":{\"canCreate\":true,\"canRead\":true,\"canUpdate\":false,"
    "\"canDelete\":1,\"canAdminister\":\"\"},"
    "\"autoRevision\":true,\"childFolderCount\":3,\"childFileCount\":\"12\","
    // File members that a folder must not pick up.
    "\"fileSize\":1024,\"revisionControlled\":true,\"latestRevisionNumber\":4,"
    "\"revisionRetentionLimitType\":\"COUNT\",\"revisionRetentionSize\":10,"
    "\"revisionRetentionDuration\":30,\"locked\":true,\"lockerUserId\":9,"
    "\"lockerUserFamilyName\":\"鈴木\",\"lockerUserFirstName\":\"\xff\"}";

const char kFileReply[] =
    "{\"portalId\":1,\"itemType\":\"file\",\"itemId\":31,\"repositoryId\":2,"
    "\"path\":\"/Docs/a b.txt\",\"parentFolderId\":30,\"parentFolderPath\":\"/Docs\","
    "\"name\":\"a b.txt\",\"notification\":false,\"creatorUserId\":5,"
    "\"creatorUserFamilyName\":\"山田\",\"creatorUserFirstName\":\"太郎\","
    "\"createdTime\":\"2024-02-08\",\"modifierUserId\":6,"
    "\"modifierUserFamilyName\":\"佐藤\",\"modifierUserFirstName\":\"花子\","
    "\"modifiedTime\":\"2024-02-09\",\"hidden\":true,"
    "\"accessPermission\":{\"canCreate\":true,\"canRead\":true,\"canUpdate\":true,"
    "\"canDelete\":false,\"canAdminister\":true},"
    // Folder members that a file must not pick up.
    "\"autoRevision\":true,\"childFolderCount\":3,\"childFileCount\":12,"
    "\"fileSize\":5368709120,\"revisionControlled\":true,\"latestRevisionNumber\":4,"
    "\"revisionRetentionLimitType\":\"COUNT\",\"revisionRetentionSize\":10,"
    "\"revisionRetentionDuration\":30,\"locked\":true,\"lockerUserId\":9,"
    "\"lockerUserFamilyName\":\"鈴木\",\"lockerUserFirstName\":\"一郎\"}";

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

TEST_F(RecordsTest, FolderReadsCommonAndFolderFieldsOnly) {
    // The file group stays empty, its invalid text included.
    EXPECT_EQ(ItemFields(ReadItem(kFolderReply)),
              "1|folder|8589934592|0|/Docs/年次|4294967297|/Docs|年次|1|5|山田|太郎|"
              "2024-02-08T10:00:00.000+09:00|6|佐藤|花子|2024-02-09T11:30:00.000+09:00|0"
              " perm 1|1|0|1|0 folder 1|3|12 file 0|0|0||0|0|0|0||");
}

TEST_F(RecordsTest, FileReadsCommonAndFileFieldsOnly) {
    // canCreate belongs to folders, whatever the permission says; 5 GiB is kept whole.
    EXPECT_EQ(ItemFields(ReadItem(kFileReply)),
              "1|file|31|2|/Docs/a b.txt|30|/Docs|a b.txt|0|5|山田|太郎|2024-02-08|6|佐藤|花子|"
              "2024-02-09|1 perm 0|1|1|0|1 folder 0|0|0 file 5368709120|1|4|COUNT|10|30|1|9|"
              "鈴木|一郎");
}

TEST_F(RecordsTest, OtherItemTypesReadNeitherGroup) {
    const struct {
        const char* itemType;  // JSON value, or nullptr for no member
        const char* text;
    } cases[] = {{nullptr, "null"},          {"\"Folder\"", "Folder"}, {"\"FILE\"", "FILE"},
                 {"\"folder \"", "folder "}, {"\"link\"", "link"},     {"[\"folder\"]", "array"}};
    for (const auto& c : cases) {
        QByteArray body =
            "{\"accessPermission\":{\"canCreate\":true,\"canRead\":true},"
            "\"childFolderCount\":3,\"autoRevision\":true,\"fileSize\":7,"
            "\"locked\":true,\"revisionRetentionLimitType\":\"COUNT\",\"name\":\"n\"";
        if (c.itemType)
            body += QByteArray(",\"itemType\":") + c.itemType;
        const CRestItem item = ReadItem(body + "}");
        EXPECT_EQ(
            Fields(item.itemType, item.name, item.canRead, item.canCreate, item.childFolderCount,
                   item.autoRevision, item.fileSize, item.locked, item.revisionRetentionLimitType),
            QString::fromUtf8(c.text) + "|n|1|0|0|0|0|0|");
    }
}

TEST_F(RecordsTest, PermissionsOutsideAnObjectReadAsFalse) {
    for (const char* permission : {"5", "true", "\"canRead\"", "[{\"canRead\":true}]", "null"}) {
        SCOPED_TRACE(permission);
        const CRestItem item =
            ReadItem(QByteArray("{\"itemType\":\"folder\",\"canRead\":true,\"accessPermission\":") +
                     permission + "}");
        // Top-level members of the same names do not count either.
        EXPECT_EQ(Fields(item.canCreate, item.canRead, item.canUpdate, item.canDelete,
                         item.canAdminister),
                  "0|0|0|0|0");
    }
}

TEST_F(RecordsTest, ItemListKeepsArrayOrder) {
    const QByteArray body = QByteArray("{\"items\":[") + kFileReply + "," + kFolderReply +
                            ",{\"itemType\":\"file\",\"name\":\"c\"}],\"count\":3}";
    const QList<CRestItem> items = ReadItemList(body);
    ASSERT_EQ(items.size(), 3);
    EXPECT_EQ(ItemFields(items[0]), ItemFields(ReadItem(kFileReply)));
    EXPECT_EQ(ItemFields(items[1]), ItemFields(ReadItem(kFolderReply)));
    EXPECT_EQ(Fields(items[2].name, items[2].path), "c|null");
}

TEST_F(RecordsTest, ItemListWithoutAnArrayIsEmpty) {
    for (const char* body : {"{\"items\":[]}", "{}", "{\"items\":null}", "{\"items\":{}}",
                             "{\"items\":\"[]\"}", "{\"Items\":[{}]}"}) {
        EXPECT_TRUE(ReadItemList(body).isEmpty()) << body;
    }
}

TEST_F(RecordsTest, ItemListElementThatIsNoObjectReadsEmpty) {
    const QList<CRestItem> items = ReadItemList("{\"items\":[5,\"x\",[],null]}");
    ASSERT_EQ(items.size(), 4);
    for (const CRestItem& item : items)
        EXPECT_EQ(Fields(item.itemType, item.name, item.itemId), "null|null|0");
}

TEST_F(RecordsTest, ItemListFailsOnInvalidTextOfAnyItem) {
    EXPECT_THROW(ReadItemList(QByteArray("{\"items\":[") + kFileReply +
                              ",{\"itemType\":\"file\",\"path\":\"\xc0\xaf\"}]}"),
                 CTorval2Exception);
}

// ---------------------------------------------------------------------------
// Options

using OptionFlag = bool CRestOptions::*;

struct OptionName {
    const char* name;
    OptionFlag flag;
};

const OptionName kOptionNames[] = {
    {"sharedFolder", &CRestOptions::sharedFolder},
    {"mailUpload", &CRestOptions::mailUpload},
    {"auditExtension", &CRestOptions::auditExtension},
    {"document", &CRestOptions::document},
    {"schedule", &CRestOptions::schedule},
    {"bulletin", &CRestOptions::bulletin},
    {"chat", &CRestOptions::chat},
    {"task", &CRestOptions::task},
    {"mailUploadBody", &CRestOptions::mailUploadBody},
    {"autoBlock", &CRestOptions::autoBlock},
};

int EnabledCount(const CRestOptions& o) {
    int n = 0;
    for (const OptionName& name : kOptionNames)
        n += (o.*name.flag) ? 1 : 0;
    return n;
}

TEST_F(RecordsTest, EachOptionNameSetsItsOwnFlag) {
    for (const OptionName& name : kOptionNames) {
        SCOPED_TRACE(name.name);
        const CRestOptions o = ReadOptions(QByteArray("{\"options\":[{\"name\":\"") + name.name +
                                           "\",\"enabled\":true}]}");
        EXPECT_TRUE(o.*name.flag);
        EXPECT_EQ(EnabledCount(o), 1);
    }
}

TEST_F(RecordsTest, AllOptionsInOneReply) {
    QByteArray body = "{\"options\":[";
    for (const OptionName& name : kOptionNames)
        body += QByteArray("{\"enabled\":1,\"name\":\"") + name.name + "\"},";
    body += "{\"name\":\"unknown\",\"enabled\":true}]}";
    EXPECT_EQ(EnabledCount(ReadOptions(body)), 10);
}

TEST_F(RecordsTest, OptionEntriesReadExactly) {
    const struct {
        const char* options;  // the "options" member
        bool chat;
        int enabled;  // flags set in all
    } cases[] = {
        // The later entry wins.
        {"[{\"name\":\"chat\",\"enabled\":true},{\"name\":\"chat\",\"enabled\":false}]", false, 0},
        {"[{\"name\":\"chat\",\"enabled\":false},{\"name\":\"chat\",\"enabled\":true}]", true, 1},
        {"[{\"name\":\"Chat\",\"enabled\":true}]", false, 0},
        {"[{\"name\":\"chat \",\"enabled\":true}]", false, 0},
        // "mailUpload" is a prefix of "mailUploadBody": whole texts only.
        {"[{\"name\":\"mailUploadBody\",\"enabled\":true},{\"name\":\"chatter\",\"enabled\":true}]",
         false, 1},
        {"[{\"name\":\"chat\",\"enabled\":\"no\"}]", true, 1},
        {"[{\"name\":\"chat\",\"enabled\":0}]", false, 0},
        {"[{\"name\":\"chat\"}]", false, 0},
        {"[\"chat\",true,[{\"name\":\"chat\"}]]", false, 0},
        {"{\"name\":\"chat\",\"enabled\":true}", false, 0},
    };
    for (const auto& c : cases) {
        const CRestOptions o = ReadOptions(QByteArray("{\"options\":") + c.options + "}");
        EXPECT_EQ(o.chat, c.chat) << c.options;
        EXPECT_EQ(EnabledCount(o), c.enabled) << c.options;
    }
    EXPECT_EQ(EnabledCount(ReadOptions("{\"chat\":true}")), 0);
}

// ---------------------------------------------------------------------------
// Automatic block

const char kBlockedDetails[] =
    "\"duration\":12.5,\"userAgent\":\"Microsoft-WebDAV-MiniRedir/10.0\","
    "\"userCode\":\"u001\",\"inSize\":100,\"outSize\":200.9,\"when\":\"2024-02-08 10:00\","
    "\"path\":\"/Docs\",\"method\":\"PROPFIND\",\"from\":\"192.0.2.1\",\"uri\":\"/dav/Docs\"";

QString BlockFields(const CRestAutoBlock& b) {
    return Fields(b.blockCount, b.blocked, b.duration, b.userAgent, b.userCode, b.inSize, b.outSize,
                  b.when, b.path, b.method, b.from, b.uri);
}

TEST_F(RecordsTest, AutoBlockReadsDetailsWhileBlocked) {
    const CRestAutoBlock b = ReadAutoBlock(
        QByteArray("{\"reason\":{\"blockCount\":3,\"blocked\":true,") + kBlockedDetails + "}}");
    EXPECT_EQ(BlockFields(b),
              "3|1|12.5|Microsoft-WebDAV-MiniRedir/10.0|u001|100|200|"
              "2024-02-08 10:00|/Docs|PROPFIND|192.0.2.1|/dav/Docs");
}

TEST_F(RecordsTest, AutoBlockLeavesDetailsEmptyUnlessBlocked) {
    for (const char* blocked : {"false", "0", "\"\"", "null"}) {
        SCOPED_TRACE(blocked);
        const CRestAutoBlock b =
            ReadAutoBlock(QByteArray("{\"reason\":{\"blockCount\":2,\"blocked\":") + blocked + "," +
                          kBlockedDetails + ",\"uri\":\"\xff\"}}");
        EXPECT_EQ(BlockFields(b), "2|0|0|||0|0|||||");
    }
}

TEST_F(RecordsTest, AutoBlockMembersLiveInsideReason) {
    for (const char* body :
         {"{\"blockCount\":3,\"blocked\":true,\"userCode\":\"u\"}", "{\"reason\":5}",
          "{\"reason\":\"x\"}", "{\"reason\":[{\"blocked\":true}]}", "{\"reason\":null}"}) {
        const CRestAutoBlock b = ReadAutoBlock(body);
        EXPECT_EQ(Fields(b.blockCount, b.blocked, b.userCode), "0|0|") << body;
    }
}

TEST_F(RecordsTest, AutoBlockNumbersAreTakenAsNumbers) {
    const CRestAutoBlock b = ReadAutoBlock(
        "{\"reason\":{\"blockCount\":\"3\",\"blocked\":\"yes\",\"duration\":\"1.5\","
        "\"inSize\":5e9,\"outSize\":-3.9,\"userAgent\":7}}");
    // 5e9 is held at the largest 32-bit number.
    EXPECT_EQ(BlockFields(b), "0|1|0|7|null|2147483647|-3|null|null|null|null|null");
}

// ---------------------------------------------------------------------------
// Pragma and share id

TEST_F(RecordsTest, PragmaFilesInOrder) {
    const CRestPragma p = ReadPragma(
        "{\"retransmission\":false,\"files\":[\"C:\\\\Data\\\\a.txt\",\"日本.doc\",\"\",1,null]}");
    EXPECT_FALSE(p.retransmission);
    EXPECT_EQ(p.files, (QStringList{QStringLiteral("C:\\Data\\a.txt"), QStringLiteral("日本.doc"),
                                    QString(), QStringLiteral("1"), QStringLiteral("null")}));
}

TEST_F(RecordsTest, PragmaFilesOutsideAnArrayAreIgnored) {
    for (const char* body :
         {"{\"retransmission\":1}", "{\"retransmission\":\"1\",\"files\":\"a\"}",
          "{\"retransmission\":1,\"files\":{\"0\":\"a\"}}", "{\"retransmission\":1,\"files\":null}",
          "{\"retransmission\":1,\"files\":0}"}) {
        const CRestPragma p = ReadPragma(body);
        EXPECT_TRUE(p.retransmission && p.files.isEmpty()) << body;
    }
    EXPECT_THROW(ReadPragma("{\"files\":[\"ok\",\"\xe6\x97\"]}"), CTorval2Exception);
}

TEST_F(RecordsTest, ShareId) {
    EXPECT_EQ(ReadShareId("{\"shareId\":\"Ab3-x9\"}"), QStringLiteral("Ab3-x9"));
    EXPECT_EQ(ReadShareId("{\"shareId\":12345}"), QStringLiteral("12345"));
    EXPECT_EQ(ReadShareId("{\"share\":\"x\"}"), QStringLiteral("null"));
}

// ---------------------------------------------------------------------------
// Every reader against bad bodies

TEST_F(RecordsTest, EveryReaderRefusesWhatIsNoObject) {
    const QByteArray bodies[] = {"",
                                 "[]",
                                 "\"x\"",
                                 "null",
                                 "{\"items\":[",
                                 QByteArray("[").repeated(100000),
                                 QByteArray("{\"reason\":").repeated(100000),
                                 QByteArray("{\"items\":[{\"accessPermission\":").repeated(50000)};
    for (const RestReader& reader : RestReaders()) {
        for (const QByteArray& body : bodies) {
            SCOPED_TRACE(std::string(reader.name) + " " + body.left(40).toStdString());
            EXPECT_THROW(reader.read(body), JsonParseError);
        }
    }
}

TEST_F(RecordsTest, EveryProperPrefixOfAReplyFails) {
    const QByteArray reply = QByteArray("{\"items\":[") + kFileReply + "," + kFolderReply + "]}";
    for (qsizetype length = 0; length < reply.size(); ++length) {
        try {
            ReadItemList(reply.left(length));
            ADD_FAILURE() << "accepted " << length << " bytes";
        } catch (const JsonParseError&) {
        }
    }
    EXPECT_EQ(ReadItemList(reply).size(), 2);
}

}  // namespace
