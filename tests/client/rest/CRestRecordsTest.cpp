#include "CRestRecords.h"
#include "CTorval2Exception.h"
#include "Fields.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

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
// type must pick up its own group only, and permissions only from their object.
QByteArray ItemReply(const char* itemType) {
    return "{\"portalId\":1,\"itemType\":\"" + QByteArray(itemType) +
           "\",\"itemId\":8589934592,\"repositoryId\":2,"
           "\"path\":\"/Docs/年次\",\"parentFolderId\":\"4294967297\","
           "\"parentFolderPath\":\"/Docs\",\"name\":\"年次\",\"notification\":true,"
           "\"creatorUserId\":5,\"creatorUserFamilyName\":\"山田\","
           "\"creatorUserFirstName\":\"太郎\",\"createdTime\":\"2024-02-08T10:00:00.000+09:00\","
           "\"modifierUserId\":6,\"modifierUserFamilyName\":\"佐藤\","
           "\"modifierUserFirstName\":\"花子\",\"modifiedTime\":\"2024-02-09\",\"hidden\":false,"
           "\"canUpdate\":true,"
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
    // Type names match whole and exactly: these read neither group.
    for (const char* type : {"Folder", "file "}) {
        EXPECT_EQ(ItemFields(ReadItem(ItemReply(type))),
                  "1|" + QString(type) + common + "0|1|0|1|0 folder 0|0|0 file 0|0|0||0|0|0|0||")
            << type;
    }
}

TEST_F(RecordsTest, ItemListKeepsArrayOrder) {
    const QList<CRestItem> items =
        ReadItemList(QByteArray("{\"items\":[") + ItemReply("file") + "," + ItemReply("folder") +
                     ",{\"itemType\":\"file\",\"name\":\"c\"},5],\"count\":3}");
    ASSERT_EQ(items.size(), 4);
    EXPECT_EQ(ItemFields(items[0]), ItemFields(ReadItem(ItemReply("file"))));
    EXPECT_EQ(ItemFields(items[1]), ItemFields(ReadItem(ItemReply("folder"))));
    EXPECT_EQ(Fields(items[2].name, items[2].path), "c|null");
    // An element that is no object reads empty.
    EXPECT_EQ(Fields(items[3].itemType, items[3].name, items[3].itemId), "null|null|0");
    // Without an array, no items.
    for (const char* body : {"{\"items\":{}}", "{\"Items\":[{}]}"}) {
        EXPECT_TRUE(ReadItemList(body).isEmpty()) << body;
    }
}

// Text that is not UTF-8 fails in any member that is read, and only there.
TEST_F(RecordsTest, InvalidTextInAReadMemberFails) {
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
    for (const QString& name : kOptionNames) {
        EXPECT_EQ(Enabled(ReadOptions("{\"options\":[{\"name\":\"" + name.toUtf8() +
                                      "\",\"enabled\":true}]}")),
                  name);
    }
    const struct {
        QByteArray options;  // the "options" member
        QString enabled;
    } cases[] = {
        // The later entry wins.
        {"[{\"name\":\"chat\",\"enabled\":true},{\"name\":\"chat\",\"enabled\":false}]", ""},
        {"[{\"name\":\"chat\",\"enabled\":false},{\"name\":\"chat\",\"enabled\":true}]", "chat"},
        {"[{\"name\":\"Chat\",\"enabled\":true}]", ""},
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
    const struct {
        QByteArray body;
        // blockCount|blocked|duration|userAgent|userCode|inSize|outSize|when|path|method|from|uri
        QString fields;
    } cases[] = {
        {"{\"reason\":{\"blockCount\":3,\"blocked\":true," + details + "}}",
         "3|1|12.5|Microsoft-WebDAV-MiniRedir/10.0|u001|100|200|"
         "2024-02-08 10:00|/Docs|PROPFIND|192.0.2.1|/dav/Docs"},
        // Not blocked: the details stay empty, their invalid text included.
        {"{\"reason\":{\"blockCount\":2,\"blocked\":false," + details + ",\"uri\":\"\xff\"}}",
         "2|0|0|||0|0|||||"},
        {"{\"blockCount\":3,\"blocked\":true,\"userCode\":\"u\"}", "0|0|0|||0|0|||||"},
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

}  // namespace
