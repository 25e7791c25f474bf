#pragma once

#include <QString>
#include <QtGlobal>

#include <chrono>
#include <mutex>

// What an upload run is doing now.
enum class UploadPhase {
    CheckingServer,
    Archiving,
    Listing,
    Comparing,
    Uploading,
    Reporting,
    Moving,
};

// A consistent copy of one run's progress.
struct ProgressSnapshot {
    UploadPhase phase = UploadPhase::CheckingServer;
    quint64 filesTotal = 0;  // files to send, known from the uploading phase on
    quint64 filesDone = 0;
    quint64 bytesTotal = 0;
    quint64 bytesDone = 0;
    QString currentFile;
    // Time since the first file began to go out; 0 before.
    double transferSeconds = 0;
};

// The progress of one running upload: the run's worker writes it, the tray
// reads snapshots of it. Bytes of the file being sent come from the
// transfer's own progress callback, so a large file moves the record too.
class TaskProgress {
public:
    void setPhase(UploadPhase phase);
    // Starts the uploading phase with what is to be sent.
    void startUploading(quint64 files, quint64 bytes);
    void startFile(const QString& name, quint64 size);
    // Request bytes sent so far for the current file, taken up to its size
    // (the request's framing counts in them too).
    void fileSent(qint64 sent);
    // The current file's attempt ended, sent or not.
    void fileDone();
    ProgressSnapshot snapshot() const;

private:
    mutable std::mutex mutex_;
    ProgressSnapshot state_;
    quint64 finishedBytes_ = 0;
    quint64 fileSize_ = 0;
    quint64 fileBytes_ = 0;
    std::chrono::steady_clock::time_point transferStart_{};
    bool transferring_ = false;
};

// One line of the tray's tooltip and menu for a running job: its name, the
// phase and, while files go out, "12/40 ファイル", "3.1 MB / 12 MB" and,
// after 5 seconds of transfer, the estimated time left.
QString ProgressLine(const QString& jobName, const ProgressSnapshot& progress);

inline constexpr UploadPhase kUploadPhases[] = {UploadPhase::CheckingServer, UploadPhase::Archiving,
                                                UploadPhase::Listing,        UploadPhase::Comparing,
                                                UploadPhase::Uploading,      UploadPhase::Reporting,
                                                UploadPhase::Moving};
// The phase as the tray shows it ("アップロード中").
QString PhaseText(UploadPhase phase);
// The phase's name in the control channel's status ("uploading").
const char* PhaseKey(UploadPhase phase);
// "512 B", "3.1 MB", "12 MB": one decimal below ten units.
QString ProgressSize(quint64 bytes);
