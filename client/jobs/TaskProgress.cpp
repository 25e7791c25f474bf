#include "TaskProgress.h"

#include <algorithm>

void TaskProgress::setPhase(UploadPhase phase) {
    std::lock_guard lock(mutex_);
    state_.phase = phase;
    state_.currentFile.clear();
}

void TaskProgress::startUploading(quint64 files, quint64 bytes) {
    std::lock_guard lock(mutex_);
    state_.phase = UploadPhase::Uploading;
    state_.filesTotal = files;
    state_.bytesTotal = bytes;
    state_.filesDone = 0;
    finishedBytes_ = 0;
    fileBytes_ = 0;
    transferring_ = false;
}

void TaskProgress::startFile(const QString& name, quint64 size) {
    std::lock_guard lock(mutex_);
    state_.currentFile = name;
    fileSize_ = size;
    fileBytes_ = 0;
    if (!transferring_) {
        transferring_ = true;
        transferStart_ = std::chrono::steady_clock::now();
    }
}

void TaskProgress::fileSent(qint64 sent) {
    std::lock_guard lock(mutex_);
    // A retry starts from 0 again; the bytes shown do not go back.
    fileBytes_ = std::max(
        fileBytes_, std::min<quint64>(static_cast<quint64>(std::max<qint64>(sent, 0)), fileSize_));
}

void TaskProgress::fileDone() {
    std::lock_guard lock(mutex_);
    ++state_.filesDone;
    finishedBytes_ += fileSize_;
    fileSize_ = 0;
    fileBytes_ = 0;
}

ProgressSnapshot TaskProgress::snapshot() const {
    std::lock_guard lock(mutex_);
    ProgressSnapshot s = state_;
    s.bytesDone = finishedBytes_ + fileBytes_;
    if (transferring_)
        s.transferSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - transferStart_)
                .count();
    return s;
}

namespace {

QString timeLeft(quint64 seconds) {
    if (seconds >= 3600)
        return QStringLiteral("残り約%1時間%2分").arg(seconds / 3600).arg(seconds % 3600 / 60);
    if (seconds >= 60)
        return QStringLiteral("残り約%1分%2秒").arg(seconds / 60).arg(seconds % 60);
    return QStringLiteral("残り約%1秒").arg(seconds);
}

}  // namespace

QString ProgressSize(quint64 bytes) {
    static const char* const units[] = {"KB", "MB", "GB", "TB"};
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    double value = static_cast<double>(bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    // Rounding 9.96 up to "10.0" would show a decimal the next size drops.
    const bool decimal = value < 9.95;
    return QString::number(value, 'f', decimal ? 1 : 0) + QLatin1Char(' ') +
           QLatin1String(units[unit]);
}

QString ProgressLine(const QString& jobName, const ProgressSnapshot& p) {
    QString line = jobName + QStringLiteral(": ") + PhaseText(p.phase);
    if (p.phase != UploadPhase::Uploading)
        return line;
    line += QStringLiteral(" %1/%2 ファイル").arg(p.filesDone).arg(p.filesTotal);
    line += QLatin1Char(' ') + ProgressSize(p.bytesDone) + QStringLiteral(" / ") +
            ProgressSize(p.bytesTotal);
    // Too early an estimate swings wildly: the first seconds are mostly
    // connection set-up and small files.
    if (p.transferSeconds >= 5 && p.bytesDone > 0 && p.bytesTotal >= p.bytesDone) {
        const double rate = static_cast<double>(p.bytesDone) / p.transferSeconds;
        line +=
            QLatin1Char(' ') + timeLeft(static_cast<quint64>(
                                   static_cast<double>(p.bytesTotal - p.bytesDone) / rate + 0.5));
    }
    return line;
}

QString PhaseText(UploadPhase phase) {
    switch (phase) {
        case UploadPhase::CheckingServer:
            return QStringLiteral("サーバ確認中");
        case UploadPhase::Archiving:
            return QStringLiteral("圧縮中");
        case UploadPhase::Listing:
            return QStringLiteral("ファイル一覧作成中");
        case UploadPhase::Comparing:
            return QStringLiteral("比較中");
        case UploadPhase::Uploading:
            return QStringLiteral("アップロード中");
        case UploadPhase::Reporting:
            return QStringLiteral("結果送信中");
        case UploadPhase::Moving:
            return QStringLiteral("移動・削除中");
    }
    return QString();
}

const char* PhaseKey(UploadPhase phase) {
    switch (phase) {
        case UploadPhase::CheckingServer:
            return "checking";
        case UploadPhase::Archiving:
            return "compressing";
        case UploadPhase::Listing:
            return "listing";
        case UploadPhase::Comparing:
            return "comparing";
        case UploadPhase::Uploading:
            return "uploading";
        case UploadPhase::Reporting:
            return "reporting";
        case UploadPhase::Moving:
            return "moving";
    }
    return "";
}
