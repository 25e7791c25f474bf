#include "CTorval2UploadList.h"

#include "ProfileFile.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class FixedClock : public Clock {
public:
    QDateTime time{QDate(2026, 12, 7), QTime(8, 30, 15, 42)};
    QDateTime now() const override { return time; }
};

class UploadListTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("QuillonConfig.ini"));
    FixedClock clock;

    void put(const QByteArray& bytes) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }
    QString value(const QString& key) {
        return ProfileFile::readString("Config", key, "<missing>", path);
    }
    QByteArray content() {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // Stored schedules keep only hour and minute; the rest is today's.
    SystemTime todayAt(quint16 hour, quint16 minute) const {
        SystemTime t = clock.localTime();
        t.hour = hour;
        t.minute = minute;
        return t;
    }
    static UploadJob sample(const QString& name) {
        UploadJob j;
        j.Name = name;
        j.HotFolder = "/home/user/" + name;
        j.OrrinPortalFolder = "/Velmora/" + name;
        j.SyncTime1Type = true;
        j.SyncTime1.hour = 9;
        j.SyncTime1.minute = 5;
        j.SyncTime1AfterStart = "10";
        j.SyncTime1Week = "1111100";
        return j;
    }
};

TEST_F(UploadListTest, ConstructionClearsAllTwentyUploadingMarks) {
    put("[Config]\nisUploading1=1\nHotFolder1=/a\nisUploading7=1\nID=kept\n");
    CTorval2UploadList list(path, clock);
    for (int n = 1; n <= 20; ++n)
        EXPECT_EQ(value(QStringLiteral("isUploading%1").arg(n)), "0") << n;
    EXPECT_EQ(value("ID"), "kept");
}

TEST_F(UploadListTest, GapInNumberingEndsTheListAndSaveDropsTheRest) {
    put("[Config]\n"
        "HotFolder1=/one\nUniqueId1=id1\n"
        "HotFolder2=/two\nUniqueId2=id2\n"
        "Name3=no hot folder\nUniqueId3=id3\n"
        "HotFolder4=/four\nUniqueId4=id4\nName4=orphan\n");
    CTorval2UploadList list(path, clock);
    ASSERT_TRUE(list.Load());
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.GetJob(1)->HotFolder, "/two");
    EXPECT_EQ(list.GetJob(2), nullptr);

    ASSERT_TRUE(list.Save());
    for (int n = 3; n <= 20; ++n) {
        for (const char* k : {"HotFolder%1", "UniqueId%1", "Name%1", "isUploading%1"})
            EXPECT_EQ(value(QString::fromLatin1(k).arg(n)), "<missing>") << k << n;
    }
    EXPECT_EQ(value("UniqueId2"), "id2");
}

TEST_F(UploadListTest, MissingUniqueIdIsMadeAndWrittenDuringLoad) {
    put("[Config]\nHotFolder1=/a\nHotFolder2=/b\nUniqueId2=kept_000_1\n");
    CTorval2UploadList list(path, clock);
    ASSERT_TRUE(list.Load());
    const QString id = list.GetJob(0)->UniqueId;
    // Whole local seconds read as UTC, milliseconds in three digits, a number up to 32767.
    const QRegularExpression form(QStringLiteral("^(\\d+)_(\\d{3})_(\\d{1,5})$"));
    const auto m = form.match(id);
    ASSERT_TRUE(m.hasMatch()) << id.toStdString();
    EXPECT_EQ(m.captured(1).toLongLong(), 1796632215);  // 2026-12-07 08:30:15
    EXPECT_EQ(m.captured(2), "042");
    EXPECT_LE(m.captured(3).toInt(), 32767);
    EXPECT_EQ(value("UniqueId1"), id) << "in the file before Load returned";
    EXPECT_EQ(list.GetJob(1)->UniqueId, "kept_000_1");

    // Ids made in the same millisecond still differ within one list.
    for (int i = 0; i < 19; ++i)
        list.AddJob(sample(QString::number(i)));
    QStringList ids;
    for (int i = 0; i < list.Count(); ++i)
        ids << list.GetJob(i)->UniqueId;
    ids.removeDuplicates();
    EXPECT_EQ(ids.size(), 20);
}

TEST_F(UploadListTest, FullListRefusesAnotherJob) {
    CTorval2UploadList list(path, clock);
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(list.AddJob(sample(QString::number(i))));
    EXPECT_FALSE(list.AddJob(sample("21st")));
    EXPECT_EQ(list.Count(), 20);
    EXPECT_EQ(list.GetJob(19)->Name, "19");
}

TEST_F(UploadListTest, AddedJobStartsAsNeverRun) {
    CTorval2UploadList list(path, clock);
    UploadJob j = sample("x");
    j.isUploading = true;
    j.UniqueId = "caller's";
    j.LastUploadFlag = "成功";
    j.LastUploadTime.year = 2020;
    ASSERT_TRUE(list.AddJob(j));
    const UploadJob* added = list.GetJob(0);
    EXPECT_FALSE(added->isUploading);
    EXPECT_NE(added->UniqueId, "caller's");
    EXPECT_EQ(added->LastUploadFlag, "（未）");
    EXPECT_TRUE(added->LastUploadTime.isZero());
    EXPECT_EQ(added->Name, "x");
    EXPECT_FALSE(QFile::exists(path) && content().contains("HotFolder"))
        << "nothing written before Save";
}

TEST_F(UploadListTest, LegacyScheduleLoadsForEveryJobAndStaysInTheFile) {
    put("[Config]\nSyncTime1Hour=7\nSyncTime1Minute=45\nSyncTime2Enable=ON\n"
        "SyncTime2Hour=19\nSyncTime2Minute=0\n"
        "HotFolder1=/a\nUniqueId1=a\nHotFolder2=/b\nUniqueId2=b\nSyncTime12Type=\n");
    CTorval2UploadList list(path, clock);
    ASSERT_TRUE(list.Load());
    ASSERT_EQ(list.Count(), 2);
    for (int i = 0; i < 2; ++i) {
        const UploadJob* j = list.GetJob(i);
        EXPECT_TRUE(j->SyncTime1Type);
        EXPECT_TRUE(j->SyncTime2Enable);
        EXPECT_EQ(j->SyncTime1, todayAt(7, 45));
        EXPECT_EQ(j->SyncTime2, todayAt(19, 0));
        EXPECT_EQ(j->SyncTime1AfterStart + j->SyncTime2AfterStart, "11");
        EXPECT_EQ(j->SyncTime1Week + j->SyncTime2Week, "11111111111111");
    }
    ASSERT_TRUE(list.Save());
    EXPECT_EQ(value("SyncTime12Type"), "1");
    EXPECT_EQ(value("SyncTime11Hour"), "7");
    EXPECT_EQ(value("SyncTime22Week"), "1111111");
    EXPECT_EQ(value("SyncTime1Hour"), "7") << "legacy keys stay";
    EXPECT_EQ(value("SyncTime2Enable"), "ON");
}

TEST_F(UploadListTest, ValueFormsAreReadStrictly) {
    put("[Config]\nHotFolder1=/a\nUniqueId1=a\nSyncTime11Type=1\nSyncTime21Type=2\n"
        "SyncTime21Enable=on\nFolder1CompressionEnable=ON\nFolder1EvacuationEnable=On\n"
        "isUploading1=1\nlastuploadtime1=2013/04/05 06:07\nLastUploadFlag1=成功\n"
        "LASTUPLOADENDTIME1=2013/4\n"
        "HotFolder2=/b\nUniqueId2=b\nSyncTime12Type=01\nLastUploadFlag2=成功\n"
        "LastUploadEndTime2=2014/05/06 07:08\n");
    CTorval2UploadList list(path, clock);  // clears the uploading marks first
    ASSERT_TRUE(list.Load());
    const UploadJob* a = list.GetJob(0);
    EXPECT_FALSE(a->isUploading);
    EXPECT_TRUE(a->SyncTime1Type);
    EXPECT_FALSE(a->SyncTime2Type) << "only the value 1 is true";
    EXPECT_FALSE(a->SyncTime2Enable) << "lower-case on is off";
    EXPECT_TRUE(a->CompressionEnable);
    EXPECT_FALSE(a->EvacuationEnable);
    EXPECT_EQ(a->SyncTime1Week, "") << "missing week key is an empty mask";
    EXPECT_EQ(a->LastUploadTime,
              (SystemTime{.year = 2013, .month = 4, .day = 5, .hour = 6, .minute = 7}));
    EXPECT_EQ(a->LastUploadFlag, "成功");
    // A short stored time: the parts that are missing read as 0.
    EXPECT_EQ(a->LastUploadEndTime, (SystemTime{.year = 2013, .month = 4}));

    const UploadJob* b = list.GetJob(1);
    EXPECT_TRUE(b->SyncTime1Type);
    EXPECT_EQ(b->LastUploadFlag, "（未）") << "no start time: never run, whatever the flag says";
    EXPECT_TRUE(b->LastUploadTime.isZero());
    EXPECT_EQ(b->LastUploadEndTime.year, 2014);
}

TEST_F(UploadListTest, SaveAndLoadRoundTripEveryField) {
    CTorval2UploadList list(path, clock);
    UploadJob j;
    j.Name = "経理 月次";
    j.HotFolder = "/home/山田/経理";
    j.EvacuationFolder = "/home/山田/済";
    j.ErrorFolder = "/home/山田/エラー";
    j.OrrinPortalFolder = "/Velmora/経理";
    j.CompressionEnable = true;
    j.CompressionFilename = "月次";
    j.EvacuationEnable = true;
    j.Delete7DaysEnable = true;
    j.SyncTime1Type = false;
    j.SyncTime1AfterStart = "15";
    j.SyncTime1Week = "1010101";
    j.SyncTime1 = {.hour = 23, .minute = 59};
    j.SyncTime2Enable = true;
    j.SyncTime2Type = true;
    j.SyncTime2AfterStart = "0";
    j.SyncTime2Week = "0000011";
    j.SyncTime2 = {.hour = 0, .minute = 1};
    ASSERT_TRUE(list.AddJob(j));
    const QString id = list.GetJob(0)->UniqueId;
    list.GetJob(0)->LastUploadTime = {.year = 2026, .month = 1, .day = 2, .hour = 3, .minute = 4};
    list.GetJob(0)->LastUploadFlag = "失敗";
    ASSERT_TRUE(list.Save());

    // The twenty-five keys of a job, in their order.
    const QByteArray file = content();
    const char* keys =
        "isUploading1= UniqueId1= Name1= HotFolder1= SyncTime11Type= SyncTime11Hour= "
        "SyncTime11Minute= SyncTime11AfterStart= SyncTime11Week= SyncTime21Enable= "
        "SyncTime21Type= SyncTime21Hour= SyncTime21Minute= SyncTime21AfterStart= "
        "SyncTime21Week= Folder1CompressionEnable= Folder1EvacuationEnable= OrrinPortalFolder1= "
        "ErrorFolder1= EvacuationFolder1= Folder1Delete7DaysEnable= Folder1CompressionFilename= "
        "LastUploadTime1= LastUploadEndTime1= LastUploadFlag1=";
    const QList<QByteArray> order = QByteArray(keys).split(' ');
    ASSERT_EQ(order.size(), 25);
    qsizetype at = -1;
    for (const QByteArray& k : order) {
        const qsizetype next = file.indexOf("\n" + k);
        ASSERT_GT(next, at) << k.constData();
        at = next;
    }
    EXPECT_TRUE(file.contains("\nLastUploadEndTime1=0000/00/00 00:00\n"));
    EXPECT_TRUE(file.contains("\nLastUploadTime1=2026/01/02 03:04\n"));
    EXPECT_TRUE(file.contains("\nSyncTime11Type=0\n"));
    EXPECT_TRUE(file.contains("\nFolder1CompressionEnable=ON\n"));

    CTorval2UploadList again(path, clock);
    ASSERT_TRUE(again.Load());
    ASSERT_EQ(again.Count(), 1);
    UploadJob expected = *list.GetJob(0);
    expected.SyncTime1 = todayAt(23, 59);
    expected.SyncTime2 = todayAt(0, 1);
    EXPECT_TRUE(*again.GetJob(0) == expected);
    EXPECT_EQ(again.GetJob(0)->UniqueId, id);
}

TEST_F(UploadListTest, RemovalRenumbersAndKeepsIdentities) {
    CTorval2UploadList list(path, clock);
    for (int i = 1; i <= 5; ++i)
        list.AddJob(sample(QString::number(i)));
    ASSERT_TRUE(list.Save());
    const QString id3 = list.GetJob(2)->UniqueId;
    EXPECT_FALSE(list.RemoveJob(5));
    EXPECT_FALSE(list.RemoveJob(-1));
    ASSERT_TRUE(list.RemoveJob(1));
    ASSERT_TRUE(list.Save());
    EXPECT_EQ(value("Name2"), "3");
    EXPECT_EQ(value("UniqueId2"), id3);
    EXPECT_EQ(value("Name4"), "5");
    EXPECT_EQ(value("Name5"), "<missing>");
    EXPECT_EQ(value("HotFolder5"), "<missing>");

    // The setters now write the key under the job's new number.
    ASSERT_TRUE(list.SetLastUploadFlag(id3, "成功"));
    ASSERT_TRUE(list.SetUploading(id3, true));
    EXPECT_EQ(value("LastUploadFlag2"), "成功");
    EXPECT_EQ(value("isUploading2"), "1");
    EXPECT_EQ(value("LastUploadFlag3"), "（未）");
    EXPECT_TRUE(list.GetJob(1)->isUploading);
}

TEST_F(UploadListTest, SettersWithUnknownIdsChangeNothing) {
    CTorval2UploadList list(path, clock);
    list.AddJob(sample("a"));
    ASSERT_TRUE(list.Save());
    const QByteArray before = content();
    SystemTime t;
    t.year = 2030;
    EXPECT_TRUE(list.SetLastUploadFlag("no-such-id", "成功"));
    EXPECT_TRUE(list.SetUploading("no-such-id", true));
    EXPECT_TRUE(list.SetLastUploadTime("no-such-id", t));
    EXPECT_TRUE(list.SetLastUploadEndTime("", t));
    EXPECT_EQ(content(), before);
}

TEST_F(UploadListTest, SaveKeepsOtherWritersKeysAndFailsWholly) {
    CTorval2UploadList list(path, clock);
    list.AddJob(sample("a"));
    ASSERT_TRUE(list.Save());
    // Another program changes its own key between Load and Save.
    ASSERT_TRUE(ProfileFile::writeString("Config", "Password", "changed meanwhile", path));
    list.GetJob(0)->Name = "renamed";
    ASSERT_TRUE(list.Save());
    EXPECT_EQ(value("Password"), "changed meanwhile");
    EXPECT_EQ(value("Name1"), "renamed");

    // A job text that would break the file refuses the whole save.
    const QByteArray before = content();
    list.GetJob(0)->Name = "two\nlines";
    list.AddJob(sample("b"));
    EXPECT_FALSE(list.Save());
    EXPECT_EQ(content(), before);

    const QString elsewhere = dir.filePath("gone/QuillonConfig.ini");
    CTorval2UploadList orphan(elsewhere, clock);
    orphan.AddJob(sample("a"));
    EXPECT_FALSE(orphan.Save());
}

TEST_F(UploadListTest, AccessorsGuardTheirIndexes) {
    CTorval2UploadList list(path, clock);
    EXPECT_EQ(list.GetJob(0), nullptr);
    list.AddJob(sample("a"));
    UploadJob* first = list.GetJob(0);
    EXPECT_EQ(list.CurrentJob(), first);
    EXPECT_EQ(list.GetJob(1), nullptr);
    EXPECT_EQ(list.CurrentJob(), nullptr);
    UploadJob copy;
    EXPECT_TRUE(CTorval2UploadList::CopyJob(&copy, *first));
    EXPECT_TRUE(copy == *first);
    EXPECT_FALSE(CTorval2UploadList::CopyJob(nullptr, *first));
    list.GetJob(0);
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.CurrentJob(), nullptr);
}

TEST_F(UploadListTest, MissingOrEmptyFileIsAnEmptyList) {
    QFile::remove(path);
    CTorval2UploadList list(dir.filePath("sub/none.ini"), clock);
    EXPECT_TRUE(list.Load());
    EXPECT_EQ(list.Count(), 0);
    put("");
    CTorval2UploadList empty(path, clock);
    EXPECT_TRUE(empty.Load());
    EXPECT_EQ(empty.Count(), 0);
}

}  // namespace
