#include "CTorval2UploadList.h"

#include <QStringView>

#include "ProfileFile.h"

namespace {

const QString kSection = QStringLiteral("Config");
const QString kNeverRun = QStringLiteral("（未）");
const QString kOn = QStringLiteral("ON");
const QString kOff = QStringLiteral("OFF");

// pattern with its "%1" replaced by n (1..20); QString::arg is slow for the
// 500 keys of a save.
QString key(const char* pattern, int n) {
    QString out;
    out.reserve(32);
    for (const char* p = pattern; *p; ++p) {
        if (p[0] == '%' && p[1] == '1') {
            out += QString::number(n);
            ++p;
        } else {
            out += QLatin1Char(*p);
        }
    }
    return out;
}

// The decimal value of the leading digits, as the C library reads a number.
int leadingNumber(QStringView s) {
    qsizetype i = 0;
    while (i < s.size() && s[i].isSpace())
        ++i;
    const bool negative = i < s.size() && s[i] == QLatin1Char('-');
    if (negative || (i < s.size() && s[i] == QLatin1Char('+')))
        ++i;
    qint64 n = 0;
    for (; i < s.size() && s[i] >= QLatin1Char('0') && s[i] <= QLatin1Char('9'); ++i)
        n = std::min<qint64>(n * 10 + (s[i].unicode() - '0'), 0x7FFFFFFF);
    return static_cast<int>(negative ? -n : n);
}

quint16 part(const QString& text, qsizetype from, qsizetype length) {
    if (from >= text.size())
        return 0;
    const int n = leadingNumber(QStringView(text).mid(from, length));
    return static_cast<quint16>(std::clamp(n, 0, 0xFFFF));
}

// The two key layouts' names, per job number.
struct JobKeys {
    explicit JobKeys(int n) : n(n) {}
    int n;
    QString operator()(const char* pattern) const { return key(pattern, n); }
};

}  // namespace

CTorval2UploadList::CTorval2UploadList(const QString& configPath, const Clock& clock)
    : configPath_(configPath), clock_(clock) {
    QList<ProfileFile::Change> clear;
    for (int n = 1; n <= kMaxJobs; ++n)
        clear.append({kSection, key("isUploading%1", n), QStringLiteral("0")});
    // A failure here only means no settings file can be written yet.
    ProfileFile::apply(clear, configPath_);
}

QString CTorval2UploadList::FormatTime(const SystemTime& t) {
    return QString::asprintf("%04d/%02d/%02d %02d:%02d", t.year, t.month, t.day, t.hour, t.minute);
}

SystemTime CTorval2UploadList::ParseTime(const QString& text) {
    SystemTime t;
    t.year = part(text, 0, 4);
    t.month = part(text, 5, 2);
    t.day = part(text, 8, 2);
    t.hour = part(text, 11, 2);
    t.minute = part(text, 14, 2);
    return t;
}

QString CTorval2UploadList::MakeUniqueId() const {
    for (;;) {
        const QString id = MakeUniqueIdText(clock_);
        if (indexOf(id) < 0)
            return id;
    }
}

bool CTorval2UploadList::Load() {
    ProfileFile::flush(configPath_);
    Clear();
    unsaved_ = false;
    // One version of the file for the whole list, so no job is read half
    // before and half after another program's write.
    const ProfileFile::Snapshot file = ProfileFile::snapshot(configPath_);
    const auto read = [&file](const QString& name, const QString& def = QString()) {
        return file.readString(kSection, name, def);
    };
    const auto number = [&read](const QString& name) { return leadingNumber(read(name)); };

    for (int n = 1; n <= kMaxJobs; ++n) {
        const JobKeys k(n);
        const QString hotFolder = read(k("HotFolder%1"));
        if (hotFolder.isEmpty())
            break;
        auto job = std::make_unique<UploadJob>();
        UploadJob& j = *job;
        jobs_.push_back(std::move(job));
        j.HotFolder = hotFolder;
        j.SyncTime1 = j.SyncTime2 = clock_.localTime();
        j.isUploading = leadingNumber(read(k("isUploading%1"), QStringLiteral("0"))) == 1;

        j.UniqueId = read(k("UniqueId%1"));
        if (j.UniqueId.isEmpty()) {
            j.UniqueId = MakeUniqueId();
            if (!ProfileFile::writeString(kSection, k("UniqueId%1"), j.UniqueId, configPath_))
                return false;
        }
        j.Name = read(k("Name%1"));

        const QString type1 = read(k("SyncTime1%1Type"));
        if (!type1.isEmpty()) {
            j.SyncTime1Type = leadingNumber(type1) == 1;
            j.SyncTime2Type = number(k("SyncTime2%1Type")) == 1;
            j.SyncTime1.hour = static_cast<quint16>(number(k("SyncTime1%1Hour")));
            j.SyncTime1.minute = static_cast<quint16>(number(k("SyncTime1%1Minute")));
            j.SyncTime1AfterStart = read(k("SyncTime1%1AfterStart"));
            j.SyncTime1Week = read(k("SyncTime1%1Week"));
            j.SyncTime2Enable = read(k("SyncTime2%1Enable")) == kOn;
            j.SyncTime2.hour = static_cast<quint16>(number(k("SyncTime2%1Hour")));
            j.SyncTime2.minute = static_cast<quint16>(number(k("SyncTime2%1Minute")));
            j.SyncTime2AfterStart = read(k("SyncTime2%1AfterStart"));
            j.SyncTime2Week = read(k("SyncTime2%1Week"));
        } else {
            // Files of earlier versions hold one schedule of times of day for all jobs.
            j.SyncTime1Type = true;
            j.SyncTime2Type = true;
            j.SyncTime1.hour = static_cast<quint16>(number(QStringLiteral("SyncTime1Hour")));
            j.SyncTime1.minute = static_cast<quint16>(number(QStringLiteral("SyncTime1Minute")));
            j.SyncTime2Enable = read(QStringLiteral("SyncTime2Enable")) == kOn;
            j.SyncTime2.hour = static_cast<quint16>(number(QStringLiteral("SyncTime2Hour")));
            j.SyncTime2.minute = static_cast<quint16>(number(QStringLiteral("SyncTime2Minute")));
            j.SyncTime1AfterStart = j.SyncTime2AfterStart = QStringLiteral("1");
            j.SyncTime1Week = j.SyncTime2Week = QStringLiteral("1111111");
        }

        j.CompressionEnable = read(k("Folder%1CompressionEnable")) == kOn;
        j.EvacuationEnable = read(k("Folder%1EvacuationEnable")) == kOn;
        j.Delete7DaysEnable = read(k("Folder%1Delete7DaysEnable")) == kOn;
        j.OrrinPortalFolder = read(k("OrrinPortalFolder%1"));
        j.ErrorFolder = read(k("ErrorFolder%1"));
        j.EvacuationFolder = read(k("EvacuationFolder%1"));
        j.CompressionFilename = read(k("Folder%1CompressionFilename"));

        // The writer spells these LastUpload…; names match without regard to case.
        const QString last = read(k("lastUploadTime%1"));
        if (last.isEmpty()) {
            j.LastUploadFlag = kNeverRun;
        } else {
            j.LastUploadTime = ParseTime(last);
            j.LastUploadFlag = read(k("lastUploadFlag%1"));
        }
        const QString lastEnd = read(k("lastUploadEndTime%1"));
        if (!lastEnd.isEmpty())
            j.LastUploadEndTime = ParseTime(lastEnd);
    }
    return true;
}

bool CTorval2UploadList::Save(QString* reason) {
    const auto onOff = [](bool b) { return b ? kOn : kOff; };
    const auto oneZero = [](bool b) { return b ? QStringLiteral("1") : QStringLiteral("0"); };
    QList<ProfileFile::Change> changes;
    changes.reserve(kMaxJobs * 25);
    for (int n = 1; n <= kMaxJobs; ++n) {
        const JobKeys k(n);
        const UploadJob* j = n <= Count() ? jobs_[n - 1].get() : nullptr;
        const auto put = [&](const char* pattern, const QString& value) {
            changes.append(
                {kSection, k(pattern), j ? std::optional<QString>(value) : std::nullopt});
        };
        const UploadJob none;
        const UploadJob& v = j ? *j : none;
        put("isUploading%1", oneZero(v.isUploading));
        put("UniqueId%1", v.UniqueId);
        put("Name%1", v.Name);
        put("HotFolder%1", v.HotFolder);
        put("SyncTime1%1Type", oneZero(v.SyncTime1Type));
        put("SyncTime1%1Hour", QString::number(v.SyncTime1.hour));
        put("SyncTime1%1Minute", QString::number(v.SyncTime1.minute));
        put("SyncTime1%1AfterStart", v.SyncTime1AfterStart);
        put("SyncTime1%1Week", v.SyncTime1Week);
        put("SyncTime2%1Enable", onOff(v.SyncTime2Enable));
        put("SyncTime2%1Type", oneZero(v.SyncTime2Type));
        put("SyncTime2%1Hour", QString::number(v.SyncTime2.hour));
        put("SyncTime2%1Minute", QString::number(v.SyncTime2.minute));
        put("SyncTime2%1AfterStart", v.SyncTime2AfterStart);
        put("SyncTime2%1Week", v.SyncTime2Week);
        put("Folder%1CompressionEnable", onOff(v.CompressionEnable));
        put("Folder%1EvacuationEnable", onOff(v.EvacuationEnable));
        put("OrrinPortalFolder%1", v.OrrinPortalFolder);
        put("ErrorFolder%1", v.ErrorFolder);
        put("EvacuationFolder%1", v.EvacuationFolder);
        put("Folder%1Delete7DaysEnable", onOff(v.Delete7DaysEnable));
        put("Folder%1CompressionFilename", v.CompressionFilename);
        put("LastUploadTime%1", FormatTime(v.LastUploadTime));
        put("LastUploadEndTime%1", FormatTime(v.LastUploadEndTime));
        put("LastUploadFlag%1", v.LastUploadFlag);
    }
    unsaved_ = !ProfileFile::apply(changes, configPath_, reason);
    return !unsaved_;
}

bool CTorval2UploadList::AddJob(const UploadJob& job) {
    if (Count() >= kMaxJobs)
        return false;
    auto added = std::make_unique<UploadJob>(job);
    added->isUploading = false;
    added->UniqueId = MakeUniqueId();
    added->LastUploadFlag = kNeverRun;
    added->LastUploadTime = SystemTime{};
    added->LastUploadEndTime = SystemTime{};
    jobs_.push_back(std::move(added));
    return true;
}

bool CTorval2UploadList::RemoveJob(int index) {
    if (index < 0 || index >= Count())
        return false;
    if (current_ == jobs_[index].get())
        current_ = nullptr;
    jobs_.erase(jobs_.begin() + index);
    return true;
}

UploadJob* CTorval2UploadList::GetJob(int index) {
    current_ = (index >= 0 && index < Count()) ? jobs_[index].get() : nullptr;
    return current_;
}

bool CTorval2UploadList::CopyJob(UploadJob* target, const UploadJob& source) {
    if (!target)
        return false;
    *target = source;
    return true;
}

void CTorval2UploadList::Clear() {
    jobs_.clear();
    current_ = nullptr;
}

int CTorval2UploadList::indexOf(const QString& uniqueId) const {
    for (int i = 0; i < Count() && i < kMaxJobs; ++i) {
        if (jobs_[i]->UniqueId == uniqueId)
            return i;
    }
    return -1;
}

bool CTorval2UploadList::writeJobKey(const QString& uniqueId, const QString& name,
                                     const QString& value) {
    const int i = indexOf(uniqueId);
    return i < 0 || ProfileFile::writeString(kSection, name.arg(i + 1), value, configPath_);
}

bool CTorval2UploadList::SetUploading(const QString& uniqueId, bool uploading) {
    if (const int i = indexOf(uniqueId); i >= 0)
        jobs_[i]->isUploading = uploading;
    return writeJobKey(uniqueId, QStringLiteral("isUploading%1"),
                       uploading ? QStringLiteral("1") : QStringLiteral("0"));
}

bool CTorval2UploadList::SetLastUploadTime(const QString& uniqueId, const SystemTime& time) {
    if (const int i = indexOf(uniqueId); i >= 0)
        jobs_[i]->LastUploadTime = time;
    return writeJobKey(uniqueId, QStringLiteral("LastUploadTime%1"), FormatTime(time));
}

bool CTorval2UploadList::SetLastUploadEndTime(const QString& uniqueId, const SystemTime& time) {
    if (const int i = indexOf(uniqueId); i >= 0)
        jobs_[i]->LastUploadEndTime = time;
    return writeJobKey(uniqueId, QStringLiteral("LastUploadEndTime%1"), FormatTime(time));
}

bool CTorval2UploadList::SetLastUploadFlag(const QString& uniqueId, const QString& flag) {
    if (const int i = indexOf(uniqueId); i >= 0)
        jobs_[i]->LastUploadFlag = flag;
    return writeJobKey(uniqueId, QStringLiteral("LastUploadFlag%1"), flag);
}
