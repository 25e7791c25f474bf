#pragma once

#include <QString>

#include <memory>
#include <vector>

#include "SystemTime.h"
#include "UploadJob.h"

// The up to 20 upload jobs, kept as numbered keys in section Config of the
// user's settings file. Used from the user-interface thread only; a run
// works on its own copy of a job.
class CTorval2UploadList {
public:
    static constexpr int kMaxJobs = 20;

    // Clears the uploading mark of all twenty numbers in the file, so that no
    // job counts as running after a start of the program.
    explicit CTorval2UploadList(const QString& configPath, const Clock& clock = Clock::system());
    CTorval2UploadList(const CTorval2UploadList&) = delete;
    CTorval2UploadList& operator=(const CTorval2UploadList&) = delete;

    // Replaces the list by the jobs in the file. A job found without a unique
    // id gets one, written at once; false only when that write fails.
    bool Load();
    // Writes the list as one replace of the file: jobs take the numbers of
    // their list positions, the keys of unused numbers are removed. False,
    // with the file unchanged and the system's text for the error in reason
    // (when given), when it cannot be replaced.
    bool Save(QString* reason = nullptr);
    // The last Save failed and no Load followed: the list holds changes the
    // file does not.
    bool Unsaved() const { return unsaved_; }
    const QString& FilePath() const { return configPath_; }

    // Appends a job the caller filled; false when the list is full. The job
    // gets a new unique id, no uploading mark, flag "（未）" and zero times.
    bool AddJob(const UploadJob& job);
    bool RemoveJob(int index);
    // The job at the 0-based index, which becomes the current job; null past the end.
    UploadJob* GetJob(int index);
    UploadJob* CurrentJob() const { return current_; }
    int Count() const { return static_cast<int>(jobs_.size()); }
    static bool CopyJob(UploadJob* target, const UploadJob& source);
    void Clear();

    // Set one field of the job with this unique id and write only its key.
    // True also when no job has the id; false only when the write fails.
    bool SetUploading(const QString& uniqueId, bool uploading);
    bool SetLastUploadTime(const QString& uniqueId, const SystemTime& time);
    bool SetLastUploadEndTime(const QString& uniqueId, const SystemTime& time);
    bool SetLastUploadFlag(const QString& uniqueId, const QString& flag);

    static qint64 SecondsSince1970(const SystemTime& time) { return ::SecondsSince1970(time); }

    // "%lld_%03d_%d": local wall-clock seconds since 1970, milliseconds and
    // a random number up to 32767; never one a job of this list already has.
    QString MakeUniqueId() const;

    static QString FormatTime(const SystemTime& time);  // "%04d/%02d/%02d %02d:%02d"
    static SystemTime ParseTime(const QString& text);   // fixed positions; missing parts 0

private:
    int indexOf(const QString& uniqueId) const;
    bool writeJobKey(const QString& uniqueId, const QString& keyPattern, const QString& value);

    QString configPath_;
    const Clock& clock_;
    std::vector<std::unique_ptr<UploadJob>> jobs_;
    UploadJob* current_ = nullptr;
    bool unsaved_ = false;
};
