#include "JobSettings.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QRegularExpression>

#include <cstdlib>

#include "CTorval2UploadList.h"
#include "TextCodec.h"

namespace {

int minutesOf(const QString& text) {
    return TextToInt(text.toUtf8());
}

int dayMinutes(const SystemTime& t) {
    return t.hour * 60 + t.minute;
}

bool startTimesTooClose(const UploadJob& v) {
    if (!v.SyncTime2Enable || v.SyncTime1Type != v.SyncTime2Type)
        return false;
    if (!v.SyncTime1Type) {
        const qint64 m1 = minutesOf(v.SyncTime1AfterStart);
        const qint64 m2 = minutesOf(v.SyncTime2AfterStart);
        return m1 - m2 < 120 && m2 - m1 < 120;
    }
    // Both pickers carry the same day, so only the minutes of the day count.
    const int d = std::abs(dayMinutes(v.SyncTime1) - dayMinutes(v.SyncTime2)) * 60;
    return d < 7200 || 86400 - d < 7200;
}

// inner is outer, lies inside it, or resolves to either (through ".", ".."
// or links); both exist.
bool sameOrInside(const QString& inner, const QString& outer) {
    const QString f = QFileInfo(inner).canonicalFilePath();
    const QString s = QFileInfo(outer).canonicalFilePath();
    if (f.isEmpty() || s.isEmpty())
        return false;
    return f == s || f.startsWith(s == QLatin1String("/") ? s : s + QLatin1Char('/'));
}

QString zipNameProblem(const QString& name) {
    static const QRegularExpression symbols(QStringLiteral("[/><\\?:\"\\\\\\*|;]"));
    static const QRegularExpression periods(QStringLiteral("\\A[\\.]+\\z"));
    static const QRegularExpression devices(
        QStringLiteral("\\A(aux|clock\\$|com[0-9]|con|config\\$|lpt[0-9]|nul|prn)\\z"),
        QRegularExpression::CaseInsensitiveOption);
    if (name.isEmpty())
        return QStringLiteral("圧縮後のファイル名を入力してください。");
    if (symbols.match(name).hasMatch())
        return QStringLiteral(
            "圧縮後のファイル名に、以下の記号は使用できません。\n"
            "「/」「>」「<」「?」「:」「\"」「\\」「*」「|」「;」");
    const QString trimmed = name.trimmed();
    if (trimmed.isEmpty())
        return QStringLiteral("圧縮後のファイル名を空白文字のみにすることはできません。");
    if (periods.match(trimmed).hasMatch())
        return QStringLiteral("圧縮後のファイル名をピリオド「.」のみにすることはできません。");
    if (trimmed.size() < name.size())
        return QStringLiteral("圧縮後のファイル名の末尾を空白文字にすることはできません。");
    if (name.endsWith(QLatin1Char('.')))
        return QStringLiteral("圧縮後のファイル名の末尾をピリオド「.」にすることはできません。");
    if (devices.match(name).hasMatch())
        return QStringLiteral(
            "圧縮後のファイル名を、以下のものにすることはできません。\n"
            "（大文字・小文字を区別しない）\n"
            "「aux」、「clock$」、「com0」～「com9」、「con」、「config$」、「lpt0」～「lpt9」、"
            "「nul」、「prn」");
    return {};
}

QString firstFailure(const UploadJob& v, const QString& programFolder) {
    if (v.Name.isEmpty())
        return QStringLiteral("名称を入力してください。");
    if (v.HotFolder.isEmpty())
        return QStringLiteral("アップロード対象保存先を入力してください。");
    if (!QFileInfo(v.HotFolder).isDir())
        return QStringLiteral("アップロード対象保存先が存在しません。");
    if (v.EvacuationEnable) {
        if (v.EvacuationFolder.isEmpty())
            return QStringLiteral("アップロード済みファイル保存先を入力してください。");
        if (!QFileInfo(v.EvacuationFolder).isDir())
            return QStringLiteral("アップロード済みファイル保存先が存在しません。");
        if (v.ErrorFolder.isEmpty())
            return QStringLiteral("エラーファイル保存先を入力してください。");
        if (!QFileInfo(v.ErrorFolder).isDir())
            return QStringLiteral("エラーファイル保存先が存在しません。");
    }
    if (v.OrrinPortalFolder.isEmpty())
        return QStringLiteral("TORVAL2 アップロード先を入力してください。");
    if (!v.OrrinPortalFolder.startsWith(QLatin1Char('/')))
        return QStringLiteral("TORVAL2 アップロード先の先頭には\"/\"を入力してください。");
    if (v.CompressionEnable) {
        const QString problem = zipNameProblem(v.CompressionFilename);
        if (!problem.isEmpty())
            return problem;
    }
    const QStringList forbidden = ForbiddenSourceFolders(programFolder);
    if (forbidden.isEmpty() || forbidden.contains(v.HotFolder))
        return QStringLiteral("アップロード対象に %1 を指定することは出来ません。")
            .arg(v.HotFolder);
    // Moving files onto the folder they are moved from would delete them.
    // The seven-day deletion walks the whole uploaded-files folder, and moves
    // mirror into the error folder: neither may hold the source either.
    if (v.EvacuationEnable) {
        const std::pair<const QString*, const QString*> nested[] = {
            {&v.EvacuationFolder, &v.HotFolder},
            {&v.ErrorFolder, &v.HotFolder},
            {&v.HotFolder, &v.EvacuationFolder},
            {&v.HotFolder, &v.ErrorFolder}};
        static const QString messages[] = {
            QStringLiteral("アップロード済みファイル保存先にアップロード対象保存先またはその中の"
                           "フォルダーを指定することは出来ません。"),
            QStringLiteral("エラーファイル保存先にアップロード対象保存先またはその中の"
                           "フォルダーを指定することは出来ません。"),
            QStringLiteral("アップロード対象保存先にアップロード済みファイル保存先またはその中の"
                           "フォルダーを指定することは出来ません。"),
            QStringLiteral("アップロード対象保存先にエラーファイル保存先またはその中の"
                           "フォルダーを指定することは出来ません。")};
        for (int i = 0; i < 4; ++i) {
            if (sameOrInside(*nested[i].first, *nested[i].second))
                return messages[i];
        }
    }
    return {};
}

}  // namespace

UploadJob NewJobDefaults(const SystemTime& now) {
    UploadJob job;
    for (const StartTimeMembers& m : kStartTimes) {
        job.*m.type = true;
        job.*m.afterStart = QStringLiteral("0");
        job.*m.week = QStringLiteral("1111111");
        job.*m.time = now;
    }
    return job;
}

QStringList ForbiddenSourceFolders(const QString& programFolder) {
    if (programFolder.isEmpty())
        return {};
    QStringList folders;
    for (const char* f : {"/usr", "/etc", "/bin", "/sbin", "/lib", "/boot", "/proc", "/sys", "/dev",
                          "/var", "/opt"})
        folders << QString::fromLatin1(f) << QString::fromLatin1(f) + QLatin1Char('/');
    QString own = QDir::cleanPath(programFolder);
    folders << QStringLiteral("/") << own << own + QLatin1Char('/');
    return folders;
}

qint64 CountFilesRecursive(const QString& folder, qint64 stopAt) {
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    qint64 count = 0;
    while (count < stopAt && it.hasNext()) {
        it.next();
        // A real sub-folder adds its contents; anything else, a link to a
        // folder included, counts one.
        const QFileInfo info = it.fileInfo();
        if (!(info.isDir() && !info.isSymLink()))
            ++count;
    }
    return count;
}

bool ValidateJobSettings(const UploadJob& v, bool deletionAtOpen, const MessageBoxes& boxes,
                         const QString& programFolder) {
    const QString failure = firstFailure(v, programFolder);
    if (!failure.isEmpty()) {
        boxes.warn(failure);
        return false;
    }
    if (!v.CompressionEnable && CountFilesRecursive(v.HotFolder, 1000) >= 1000 &&
        !boxes.show(MessageBoxes::Icon::Question, MessageBoxes::Buttons::OkCancel,
                    QStringLiteral("アップロード対象保存先には1000個を超える数のファイルが存在し"
                                   "ます。このままアップロードを設定してもよろしいですか？")))
        return false;
    if (startTimesTooClose(v)) {
        boxes.warn(QStringLiteral(
            "アップロード開始時刻の指定が接近しすぎています。120分以上離してください。"));
        return false;
    }
    if (v.EvacuationEnable && v.Delete7DaysEnable && !deletionAtOpen &&
        !boxes.askYesNo(QStringLiteral(
            "アップロード処理後にアップロード済みファイル保存先に移動されたファイルは、"
            "移動7日後に削除されますが本当によろしいでしょうか？")))
        return false;
    return true;
}

bool StoreDialogIntoJob(const UploadJob& v, int index, CTorval2UploadList& list) {
    UploadJob fresh;
    UploadJob* job = index < 0 ? &fresh : list.GetJob(index);
    if (!job)
        return false;
    job->Name = v.Name;
    job->HotFolder = v.HotFolder;
    job->OrrinPortalFolder = v.OrrinPortalFolder;
    job->SyncTime2Enable = v.SyncTime2Enable;
    for (const StartTimeMembers& m : kStartTimes) {
        job->*m.type = v.*m.type;
        job->*m.afterStart = v.*m.afterStart;
        job->*m.week = v.*m.week;
        // Only the time of day is kept.
        job->*m.time = SystemTime{.hour = (v.*m.time).hour, .minute = (v.*m.time).minute};
    }
    job->CompressionEnable = v.CompressionEnable;
    job->CompressionFilename = v.CompressionFilename;
    job->EvacuationEnable = v.EvacuationEnable;
    job->EvacuationFolder = v.EvacuationFolder;
    job->ErrorFolder = v.ErrorFolder;
    job->Delete7DaysEnable = v.Delete7DaysEnable;
    return index >= 0 || list.AddJob(fresh);
}

QString ScheduleSummary(const UploadJob& job) {
    static const QString days = QStringLiteral("月火水木金土日");
    auto part = [](bool timeOfDay, const QString& minutes, const SystemTime& t,
                   const QString& week) {
        QString text = timeOfDay ? QString::asprintf("%02d:%02d ", t.hour, t.minute)
                                 : QStringLiteral("起動%1分後 ").arg(minutesOf(minutes));
        for (int i = 0; i < 7 && i < week.size(); ++i) {
            if (week.at(i) == QLatin1Char('1'))
                text += days.at(i);
        }
        return text;
    };
    QString text =
        part(job.SyncTime1Type, job.SyncTime1AfterStart, job.SyncTime1, job.SyncTime1Week);
    if (job.SyncTime2Enable)
        text += QStringLiteral(" / ") +
                part(job.SyncTime2Type, job.SyncTime2AfterStart, job.SyncTime2, job.SyncTime2Week);
    return text;
}
