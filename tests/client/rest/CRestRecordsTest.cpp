#include "CRestJsonParser.h"
#include "CRestRecords.h"
#include "CTorval2Exception.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <ostream>
#include <string>

static void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

class RecordsTest : public ::testing::Test {
protected:
    TempDataHome home;
};

// ---------------------------------------------------------------------------
// Portal and user

TEST_F(RecordsTest, PortalReadsEveryField) {
    const CRestPortal p = ReadPortal(
        "{\"portalId\":12,\"portalCode\":\"velmora\",\"name\":\"ヴェルモラ\","
        "\"storageQuotaSize\":5497558138880,\"storageUsedSize\":\"4294967296\","
        "\"locked\":false,\"extra\":[1]}");
    EXPECT_EQ(p.portalId, 12);
    EXPECT_EQ(p.portalCode, QStringLiteral("velmora"));
    EXPECT_EQ(p.name, QStringLiteral("ヴェルモラ"));
    // Sizes beyond 32 bits are kept whole.
    EXPECT_EQ(p.storageQuotaSize, Q_INT64_C(5497558138880));
    EXPECT_EQ(p.storageUsedSize, Q_INT64_C(4294967296));
    EXPECT_FALSE(p.locked);
}

TEST_F(RecordsTest, PortalLockedFlag) {
    EXPECT_FALSE(ReadPortal("{\"portalId\":1}").locked);
    EXPECT_TRUE(ReadPortal("{\"locked\":\"no\"}").locked);
    EXPECT_FALSE(ReadPortal("{\"locked\":\"\"}").locked);
    EXPECT_TRUE(ReadPortal("{\"locked\":1}").locked);
    // Keys match exactly.
    EXPECT_FALSE(ReadPortal("{\"Locked\":true}").locked);
}

TEST_F(RecordsTest, PortalWithoutMembers) {
    const CRestPortal p = ReadPortal("{}");
    EXPECT_EQ(p.portalId, 0);
    EXPECT_EQ(p.portalCode, QStringLiteral("null"));
    EXPECT_EQ(p.name, QStringLiteral("null"));
    EXPECT_EQ(p.storageQuotaSize, 0);
    EXPECT_EQ(p.storageUsedSize, 0);
}

TEST_F(RecordsTest, UserReadsEveryField) {
    const CRestUser u = ReadUser(
        "{\"portalId\":3,\"userId\":\"77\",\"userType\":\"ADMIN\",\"userCode\":\"u001\","
        "\"familyName\":\"山田\",\"firstName\":\"太郎\",\"familyNameKana\":\"ヤマダ\","
        "\"firstNameKana\":\"タロウ\",\"mailAddress\":\"t@example.jp\",\"phone1\":\"03\","
        "\"phone2\":null,\"phone3\":\"\",\"hidden\":1,\"locked\":false}");
    EXPECT_EQ(u.portalId, 3);
    EXPECT_EQ(u.userId, 77);
    EXPECT_EQ(u.userType, QStringLiteral("ADMIN"));
    EXPECT_EQ(u.userCode, QStringLiteral("u001"));
    EXPECT_EQ(u.familyName, QStringLiteral("山田"));
    EXPECT_EQ(u.firstName, QStringLiteral("太郎"));
    EXPECT_EQ(u.familyNameKana, QStringLiteral("ヤマダ"));
    EXPECT_EQ(u.firstNameKana, QStringLiteral("タロウ"));
    EXPECT_EQ(u.mailAddress, QStringLiteral("t@example.jp"));
    EXPECT_EQ(u.phone1, QStringLiteral("03"));
    EXPECT_EQ(u.phone2, QStringLiteral("null"));
    EXPECT_EQ(u.phone3, QString());
    EXPECT_TRUE(u.hidden);
    EXPECT_FALSE(u.locked);
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

TEST_F(RecordsTest, FolderReadsCommonAndFolderFieldsOnly) {
    const CRestItem f = ReadItem(kFolderReply);
    EXPECT_EQ(f.portalId, 1);
    EXPECT_EQ(f.itemType, QStringLiteral("folder"));
    EXPECT_EQ(f.itemId, Q_INT64_C(8589934592));
    EXPECT_EQ(f.repositoryId, 0);
    EXPECT_EQ(f.path, QStringLiteral("/Docs/年次"));
    EXPECT_EQ(f.parentFolderId, Q_INT64_C(4294967297));
    EXPECT_EQ(f.parentFolderPath, QStringLiteral("/Docs"));
    EXPECT_EQ(f.name, QStringLiteral("年次"));
    EXPECT_TRUE(f.notification);
    EXPECT_EQ(f.creatorUserId, 5);
    EXPECT_EQ(f.creatorUserFamilyName, QStringLiteral("山田"));
    EXPECT_EQ(f.creatorUserFirstName, QStringLiteral("太郎"));
    EXPECT_EQ(f.createdTime, QStringLiteral("2024-02-08T10:00:00.000+09:00"));
    EXPECT_EQ(f.modifierUserId, 6);
    EXPECT_EQ(f.modifierUserFamilyName, QStringLiteral("佐藤"));
    EXPECT_EQ(f.modifierUserFirstName, QStringLiteral("花子"));
    EXPECT_EQ(f.modifiedTime, QStringLiteral("2024-02-09T11:30:00.000+09:00"));
    EXPECT_FALSE(f.hidden);
    EXPECT_TRUE(f.canCreate);
    EXPECT_TRUE(f.canRead);
    EXPECT_FALSE(f.canUpdate);
    EXPECT_TRUE(f.canDelete);
    EXPECT_FALSE(f.canAdminister);
    EXPECT_TRUE(f.autoRevision);
    EXPECT_EQ(f.childFolderCount, 3);
    EXPECT_EQ(f.childFileCount, 12);
    // The file group stays empty, its invalid text included.
    EXPECT_EQ(f.fileSize, 0);
    EXPECT_FALSE(f.revisionControlled);
    EXPECT_EQ(f.latestRevisionNumber, 0);
    EXPECT_EQ(f.revisionRetentionLimitType, QString());
    EXPECT_EQ(f.revisionRetentionSize, 0);
    EXPECT_EQ(f.revisionRetentionDuration, 0);
    EXPECT_FALSE(f.locked);
    EXPECT_EQ(f.lockerUserId, 0);
    EXPECT_EQ(f.lockerUserFamilyName, QString());
    EXPECT_EQ(f.lockerUserFirstName, QString());
}

TEST_F(RecordsTest, FileReadsCommonAndFileFieldsOnly) {
    const CRestItem f = ReadItem(kFileReply);
    EXPECT_EQ(f.itemType, QStringLiteral("file"));
    EXPECT_EQ(f.itemId, 31);
    EXPECT_EQ(f.repositoryId, 2);
    EXPECT_EQ(f.parentFolderId, 30);
    EXPECT_EQ(f.name, QStringLiteral("a b.txt"));
    EXPECT_TRUE(f.hidden);
    // canCreate belongs to folders, whatever the permission says.
    EXPECT_FALSE(f.canCreate);
    EXPECT_TRUE(f.canRead);
    EXPECT_TRUE(f.canUpdate);
    EXPECT_FALSE(f.canDelete);
    EXPECT_TRUE(f.canAdminister);
    EXPECT_FALSE(f.autoRevision);
    EXPECT_EQ(f.childFolderCount, 0);
    EXPECT_EQ(f.childFileCount, 0);
    EXPECT_EQ(f.fileSize, Q_INT64_C(5368709120));  // 5 GiB
    EXPECT_TRUE(f.revisionControlled);
    EXPECT_EQ(f.latestRevisionNumber, 4);
    EXPECT_EQ(f.revisionRetentionLimitType, QStringLiteral("COUNT"));
    EXPECT_EQ(f.revisionRetentionSize, 10);
    EXPECT_EQ(f.revisionRetentionDuration, 30);
    EXPECT_TRUE(f.locked);
    EXPECT_EQ(f.lockerUserId, 9);
    EXPECT_EQ(f.lockerUserFamilyName, QStringLiteral("鈴木"));
    EXPECT_EQ(f.lockerUserFirstName, QStringLiteral("一郎"));
}

struct ItemTypeCase {
    const char* label;
    const char* itemType;  // JSON value, or nullptr for no member
    QString text;
};

void PrintTo(const ItemTypeCase& c, std::ostream* os) {
    *os << c.label;
}

class OtherItemTypeTest : public RecordsTest, public ::testing::WithParamInterface<ItemTypeCase> {};

TEST_P(OtherItemTypeTest, ReadsNeitherGroup) {
    QByteArray body =
        "{\"accessPermission\":{\"canCreate\":true,\"canRead\":true},"
        "\"childFolderCount\":3,\"autoRevision\":true,\"fileSize\":7,"
        "\"locked\":true,\"revisionRetentionLimitType\":\"COUNT\",\"name\":\"n\"";
    if (GetParam().itemType)
        body += QByteArray(",\"itemType\":") + GetParam().itemType;
    body += "}";
    const CRestItem item = ReadItem(body);
    EXPECT_EQ(item.itemType, GetParam().text);
    EXPECT_EQ(item.name, QStringLiteral("n"));
    EXPECT_TRUE(item.canRead);
    EXPECT_FALSE(item.canCreate);
    EXPECT_EQ(item.childFolderCount, 0);
    EXPECT_FALSE(item.autoRevision);
    EXPECT_EQ(item.fileSize, 0);
    EXPECT_FALSE(item.locked);
    EXPECT_EQ(item.revisionRetentionLimitType, QString());
}

INSTANTIATE_TEST_SUITE_P(
    Values, OtherItemTypeTest,
    ::testing::Values(ItemTypeCase{"Missing", nullptr, QStringLiteral("null")},
                      ItemTypeCase{"Capital", "\"Folder\"", QStringLiteral("Folder")},
                      ItemTypeCase{"Upper", "\"FILE\"", QStringLiteral("FILE")},
                      ItemTypeCase{"Padded", "\"folder \"", QStringLiteral("folder ")},
                      ItemTypeCase{"Link", "\"link\"", QStringLiteral("link")},
                      ItemTypeCase{"Array", "[\"folder\"]", QStringLiteral("array")}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(RecordsTest, PermissionsOutsideAnObjectReadAsFalse) {
    for (const char* permission : {"5", "true", "\"canRead\"", "[{\"canRead\":true}]", "null"}) {
        SCOPED_TRACE(permission);
        const CRestItem item =
            ReadItem(QByteArray("{\"itemType\":\"folder\",\"canRead\":true,\"accessPermission\":") +
                     permission + "}");
        // Top-level members of the same names do not count either.
        EXPECT_FALSE(item.canCreate);
        EXPECT_FALSE(item.canRead);
        EXPECT_FALSE(item.canUpdate);
        EXPECT_FALSE(item.canDelete);
        EXPECT_FALSE(item.canAdminister);
    }
}

TEST_F(RecordsTest, ItemListKeepsArrayOrder) {
    const QByteArray body = QByteArray("{\"items\":[") + kFileReply + "," + kFolderReply +
                            ",{\"itemType\":\"file\",\"name\":\"c\"}],\"count\":3}";
    const QList<CRestItem> items = ReadItemList(body);
    ASSERT_EQ(items.size(), 3);
    EXPECT_EQ(items[0].name, QStringLiteral("a b.txt"));
    EXPECT_EQ(items[0].fileSize, Q_INT64_C(5368709120));
    EXPECT_FALSE(items[0].canCreate);
    EXPECT_EQ(items[1].name, QStringLiteral("年次"));
    EXPECT_TRUE(items[1].canCreate);
    EXPECT_EQ(items[1].fileSize, 0);
    EXPECT_EQ(items[2].name, QStringLiteral("c"));
    EXPECT_EQ(items[2].path, QStringLiteral("null"));
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
    for (const CRestItem& item : items) {
        EXPECT_EQ(item.itemType, QStringLiteral("null"));
        EXPECT_EQ(item.name, QStringLiteral("null"));
        EXPECT_EQ(item.itemId, 0);
    }
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

struct OptionsCase {
    const char* label;
    const char* body;
    bool chat;
    int enabled;  // flags set in all
};

void PrintTo(const OptionsCase& c, std::ostream* os) {
    *os << c.label;
}

class OptionsTest : public RecordsTest, public ::testing::WithParamInterface<OptionsCase> {};

TEST_P(OptionsTest, ReadsChat) {
    const CRestOptions o = ReadOptions(GetParam().body);
    EXPECT_EQ(o.chat, GetParam().chat);
    EXPECT_EQ(EnabledCount(o), GetParam().enabled);
}

INSTANTIATE_TEST_SUITE_P(
    Values, OptionsTest,
    ::testing::Values(
        OptionsCase{"LaterEntryWins",
                    "{\"options\":[{\"name\":\"chat\",\"enabled\":true},"
                    "{\"name\":\"chat\",\"enabled\":false}]}",
                    false, 0},
        OptionsCase{"LaterEnabledWins",
                    "{\"options\":[{\"name\":\"chat\",\"enabled\":false},"
                    "{\"name\":\"chat\",\"enabled\":true}]}",
                    true, 1},
        OptionsCase{"CaseMatters", "{\"options\":[{\"name\":\"Chat\",\"enabled\":true}]}", false,
                    0},
        OptionsCase{"WholeName", "{\"options\":[{\"name\":\"chat \",\"enabled\":true}]}", false, 0},
        // "mailUpload" is a prefix of "mailUploadBody": whole texts only.
        OptionsCase{"PrefixName",
                    "{\"options\":[{\"name\":\"mailUploadBody\",\"enabled\":true},"
                    "{\"name\":\"chatter\",\"enabled\":true}]}",
                    false, 1},
        OptionsCase{"EnabledString", "{\"options\":[{\"name\":\"chat\",\"enabled\":\"no\"}]}", true,
                    1},
        OptionsCase{"EnabledZero", "{\"options\":[{\"name\":\"chat\",\"enabled\":0}]}", false, 0},
        OptionsCase{"EnabledMissing", "{\"options\":[{\"name\":\"chat\"}]}", false, 0},
        OptionsCase{"NotObjects", "{\"options\":[\"chat\",true,[{\"name\":\"chat\"}]]}", false, 0},
        OptionsCase{"NoArray", "{\"options\":{\"name\":\"chat\",\"enabled\":true}}", false, 0},
        OptionsCase{"Missing", "{\"chat\":true}", false, 0}),
    [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------
// Automatic block

const char kBlockedDetails[] =
    "\"duration\":12.5,\"userAgent\":\"Microsoft-WebDAV-MiniRedir/10.0\","
    "\"userCode\":\"u001\",\"inSize\":100,\"outSize\":200.9,\"when\":\"2024-02-08 10:00\","
    "\"path\":\"/Docs\",\"method\":\"PROPFIND\",\"from\":\"192.0.2.1\",\"uri\":\"/dav/Docs\"";

TEST_F(RecordsTest, AutoBlockReadsDetailsWhileBlocked) {
    const CRestAutoBlock b = ReadAutoBlock(
        QByteArray("{\"reason\":{\"blockCount\":3,\"blocked\":true,") + kBlockedDetails + "}}");
    EXPECT_EQ(b.blockCount, 3);
    EXPECT_TRUE(b.blocked);
    EXPECT_EQ(b.duration, 12.5);
    EXPECT_EQ(b.userAgent, QStringLiteral("Microsoft-WebDAV-MiniRedir/10.0"));
    EXPECT_EQ(b.userCode, QStringLiteral("u001"));
    EXPECT_EQ(b.inSize, 100);
    EXPECT_EQ(b.outSize, 200);
    EXPECT_EQ(b.when, QStringLiteral("2024-02-08 10:00"));
    EXPECT_EQ(b.path, QStringLiteral("/Docs"));
    EXPECT_EQ(b.method, QStringLiteral("PROPFIND"));
    EXPECT_EQ(b.from, QStringLiteral("192.0.2.1"));
    EXPECT_EQ(b.uri, QStringLiteral("/dav/Docs"));
}

TEST_F(RecordsTest, AutoBlockLeavesDetailsEmptyUnlessBlocked) {
    for (const char* blocked : {"false", "0", "\"\"", "null"}) {
        SCOPED_TRACE(blocked);
        const CRestAutoBlock b =
            ReadAutoBlock(QByteArray("{\"reason\":{\"blockCount\":2,\"blocked\":") + blocked + "," +
                          kBlockedDetails + ",\"uri\":\"\xff\"}}");
        EXPECT_EQ(b.blockCount, 2);
        EXPECT_FALSE(b.blocked);
        EXPECT_EQ(b.duration, 0.0);
        EXPECT_EQ(b.userAgent, QString());
        EXPECT_EQ(b.userCode, QString());
        EXPECT_EQ(b.inSize, 0);
        EXPECT_EQ(b.outSize, 0);
        EXPECT_EQ(b.when, QString());
        EXPECT_EQ(b.path, QString());
        EXPECT_EQ(b.method, QString());
        EXPECT_EQ(b.from, QString());
        EXPECT_EQ(b.uri, QString());
    }
}

TEST_F(RecordsTest, AutoBlockMembersLiveInsideReason) {
    const CRestAutoBlock top =
        ReadAutoBlock("{\"blockCount\":3,\"blocked\":true,\"userCode\":\"u\"}");
    EXPECT_EQ(top.blockCount, 0);
    EXPECT_FALSE(top.blocked);
    EXPECT_EQ(top.userCode, QString());
    for (const char* reason : {"5", "\"x\"", "[{\"blocked\":true}]", "null"}) {
        const CRestAutoBlock b = ReadAutoBlock(QByteArray("{\"reason\":") + reason + "}");
        EXPECT_FALSE(b.blocked) << reason;
        EXPECT_EQ(b.blockCount, 0) << reason;
    }
}

TEST_F(RecordsTest, AutoBlockNumbersAreTakenAsNumbers) {
    const CRestAutoBlock b = ReadAutoBlock(
        "{\"reason\":{\"blockCount\":\"3\",\"blocked\":\"yes\",\"duration\":\"1.5\","
        "\"inSize\":5e9,\"outSize\":-3.9,\"userAgent\":7}}");
    EXPECT_EQ(b.blockCount, 0);
    EXPECT_TRUE(b.blocked);
    EXPECT_EQ(b.duration, 0.0);
    EXPECT_EQ(b.inSize, std::numeric_limits<qint32>::max());
    EXPECT_EQ(b.outSize, -3);
    EXPECT_EQ(b.userAgent, QStringLiteral("7"));
    EXPECT_EQ(b.path, QStringLiteral("null"));
}

// ---------------------------------------------------------------------------
// Pragma and share id

TEST_F(RecordsTest, PragmaNumericFlagWithoutFiles) {
    const CRestPragma p = ReadPragma("{\"retransmission\":1}");
    EXPECT_TRUE(p.retransmission);
    EXPECT_TRUE(p.files.isEmpty());
}

TEST_F(RecordsTest, PragmaFilesInOrder) {
    const CRestPragma p = ReadPragma(
        "{\"retransmission\":false,\"files\":[\"C:\\\\Data\\\\a.txt\",\"日本.doc\",\"\",1,null]}");
    EXPECT_FALSE(p.retransmission);
    EXPECT_EQ(p.files, (QStringList{QStringLiteral("C:\\Data\\a.txt"), QStringLiteral("日本.doc"),
                                    QString(), QStringLiteral("1"), QStringLiteral("null")}));
}

TEST_F(RecordsTest, PragmaFilesOutsideAnArrayAreIgnored) {
    for (const char* files : {"\"a.txt\"", "{\"0\":\"a\"}", "null", "0"}) {
        EXPECT_TRUE(ReadPragma(QByteArray("{\"retransmission\":\"1\",\"files\":") + files + "}")
                        .files.isEmpty())
            << files;
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

struct Reader {
    const char* name;
    std::function<void(const QByteArray&)> read;
};

const Reader kReaders[] = {
    {"portal", [](const QByteArray& b) { ReadPortal(b); }},
    {"user", [](const QByteArray& b) { ReadUser(b); }},
    {"item", [](const QByteArray& b) { ReadItem(b); }},
    {"items", [](const QByteArray& b) { ReadItemList(b); }},
    {"options", [](const QByteArray& b) { ReadOptions(b); }},
    {"autoBlock", [](const QByteArray& b) { ReadAutoBlock(b); }},
    {"pragma", [](const QByteArray& b) { ReadPragma(b); }},
    {"shareId", [](const QByteArray& b) { ReadShareId(b); }},
};

TEST_F(RecordsTest, EveryReaderRefusesWhatIsNoObject) {
    const QByteArray bodies[] = {"",
                                 "[]",
                                 "\"x\"",
                                 "null",
                                 "{\"items\":[",
                                 QByteArray("[").repeated(100000),
                                 QByteArray("{\"reason\":").repeated(100000),
                                 QByteArray("{\"items\":[{\"accessPermission\":").repeated(50000)};
    for (const Reader& reader : kReaders) {
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
