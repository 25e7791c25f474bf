// The settings dialogs' checks and stores, without a window.
#include "ConnectionSettings.h"
#include "JobSettings.h"

#include "CTorval2UploadList.h"
#include "ConfigPaths.h"
#include "ProfileFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "Fields.h"
#include "TestSupport.h"

namespace {

const QString kIdForm = "IDの入力に誤りがあります。";
const QString kIdAscii = "IDは半角英数記号を入力してください。";
const QString kPasswordLength = "パスワードの入力に誤りがあります。";

TEST(ConnectionSettingsTest, FirstFailingCheckNamesTheField) {
    const struct {
        QString boxId, password;
        bool drive;
        QString letter, message;
    } cases[] = {
        {"", "pass", false, "", "IDを入力してください。"},
        {"taro", "pass", false, "", kIdForm},
        {"@velmora", "pass", false, "", kIdForm},
        // The ID is checked before the missing password.
        {"taro@", "", false, "", kIdForm},
        {"taro@ｖelmora", "pass", false, "", kIdAscii},
        {"taro@velmora", "", false, "", "パスワードを入力してください。"},
        {"taro@velmora", "abc", false, "", kPasswordLength},
        {"taro@velmora", "abcd", false, "", ""},
        {"taro@velmora", "abcdefghijklmno", false, "", ""},
        {"taro@velmora", "abcdefghijklmnop", false, "", kPasswordLength},
        {"taro@velmora", "パスワードです", false, "", ""},
        {"t@v", "pass", true, "", "ドライブレターを選択してください。"},
        {"t@v", "pass", true, "Z:", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ValidateConnectionSettings({c.boxId, c.password, c.drive, c.letter}), c.message)
            << c.boxId.toStdString() << " / " << c.password.toStdString();
}

TEST(ConnectionSettingsTest, ProxyChecksPortRangeAndAuthWithoutProxyUse) {
    const struct {
        ProxySettings values;
        QString message;
    } cases[] = {
        {{true, "", "8080", false, "", ""}, "アドレスを入力してください。"},
        {{true, "ぷろきし", "8080", false, "", ""}, "アドレスは半角英数記号を入力してください。"},
        {{true, "proxy", "", false, "", ""}, "ポートを入力してください。"},
        {{true, "proxy", "70000", false, "", ""}, "ポートは0～65535の範囲で入力してください。"},
        {{true, "proxy", "-1", false, "", ""}, "ポートは0～65535の範囲で入力してください。"},
        {{true, "proxy", "65535", false, "", ""}, ""},
        {{false, "", "", true, "", "pw"}, "IDを入力してください。"},
        {{false, "", "", true, "ｉｄ", "pw"}, "IDは半角英数記号を入力してください。"},
        {{false, "", "", true, "id", ""}, "パスワードを入力してください。"},
        {{false, "", "", true, "id", "パス"}, "パスワードは半角英数記号を入力してください。"},
        {{false, "", "", false, "", ""}, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ValidateProxySettings(c.values), c.message) << c.values.port.toStdString();
}

TEST(ConnectionSettingsTest, StoresSplitAtTheFirstAtAndReadsBack) {
    TempDataHome home;
    const QString path = ConfigPath();
    ASSERT_TRUE(SaveConnectionSettings({"taro@velmora@x", "pa ss", true, "K:"}, path));
    EXPECT_EQ(Fields(ProfileFile::readString("Config", "ID", "", path),
                     ProfileFile::readString("Config", "PortalName", "", path),
                     ProfileFile::readString("Config", "UseMyComputer", "", path)),
              "taro|velmora@x|ON");
    const ConnectionSettings back = LoadConnectionSettings(path);
    EXPECT_EQ(Fields(back.boxId, back.driveLetter), "taro@velmora@x|K:");

    ASSERT_TRUE(SaveProxySettings({false, "p", "1", true, "u", "w"}, path));
    const ProxySettings proxy = LoadProxySettings(path);
    EXPECT_EQ(Fields(proxy.enable, proxy.address, proxy.authEnable), "0|p|1")
        << "written whatever the check box says";
}

class JobValidationTest : public ::testing::Test {
protected:
    JobValidationTest() {
        job = NewJobDefaults(SystemTime{2026, 12, 1, 7, 9, 0, 0, 0});
        job.Name = "経理";
        job.HotFolder = dir.path() + "/hot";
        job.OrrinPortalFolder = "/Velmora";
        for (const char* folder : {"/hot", "/moved", "/error"})
            QDir().mkpath(dir.path() + folder);
        boxes.show = [this](MessageBoxes::Icon, MessageBoxes::Buttons, const QString& text) {
            shown << text;
            return answer;
        };
    }
    // The last message shown, or "" when the job passed without one.
    QString check(const UploadJob& values, bool deletionAtOpen = false) {
        shown.clear();
        lastOk = ValidateJobSettings(values, deletionAtOpen, boxes, dir.path() + "/prog");
        EXPECT_TRUE(lastOk || !shown.isEmpty()) << "refused without a word";
        return shown.isEmpty() ? QString() : shown.last();
    }
    // The job compressed into "z", from hot.
    UploadJob zipped(const QString& hot) const {
        UploadJob j = job;
        j.HotFolder = hot;
        j.CompressionEnable = true;
        j.CompressionFilename = "z";
        return j;
    }
    void makeFiles(int n) {
        for (int i = 0; i < n; ++i)
            ASSERT_TRUE(
                putFile(job.HotFolder + (i % 2 ? "/sub/.hidden/" : "/") + QString::number(i), ""));
    }

    QTemporaryDir dir;
    UploadJob job;
    MessageBoxes boxes;
    QStringList shown;
    bool answer = true;
    bool lastOk = false;
};

TEST_F(JobValidationTest, ZipNamesAreRefusedByTheRightStep) {
    const QString symbols =
        "圧縮後のファイル名に、以下の記号は使用できません。\n"
        "「/」「>」「<」「?」「:」「\"」「\\」「*」「|」「;」";
    const QString device =
        "圧縮後のファイル名を、以下のものにすることはできません。\n"
        "（大文字・小文字を区別しない）\n"
        "「aux」、「clock$」、「com0」～「com9」、「con」、「config$」、"
        "「lpt0」～「lpt9」、「nul」、「prn」";
    const struct {
        QString name, message;
    } cases[] = {
        {"", "圧縮後のファイル名を入力してください。"},
        {"a ", "圧縮後のファイル名の末尾を空白文字にすることはできません。"},
        {"  ", "圧縮後のファイル名を空白文字のみにすることはできません。"},
        {"CON", device},
        {"clock$", device},
        {"con1", ""},
        {"...", "圧縮後のファイル名をピリオド「.」のみにすることはできません。"},
        {"backup.", "圧縮後のファイル名の末尾をピリオド「.」にすることはできません。"},
        {"a;b", symbols},
        {"月次 バックアップ", ""},
    };
    job.CompressionEnable = true;
    for (const auto& c : cases) {
        job.CompressionFilename = c.name;
        EXPECT_EQ(check(job), c.message) << c.name.toStdString();
    }
}

TEST_F(JobValidationTest, FieldsInOrderAndForbiddenSourceFolders) {
    for (const char* folder : {"/prog", "/hot/sub", "/hot2", "/moved/in", "/error/in"})
        QDir().mkpath(dir.path() + folder);
    QFile::link(job.HotFolder, dir.path() + "/hot-link");
    QFile::link(dir.path() + "/moved", dir.path() + "/moved-link");
    const QString inside =
        "にアップロード対象保存先またはその中のフォルダーを指定することは出来ません。";
    const QString holds = "またはその中のフォルダーを指定することは出来ません。";
    // "~" stands for the test's folder. With a moved or an error folder the
    // files are moved after the upload.
    const struct {
        QString name, hot, moved, error, message, remote = "/Velmora";
    } cases[] = {
        {"", "~/hot", "", "", "名称を入力してください。"},
        {"a", "", "", "", "アップロード対象保存先を入力してください。"},
        {"a", "~/none", "", "", "アップロード対象保存先が存在しません。"},
        {"a", "~/hot", "", "~/error", "アップロード済みファイル保存先を入力してください。"},
        {"a", "~/hot", "~/moved", "~/none", "エラーファイル保存先が存在しません。"},
        {"a", "~/hot", "", "", "TORVAL2 アップロード先の先頭には\"/\"を入力してください。",
         "Velmora"},
        {"a", "/", "", "", "アップロード対象に / を指定することは出来ません。"},
        {"a", "/usr/", "", "", "アップロード対象に /usr/ を指定することは出来ません。"},
        {"a", "~/prog/", "", "", "アップロード対象に ~/prog/ を指定することは出来ません。"},
        // A move onto the files being moved would delete them.
        {"a", "~/hot", "~/hot-link/.", "~/error", "アップロード済みファイル保存先" + inside},
        {"a", "~/hot", "~/moved", "~/moved/../hot/sub", "エラーファイル保存先" + inside},
        {"a", "~/hot", "~/hot2", "~/error", ""},
        // Nor may they hold the source: the seven-day deletion would reach it.
        {"a", "~/moved-link/in", "~/moved", "~/error",
         "アップロード対象保存先にアップロード済みファイル保存先" + holds},
        {"a", "~/hot/../error/in", "~/moved", "~/error",
         "アップロード対象保存先にエラーファイル保存先" + holds},
    };
    auto expand = [&](QString text) { return text.replace('~', dir.path()); };
    for (const auto& c : cases) {
        UploadJob j = job;
        j.Name = c.name;
        j.HotFolder = expand(c.hot);
        j.EvacuationEnable = !c.moved.isEmpty() || !c.error.isEmpty();
        j.EvacuationFolder = expand(c.moved);
        j.ErrorFolder = expand(c.error);
        j.OrrinPortalFolder = c.remote;
        EXPECT_EQ(check(j), expand(c.message)) << c.hot.toStdString();
    }
    EXPECT_EQ(check(zipped("/usr/share")), "") << "no count of its many files";
    EXPECT_FALSE(ValidateJobSettings(job, false, boxes, "")) << "program folder unknown";
}

TEST_F(JobValidationTest, StartTimesFileCountAndDeletionQuestion) {
    const QString close =
        "アップロード開始時刻の指定が接近しすぎています。120分以上離してください。";
    auto at = [](int h, int m) { return SystemTime{2026, 12, 1, 7, quint16(h), quint16(m), 0, 0}; };
    // Per start time, first and second: type, time of day, minutes after start.
    const struct {
        bool type[2];
        SystemTime time[2];
        QString minutes[2], message;
    } cases[] = {
        {{true, true}, {at(23, 30), at(0, 59)}, {"0", "0"}, close},
        {{true, true}, {at(23, 0), at(1, 0)}, {"0", "0"}, ""},
        {{true, true}, {at(9, 0), at(10, 59)}, {"0", "0"}, close},
        {{false, false}, {}, {"10", "129"}, close},
        {{false, false}, {}, {"130", "10"}, ""},
        {{true, false}, {at(0, 10)}, {"0", "10"}, ""},
    };
    for (const auto& c : cases) {
        UploadJob j = job;
        j.SyncTime2Enable = true;
        for (int s = 0; s < 2; ++s) {
            j.*kStartTimes[s].type = c.type[s];
            j.*kStartTimes[s].time = c.time[s];
            j.*kStartTimes[s].afterStart = c.minutes[s];
        }
        EXPECT_EQ(check(j), c.message)
            << c.minutes[0].toStdString() << "/" << c.minutes[1].toStdString();
    }

    const QString many =
        "アップロード対象保存先には1000個を超える数のファイルが存在します。"
        "このままアップロードを設定してもよろしいですか？";
    makeFiles(999);
    EXPECT_EQ(CountFilesRecursive(job.HotFolder), 999) << "folders add their contents";
    EXPECT_EQ(check(job), "");
    makeFiles(1000);
    EXPECT_EQ(check(job), many);
    answer = false;
    EXPECT_EQ(check(job), many);
    EXPECT_FALSE(lastOk) << "Cancel keeps the dialog open";
    UploadJob zip = zipped(job.HotFolder);
    EXPECT_EQ(check(zip), "") << "no count when compressed";

    const QString deletion =
        "アップロード処理後にアップロード済みファイル保存先に移動されたファイルは、"
        "移動7日後に削除されますが本当によろしいでしょうか？";
    zip.EvacuationEnable = zip.Delete7DaysEnable = true;
    zip.EvacuationFolder = dir.path() + "/moved";
    zip.ErrorFolder = dir.path() + "/error";
    EXPECT_EQ(check(zip, false), deletion) << "newly ticked";
    EXPECT_FALSE(lastOk);
    EXPECT_EQ(check(zip, true), "") << "ticked already when the dialog opened";
}

TEST(JobListStoreTest, StoreKeepsIdentityAndSummaryReadsTheSchedule) {
    TempDataHome home;
    CTorval2UploadList list(ConfigPath());
    UploadJob v = NewJobDefaults(SystemTime{2026, 12, 1, 7, 9, 5, 33, 0});
    v.Name = "a";
    v.SyncTime1Week = "1010100";
    v.SyncTime2Enable = true;
    v.SyncTime2Type = false;
    v.SyncTime2AfterStart = "010";
    v.SyncTime2Week = "0000011";
    ASSERT_TRUE(StoreDialogIntoJob(v, -1, list));
    const QString id = list.GetJob(0)->UniqueId;
    EXPECT_EQ(list.GetJob(0)->SyncTime1.second, 0) << "only hour and minute";
    v.Name = "b";
    ASSERT_TRUE(StoreDialogIntoJob(v, 0, list));
    EXPECT_EQ(Fields(list.GetJob(0)->UniqueId == id, list.GetJob(0)->Name), "1|b");
    EXPECT_EQ(ScheduleSummary(*list.GetJob(0)), "09:05 月水金 / 起動10分後 土日");
    EXPECT_FALSE(StoreDialogIntoJob(v, 5, list));
}

}  // namespace
