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

// The key of a start time's field, "SyncTime<slot><n><field>". Files of earlier
// versions hold one schedule of times of day for all jobs, keyed without n (0).
QString startTimeKey(int slot, int n, const char* field) {
    return QLatin1String("SyncTime") + QString::number(slot) +
           (n ? QString::number(n) : QString()) + QLatin1String(field);
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

        const bool ownSchedule = !read(startTimeKey(1, n, "Type")).isEmpty();
        const auto timeKey = [&](int slot, const char* field) {
            return startTimeKey(slot, ownSchedule ? n : 0, field);
        };
        j.SyncTime2Enable = read(timeKey(2, "Enable")) == kOn;
        for (int slot = 1; slot <= 2; ++slot) {
            const StartTimeMembers& m = kStartTimes[slot - 1];
            j.*m.type = !ownSchedule || number(timeKey(slot, "Type")) == 1;
            (j.*m.time).hour = static_cast<quint16>(number(timeKey(slot, "Hour")));
            (j.*m.time).minute = static_cast<quint16>(number(timeKey(slot, "Minute")));
            j.*m.afterStart = ownSchedule ? read(timeKey(slot, "AfterStart")) : QStringLiteral("1");
            j.*m.week = ownSchedule ? read(timeKey(slot, "Week")) : QStringLiteral("1111111");
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
        const auto put = [&](const QString& name, const QString& value) {
            changes.append({kSection, name, j ? std::optional<QString>(value) : std::nullopt});
        };
        const UploadJob none;
        const UploadJob& v = j ? *j : none;
        put(k("isUploading%1"), oneZero(v.isUploading));
        put(k("UniqueId%1"), v.UniqueId);
        put(k("Name%1"), v.Name);
        put(k("HotFolder%1"), v.HotFolder);
        for (int slot = 1; slot <= 2; ++slot) {
            const StartTimeMembers& m = kStartTimes[slot - 1];
            const auto key = [&](const char* field) { return startTimeKey(slot, n, field); };
            if (slot == 2)
                put(key("Enable"), onOff(v.SyncTime2Enable));
            put(key("Type"), oneZero(v.*m.type));
            put(key("Hour"), QString::number((v.*m.time).hour));
            put(key("Minute"), QString::number((v.*m.time).minute));
            put(key("AfterStart"), v.*m.afterStart);
            put(key("Week"), v.*m.week);
        }
        put(k("Folder%1CompressionEnable"), onOff(v.CompressionEnable));
        put(k("Folder%1EvacuationEnable"), onOff(v.EvacuationEnable));
        put(k("OrrinPortalFolder%1"), v.OrrinPortalFolder);
        put(k("ErrorFolder%1"), v.ErrorFolder);
        put(k("EvacuationFolder%1"), v.EvacuationFolder);
        put(k("Folder%1Delete7DaysEnable"), onOff(v.Delete7DaysEnable));
        put(k("Folder%1CompressionFilename"), v.CompressionFilename);
        put(k("LastUploadTime%1"), FormatTime(v.LastUploadTime));
        put(k("LastUploadEndTime%1"), FormatTime(v.LastUploadEndTime));
        put(k("LastUploadFlag%1"), v.LastUploadFlag);
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
