#include "CTorval2UploadList.h"

#include "ProfileFile.h"
#include "TaskProgress.h"

#include <gtest/gtest.h>

#include "Fields.h"
#include "TestSupport.h"

namespace {

class UploadListTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("QuillonConfig.ini"));
    FixedClock clock{QDateTime(QDate(2026, 12, 7), QTime(8, 30, 15, 42))};

    QString value(const QString& key) {
        return ProfileFile::readString("Config", key, "<missing>", path);
    }
    static UploadJob sample(const QString& name) {
        UploadJob j;
        j.Name = name;
        j.HotFolder = "/home/user/" + name;
        j.SyncTime1 = {.hour = 9, .minute = 5};
        return j;
    }
};

// The loaded jobs, one line each: hot folder|id|the flags uploading, schedule
// 1 type, schedule 2 on, schedule 2 type, compression, evacuation|schedule
// times|after-start values|weeks|last run's start, end and flag.
QString ListText(CTorval2UploadList& list) {
    QStringList jobs;
    for (int i = 0; i < list.Count(); ++i) {
        const UploadJob& j = *list.GetJob(i);
        const auto hhmm = [](const SystemTime& t) {
            return QTime(t.hour, t.minute).toString(u"HH:mm");
        };
        jobs << Fields(j.HotFolder, j.UniqueId,
                       Fields(j.isUploading, j.SyncTime1Type, j.SyncTime2Enable, j.SyncTime2Type,
                              j.CompressionEnable, j.EvacuationEnable)
                           .remove('|'),
                       hhmm(j.SyncTime1) + " " + hhmm(j.SyncTime2),
                       j.SyncTime1AfterStart + " " + j.SyncTime2AfterStart,
                       j.SyncTime1Week + " " + j.SyncTime2Week,
                       CTorval2UploadList::FormatTime(j.LastUploadTime) + " " +
                           CTorval2UploadList::FormatTime(j.LastUploadEndTime) + " " +
                           j.LastUploadFlag);
    }
    return jobs.join('\n');
}

TEST_F(UploadListTest, LoadReadsTheJobsAsStored) {
    const QString never = "0000/00/00 00:00 0000/00/00 00:00 （未）";
    // No schedule keys: the legacy schedule with nothing in it.
    const QString blank = "010100|00:00 00:00|1 1|1111111 1111111|" + never;
    const struct {
        QByteArray file;  // empty: none
        QString jobs;
    } cases[] = {
        {"", ""},
        // A gap in the numbering ends the list.
        {"[Config]\nHotFolder1=/one\nUniqueId1=id1\nHotFolder2=/two\nUniqueId2=id2\n"
         "Name3=no hot folder\nUniqueId3=id3\nHotFolder4=/four\nUniqueId4=id4\n",
         "/one|id1|" + blank + "\n/two|id2|" + blank},
        // Earlier versions hold one schedule of times of day for all jobs.
        {"[Config]\nSyncTime1Hour=7\nSyncTime1Minute=45\nSyncTime2Enable=ON\nSyncTime2Hour=19\n"
         "SyncTime2Minute=0\nHotFolder1=/a\nUniqueId1=a\nHotFolder2=/b\nUniqueId2=b\n"
         "SyncTime12Type=\n",
         "/a|a|011100|07:45 19:00|1 1|1111111 1111111|" + never +
             "\n/b|b|011100|07:45 19:00|1 1|1111111 1111111|" + never},
        // Flags are "1" or "ON" exactly, the uploading mark is cleared first,
        // a short time reads its missing parts as 0, and without a start time
        // the job never ran, whatever the flag says.
        {"[Config]\nHotFolder1=/a\nUniqueId1=a\nSyncTime11Type=1\nSyncTime21Type=2\n"
         "SyncTime21Enable=on\nFolder1CompressionEnable=ON\nFolder1EvacuationEnable=On\n"
         "isUploading1=1\nlastuploadtime1=2013/04/05 06:07\nLastUploadFlag1=成功\n"
         "LASTUPLOADENDTIME1=2013/4\nSyncTime11Hour=23\nSyncTime11AfterStart=15\n"
         "HotFolder2=/b\nUniqueId2=b\nSyncTime12Type=01\nLastUploadFlag2=成功\n"
         "LastUploadEndTime2=2014/05/06 07:08\n",
         "/a|a|010010|23:00 00:00|15 | |2013/04/05 06:07 2013/04/00 00:00 成功\n"
         "/b|b|010000|00:00 00:00| | |0000/00/00 00:00 2014/05/06 07:08 （未）"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file.constData());
        QFile::remove(path);
        ASSERT_TRUE(c.file.isEmpty() || putFile(path, c.file));
        CTorval2UploadList list(path, clock);  // clears the uploading marks
        ASSERT_TRUE(list.Load());
        EXPECT_EQ(ListText(list), c.jobs);
    }
    // Construction clears all twenty uploading marks, not only the loaded jobs'.
    ASSERT_TRUE(putFile(path, "[Config]\nisUploading7=1\nHotFolder1=/a\n"));
    CTorval2UploadList list(path, clock);
    QString marks;
    for (int n = 1; n <= 20; ++n)
        marks += value(QStringLiteral("isUploading%1").arg(n));
    EXPECT_EQ(marks, QString(20, u'0'));
}

TEST_F(UploadListTest, MissingUniqueIdIsMadeAndWrittenDuringLoad) {
    ASSERT_TRUE(putFile(path, "[Config]\nHotFolder1=/a\nHotFolder2=/b\nUniqueId2=kept_000_1\n"));
    CTorval2UploadList list(path, clock);
    ASSERT_TRUE(list.Load());
    const QString id = list.GetJob(0)->UniqueId;
    // The id's form is TextCodecIdentifiers'; it is in the file before Load returns.
    EXPECT_EQ(Fields(id.startsWith("1796632215_042_"), value("UniqueId1") == id,
                     list.GetJob(1)->UniqueId),
              "1|1|kept_000_1");

    // Ids made in the same millisecond still differ within one list, which
    // holds twenty jobs at most.
    for (int i = 0; i < 18; ++i)
        ASSERT_TRUE(list.AddJob(sample(QString::number(i))));
    EXPECT_FALSE(list.AddJob(sample("21st")));
    QStringList ids;
    for (int i = 0; i < list.Count(); ++i)
        ids << list.GetJob(i)->UniqueId;
    ids.removeDuplicates();
    EXPECT_EQ(ids.size(), 20);
    EXPECT_EQ(list.GetJob(20), nullptr);
}

TEST_F(UploadListTest, AddedJobStartsAsNeverRunAndSaveAndLoadRoundTripIt) {
    CTorval2UploadList list(path, clock);
    UploadJob j{.isUploading = true,
                .UniqueId = "caller's",
                .Name = "経理 月次",
                .HotFolder = "/home/山田/経理",
                .EvacuationFolder = "/home/山田/済",
                .ErrorFolder = "/home/山田/エラー",
                .OrrinPortalFolder = "/Velmora/経理",
                .CompressionEnable = true,
                .CompressionFilename = "月次",
                .LastUploadTime = {.year = 2020},
                .LastUploadEndTime = {.year = 2021},
                .LastUploadFlag = "成功",
                .EvacuationEnable = true,
                .Delete7DaysEnable = true,
                .SyncTime1AfterStart = "15",
                .SyncTime1Week = "1010101",
                .SyncTime1 = {.hour = 23, .minute = 59},
                .SyncTime2Enable = true,
                .SyncTime2Type = true,
                .SyncTime2AfterStart = "0",
                .SyncTime2Week = "0000011",
                .SyncTime2 = {.hour = 0, .minute = 1}};
    ASSERT_TRUE(list.AddJob(j));
    UploadJob* added = list.GetJob(0);
    EXPECT_EQ(Fields(added->isUploading, added->UniqueId == "caller's", added->LastUploadFlag,
                     added->LastUploadTime.isZero(), added->LastUploadEndTime.isZero()),
              "0|0|（未）|1|1");
    EXPECT_FALSE(fileBytes(path).contains("HotFolder")) << "nothing written before Save";
    added->LastUploadTime = {.year = 2026, .month = 1, .day = 2, .hour = 3, .minute = 4};
    added->LastUploadFlag = "失敗";
    ASSERT_TRUE(list.Save());

    // The twenty-five keys of a job, in their order.
    const QByteArray file = fileBytes(path);
    const QList<QByteArray> order =
        QByteArray(
            "isUploading1=0 UniqueId1= Name1= HotFolder1= SyncTime11Type=0 SyncTime11Hour= "
            "SyncTime11Minute= SyncTime11AfterStart= SyncTime11Week= SyncTime21Enable= "
            "SyncTime21Type= SyncTime21Hour= SyncTime21Minute= SyncTime21AfterStart= "
            "SyncTime21Week= Folder1CompressionEnable=ON Folder1EvacuationEnable= "
            "OrrinPortalFolder1= ErrorFolder1= EvacuationFolder1= Folder1Delete7DaysEnable= "
            "Folder1CompressionFilename= LastUploadTime1=2026/01/02 LastUploadEndTime1=0000/00/00 "
            "LastUploadFlag1=")
            .split(' ');
    qsizetype at = -1;
    for (const QByteArray& k : order) {
        const qsizetype next = file.indexOf("\n" + k);
        ASSERT_GT(next, at) << k.constData();
        at = next;
    }

    CTorval2UploadList again(path, clock);
    ASSERT_TRUE(again.Load());
    ASSERT_EQ(again.Count(), 1);
    UploadJob expected = *added;
    // Stored schedules keep only hour and minute; the rest is today's.
    expected.SyncTime1 = expected.SyncTime2 = clock.localTime();
    std::tie(expected.SyncTime1.hour, expected.SyncTime1.minute) = std::pair(23, 59);
    std::tie(expected.SyncTime2.hour, expected.SyncTime2.minute) = std::pair(0, 1);
    EXPECT_TRUE(*again.GetJob(0) == expected);
    UploadJob copy;
    EXPECT_TRUE(CTorval2UploadList::CopyJob(&copy, expected) && copy == expected &&
                !CTorval2UploadList::CopyJob(nullptr, expected));
}

TEST_F(UploadListTest, RemovalRenumbersSettersFollowTheIdentitySaveKeepsOthersKeys) {
    CTorval2UploadList list(path, clock);
    for (int i = 1; i <= 5; ++i)
        list.AddJob(sample(QString::number(i)));
    ASSERT_TRUE(list.Save());
    const QString id3 = list.GetJob(2)->UniqueId;
    EXPECT_FALSE(list.RemoveJob(5) || list.RemoveJob(-1));
    list.GetJob(1);
    ASSERT_TRUE(list.RemoveJob(1));
    EXPECT_EQ(list.CurrentJob(), nullptr) << "the current job was removed";
    ASSERT_TRUE(list.Save());
    EXPECT_EQ(Fields(value("Name2"), value("UniqueId2") == id3, value("Name4"), value("Name5"),
                     value("HotFolder5")),
              "3|1|5|<missing>|<missing>");

    // The setters write the key under the job's new number.
    ASSERT_TRUE(list.SetLastUploadFlag(id3, "成功"));
    ASSERT_TRUE(list.SetUploading(id3, true));
    EXPECT_EQ(Fields(value("LastUploadFlag2"), value("isUploading2"), value("LastUploadFlag3")),
              "成功|1|（未）");
    EXPECT_TRUE(list.GetJob(1)->isUploading);

    // Unknown ids change nothing, and are no failure (all setters share this).
    QByteArray before = fileBytes(path);
    EXPECT_TRUE(list.SetLastUploadTime("no-such-id", {.year = 2030}));
    EXPECT_EQ(fileBytes(path), before);

    // Another program changes its own key between Load and Save.
    ASSERT_TRUE(ProfileFile::writeString("Config", "Password", "changed meanwhile", path));
    list.GetJob(0)->Name = "renamed";
    ASSERT_TRUE(list.Save());
    EXPECT_EQ(value("Password") + "|" + value("Name1"), "changed meanwhile|renamed");

    // A job text that would break the file refuses the whole save.
    before = fileBytes(path);
    list.GetJob(0)->Name = "two\nlines";
    list.AddJob(sample("b"));
    EXPECT_FALSE(list.Save());
    EXPECT_EQ(fileBytes(path), before);

    CTorval2UploadList orphan(dir.filePath("gone/QuillonConfig.ini"), clock);
    orphan.AddJob(sample("a"));
    EXPECT_FALSE(orphan.Save());
}

}  // namespace

// The tray's line for a running job: counts and sizes only while files go
// out, the time left only after 5 seconds of transfer.
TEST(ProgressLineTest, PhasesSizesAndTimeLeft) {
    using P = UploadPhase;
    const quint64 MB = 1024 * 1024;
    // Phase, files to send, files done, bytes to send, bytes done, seconds of
    // transfer, and the line.
    const struct {
        P phase;
        quint64 files, filesDone, bytes, bytesDone;
        double seconds;
        QString line;
    } rows[] = {
        {P::CheckingServer, 3, 1, 10, 5, 9, "サーバ確認中"},
        {P::Archiving, 0, 0, 0, 0, 0, "圧縮中"},
        {P::Listing, 0, 0, 0, 0, 0, "ファイル一覧作成中"},
        {P::Comparing, 0, 0, 0, 0, 0, "比較中"},
        {P::Reporting, 3, 3, 10, 10, 0, "結果送信中"},
        {P::Moving, 0, 0, 0, 0, 0, "移動・削除中"},
        {P::Uploading, 0, 0, 0, 0, 0, "アップロード中 0/0 ファイル 0 B / 0 B"},
        {P::Uploading, 40, 12, 12 * MB, 3250586, 4.9,
         "アップロード中 12/40 ファイル 3.1 MB / 12 MB"},
        {P::Uploading, 40, 12, 12 * MB, 3 * MB, 5,
         "アップロード中 12/40 ファイル 3.0 MB / 12 MB 残り約15秒"},
        {P::Uploading, 2, 1, 10 * MB, MB, 10,
         "アップロード中 1/2 ファイル 1.0 MB / 10 MB 残り約1分30秒"},
        {P::Uploading, 2, 1, 1024 * MB, MB, 10,
         "アップロード中 1/2 ファイル 1.0 MB / 1.0 GB 残り約2時間50分"},
        {P::Uploading, 9, 0, 10239, 1023, 60,
         "アップロード中 0/9 ファイル 1023 B / 10 KB 残り約9分1秒"},
        {P::Uploading, 9, 9, 5 * 1024 * MB, 1024, 60,
         "アップロード中 9/9 ファイル 1.0 KB / 5.0 GB 残り約87381時間19分"},
        {P::Uploading, 1, 0, 1, 0, 60, "アップロード中 0/1 ファイル 0 B / 1 B"},
    };
    for (const auto& r : rows) {
        ProgressSnapshot p;
        p.phase = r.phase;
        p.filesTotal = r.files;
        p.filesDone = r.filesDone;
        p.bytesTotal = r.bytes;
        p.bytesDone = r.bytesDone;
        p.transferSeconds = r.seconds;
        EXPECT_EQ(ProgressLine("job", p), "job: " + r.line);
    }
}

// The record as a run writes it: bytes of the file being sent count up to
// its size and never go back on a retry; the transfer clock starts once.
TEST(ProgressLineTest, RecordCountsFilesAndBytesAsTheRunSendsThem) {
    TaskProgress record;
    record.startUploading(2, 10);
    const auto line = [&] {
        const ProgressSnapshot s = record.snapshot();
        return Fields(s.filesDone, s.bytesDone, s.currentFile, s.transferSeconds > 0);
    };
    EXPECT_EQ(line(), "0|0||0");
    record.startFile("a", 4);
    record.fileSent(100);  // the request's framing counts too
    EXPECT_EQ(line(), "0|4|a|1");
    const double started = record.snapshot().transferSeconds;
    record.fileSent(1);  // a retry
    record.fileDone();
    record.startFile("b", 6);
    EXPECT_EQ(line(), "1|4|b|1");
    EXPECT_GE(record.snapshot().transferSeconds, started);
    record.fileSent(6);
    record.fileDone();
    EXPECT_EQ(line(), "2|10|b|1");
}
