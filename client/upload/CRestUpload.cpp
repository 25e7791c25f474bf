#include "CRestUpload.h"

#include <QDir>
#include <QFileInfo>

#include "CLogWriter.h"
#include "CRestJsonParser.h"
#include "ConnectionFailure.h"
#include "ProgramVersion.h"
#include "TextCodec.h"

namespace {

const QString kDiskQuota = QStringLiteral("PORTAL_INSUFFICIENT_STORAGE");

QString withoutTrailingSlash(QString path) {
    if (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

// One check of the run: true when the operation succeeded. A reply that
// cannot be read is a failure of this check like any other, not the end of
// the run.
template <typename Operation>
bool checked(CRestResult& result, Operation operation) {
    try {
        operation();
    } catch (const JsonParseError&) {
        result.ok = false;
        return false;
    }
    return result.status == 200;
}

QString failureText(qint64 outcome, const QString& message) {
    QString text = QStringLiteral("失敗(") + QString::number(outcome);
    if (!message.isEmpty())
        text += QLatin1Char(':') + message;
    return text + QLatin1Char(')');
}

}  // namespace

CRestUpload::CRestUpload(const UploadJob& job, const CRestSettings& settings, CRestControl& rest,
                         CLogWriter& logger, const std::atomic<int>* stopFlag,
                         const QString& workFolder, const Clock& clock)
    : job_(job),
      settings_(settings),
      rest_(rest),
      logger_(logger),
      stopFlag_(stopFlag),
      workFolder_(workFolder),
      clock_(clock) {}

CRestUpload::~CRestUpload() {
    if (progress_)
        rest_.setSendObserver(nullptr);
}

void CRestUpload::setProgress(TaskProgress* progress) {
    progress_ = progress;
    if (progress)
        rest_.setSendObserver([progress](qint64 sent) { progress->fileSent(sent); });
    else
        rest_.setSendObserver(nullptr);
}

void CRestUpload::countChanged(const LocalSnapshot::PreviousIndex& previous) {
    phase(UploadPhase::Comparing);
    quint64 files = 0;
    quint64 bytes = 0;
    LocalSnapshot::Reader current(names_.current);
    QString line;
    while (current.next(line)) {
        const std::optional<TreeEntry> e =
            LocalSnapshot::ParseEntry(line, hotFolder_, destination_);
        if (e && !e->isFolder() && e->size <= kMaxFileSize &&
            !LocalSnapshot::IsUnchanged(*e, previous, resendAll_) &&
            !LocalSnapshot::IsExcluded(e->localPath)) {
            ++files;
            bytes += e->size;
        }
    }
    progress_->startUploading(files, bytes);
}

QString CRestUpload::now() const {
    const SystemTime t = clock_.localTime();
    return QString::asprintf("%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                             t.minute, t.second);
}

bool CRestUpload::Run(const std::optional<ArchiveBuilder::Archive>& archive) {
    if (!Prepare())
        return false;
    bool ok = false;
    if (archive) {
        ok = UploadArchive(*archive);
    } else {
        QDir().mkpath(workFolder_);
        phase(UploadPhase::Listing);
        names_ = LocalSnapshot::MakeNames(workFolder_, job_.UniqueId, settings_.UploaderSessionId);
        if (!LocalSnapshot::WriteSnapshot(names_.current, hotFolder_, tally_))
            return false;
        ok = CompareAndUpload();
        if (!LocalSnapshot::RotateSnapshots(names_, logger_))
            return false;
    }
    endTime_ = now();
    phase(UploadPhase::Reporting);
    SendReport(QStringLiteral("end"));
    return ok;
}

void CRestUpload::checkFailed(const QString& text, const CRestResult& result) {
    failureReason_ = FailureReason(result);
    logger_.Log(CLogWriter::LogError, text + QLatin1Char(' ') + FailureLogText(result));
}

bool CRestUpload::Prepare() {
    hotFolder_ = job_.HotFolder;
    destination_ = withoutTrailingSlash(job_.OrrinPortalFolder);
    phase(UploadPhase::CheckingServer);

    CRestPortal portal;
    CRestResult portalResult;
    if (!checked(portalResult, [&] { rest_.GetCurrentPortal(portalResult, portal); })) {
        checkFailed(QStringLiteral("ポータル情報を取得出来ませんでした。"), portalResult);
        return false;
    }
    CRestUser user;
    CRestResult userResult;
    if (!checked(userResult, [&] { rest_.GetCurrentUser(userResult, user); })) {
        checkFailed(QStringLiteral("ユーザ情報を取得出来ませんでした。"), userResult);
        LocalSnapshot::TallyTree(hotFolder_, false, tally_);
        return false;
    }
    CRestItem folder;
    CRestResult folderResult;
    if (!checked(folderResult, [&] { rest_.GetFolder(folderResult, destination_, folder); })) {
        checkFailed(QStringLiteral("パックアップ先情報を取得出来ませんでした。"), folderResult);
        LocalSnapshot::TallyTree(hotFolder_, false, tally_);
        return false;
    }
    if (!folder.canCreate || !folder.canUpdate) {
        logger_.Log(CLogWriter::LogError,
                    QStringLiteral("パックアップ先に書き込み権限がありません。"));
        LocalSnapshot::TallyTree(hotFolder_, false, tally_);
        return false;
    }

    boxId_ = user.userCode + QLatin1Char('@') + portal.portalCode;
    CRestPragma pragma;
    CRestResult pragmaResult;
    if (!checked(pragmaResult,
                 [&] { rest_.GetPragma(pragmaResult, boxId_, job_.UniqueId, pragma); })) {
        logger_.Log(CLogWriter::LogInfo, QStringLiteral("サーバ指示情報を取得出来ませんでした。"));
    } else {
        resendAll_ = pragma.retransmission;
        if (resendAll_)
            logger_.Log(CLogWriter::LogInfo, QStringLiteral("サーバから再送指示を受信しました。"));
    }

    version_ = GetProgramVersionText();
    logger_.Log(CLogWriter::LogInfo,
                QStringLiteral("セッション:") + settings_.UploaderSessionId +
                    QStringLiteral(" ポータル:") + portal.portalCode + QStringLiteral(" ユーザ:") +
                    user.userCode + QStringLiteral(" バージョン:") + version_ +
                    QStringLiteral(" バックアップ元:") + hotFolder_ +
                    QStringLiteral(" バックアップ先:") + destination_ +
                    QStringLiteral(" REST-APIs:") + settings_.scheme + QStringLiteral("://") +
                    settings_.host + settings_.basePath);
    proxyUsed_ = !settings_.proxyAddress.isEmpty();
    if (proxyUsed_)
        logger_.Log(CLogWriter::LogInfo, QStringLiteral("プロクシ利用:") + settings_.proxyAddress +
                                             QLatin1Char(' ') +
                                             QString::number(settings_.proxyPort));
    logger_.Log(CLogWriter::LogInfo, QStringLiteral("作業フォルダ:") + workFolder_);

    portalId_ = portal.portalId;
    startTime_ = now();
    SendReport(QStringLiteral("start"));
    return true;
}

bool CRestUpload::CompareAndUpload() {
    LocalSnapshot::Reader current(names_.current);
    if (!current.isOpen()) {
        logger_.Log(CLogWriter::LogError,
                    QStringLiteral("今回のファイルツリーを開けませんでした。"));
        return false;
    }
    LocalSnapshot::Writer result(names_.result);
    if (!result.isOpen()) {
        logger_.Log(CLogWriter::LogError, QStringLiteral("結果ファイルの作成に失敗しました。"));
        return false;
    }
    const LocalSnapshot::PreviousIndex previous(names_.previous);
    if (progress_)
        countChanged(previous);
    UploadCounters& c = tally_.counters;
    bool ok = true;

    QString line;
    while (current.next(line)) {
        const std::optional<TreeEntry> parsed =
            LocalSnapshot::ParseEntry(line, hotFolder_, destination_);
        if (stopRequested()) {
            logger_.Log(CLogWriter::LogWarning, QStringLiteral("アップロード処理を中断しました。"));
            abortCause_ = QStringLiteral("Interrupt");
            if (parsed) {
                tally_.failureList.append(parsed->localPath);
                if (!parsed->isFolder()) {
                    ++c.interrupted;
                    c.interruptedSize += parsed->size;
                }
            }
            LocalSnapshot::DrainRemaining(current, result, previous, resendAll_, hotFolder_,
                                          destination_, tally_);
            ok = false;
            break;
        }
        if (!parsed) {
            // Not a line this run wrote; nothing can be sent for it.
            ++c.excluded;
            logger_.Log(CLogWriter::LogWarning,
                        QStringLiteral("対象外の行を読み飛ばしました: ") + line.left(512));
            continue;
        }
        const TreeEntry& e = *parsed;
        if (LocalSnapshot::IsExcluded(e.localPath)) {
            if (!e.isFolder()) {
                ++c.excluded;
                c.excludedSize += e.size;
            }
            continue;
        }

        QString action;
        qint64 outcome = 0;
        CRestResult r;
        if (e.isFolder()) {
            action = QStringLiteral("フォルダ作成");
            rest_.CreateFolder(r, e.name, e.parent);
            outcome = r.status;
        } else {
            action = QStringLiteral("ファイル更新");
            if (e.size > kMaxFileSize) {
                outcome = 601;
                r.message = QStringLiteral("ファイルサイズが大きすぎます。") + e.localPath;
            } else if (LocalSnapshot::IsUnchanged(e, previous, resendAll_)) {
                outcome = -2;
            } else {
                if (progress_)
                    progress_->startFile(e.name, e.size);
                rest_.UploadFile(r, e.localPath, e.parent);
                if (progress_)
                    progress_->fileDone();
                outcome = r.status;
            }
        }

        QString outcomeText;
        int level = CLogWriter::LogDebug;
        if (outcome == -2) {
            outcomeText = QStringLiteral("スキップ");
            ++c.skipped;
            c.skippedSize += e.size;
            result.write(line);
        } else if (outcome == 200 || outcome == 204 || (e.isFolder() && outcome == 409)) {
            outcomeText = QStringLiteral("成功");
            tally_.successList.append(e.localPath);
            if (e.isFolder()) {
                ++c.foldersCreated;
            } else {
                ++c.succeeded;
                c.succeededSize += e.size;
            }
            result.write(line);
        } else {
            tally_.failureList.append(e.localPath);
            outcomeText = failureText(outcome, r.message);
            level = CLogWriter::LogWarning;
            if (r.errorCode == kDiskQuota) {
                abortCause_ = QStringLiteral("DiskQuota");
                outcome = -1;
                level = CLogWriter::LogError;
            }
            if (!e.isFolder()) {
                ++c.failed;
                c.failedSize += e.size;
            }
            ok = false;
        }
        if (r.retryCount > 0) {
            outcomeText += QStringLiteral("(リトライ%1回)").arg(r.retryCount);
            c.retries += static_cast<quint64>(r.retryCount);
            if (!e.isFolder())
                c.retrySize += static_cast<quint64>(r.retryCount) * e.size;
        }
        logger_.Log(level, action + QLatin1Char(' ') + outcomeText + QLatin1Char(' ') + e.parent +
                               QLatin1Char('/') + e.name);
        if (outcome == -1) {
            LocalSnapshot::DrainRemaining(current, result, previous, resendAll_, hotFolder_,
                                          destination_, tally_);
            break;
        }
    }
    // A result that did not reach the disk whole must not become the previous file.
    if (!result.close())
        ok = false;
    return ok;
}

bool CRestUpload::UploadArchive(const ArchiveBuilder::Archive& archive) {
    const QString remote = destination_ + QLatin1Char('/') + archive.name;
    CRestResult r;
    if (progress_) {
        const auto size = static_cast<quint64>(QFileInfo(archive.path).size());
        progress_->startUploading(1, size);
        progress_->startFile(archive.name, size);
    }
    rest_.UploadFile(r, archive.path, destination_);
    if (progress_)
        progress_->fileDone();
    const bool ok = r.status == 200 || r.status == 204;
    const QString outcomeText = ok ? QStringLiteral("成功") : failureText(r.status, r.message);
    LocalSnapshot::TallyTree(hotFolder_, ok, tally_);
    logger_.Log(ok ? CLogWriter::LogInfo : CLogWriter::LogError,
                QStringLiteral("ZIPアップロード ") + outcomeText + QLatin1Char(' ') + remote);
    return ok;
}

void CRestUpload::SendReport(const QString& type) {
    const UploadCounters& c = tally_.counters;
    CRestResultLog r;
    r.type = type;
    r.versionNumber = version_;
    r.jobNumber = job_.JobNumber;
    r.jobId = job_.UniqueId;
    r.boxId = boxId_;
    r.portalId = portalId_;
    r.isProxyUse = proxyUsed_;
    r.isZipUpload = job_.CompressionEnable;
    r.isImmediatelyUpload = job_.UploadNow;
    r.isAllUpload = job_.AllJobs;
    r.isMoveAfterUpload = job_.EvacuationEnable;
    r.isRetransmission = resendAll_;
    r.startDatetime = startTime_;
    r.abortCause = abortCause_;
    r.counters = c;
    r.endDatetime = type == QLatin1String("start") ? QString() : endTime_;

    const auto n = [](quint64 v) { return QString::number(v); };
    const QString line =
        QStringLiteral("アップロード結果 セッション:") + settings_.UploaderSessionId +
        QStringLiteral(" 状態:") + r.type + QStringLiteral(" バージョン番号:") + r.versionNumber +
        QStringLiteral(" ジョブ番号:") + QString::number(r.jobNumber) +
        QStringLiteral(" ジョブID:") + r.jobId + QStringLiteral(" BOX-ID:") + r.boxId +
        QStringLiteral(" ポータルID:") + QString::number(r.portalId) +
        QStringLiteral(" プロクシ利用:") + BoolText(r.isProxyUse) +
        QStringLiteral(" zipアップロード:") + BoolText(r.isZipUpload) +
        QStringLiteral(" いますぐアップロード:") + BoolText(r.isImmediatelyUpload) +
        QStringLiteral(" 全ジョブを対象:") + BoolText(r.isAllUpload) +
        QStringLiteral(" 成功したファイルを移動:") + BoolText(r.isMoveAfterUpload) +
        QStringLiteral(" 再送指示:") + BoolText(r.isRetransmission) +
        QStringLiteral(" 処理開始日時:") + r.startDatetime + QStringLiteral(" 中断理由:") +
        r.abortCause + QStringLiteral(" 総フォルダ数:") + n(c.foldersTotal) +
        QStringLiteral(" 総ファイル数:") + n(c.filesTotal) + QStringLiteral(" 総ファイルサイズ:") +
        n(c.sizeTotal) + QStringLiteral(" フォルダ作成数:") + n(c.foldersCreated) +
        QStringLiteral(" 成功数:") + n(c.succeeded) + QStringLiteral(" 成功サイズ:") +
        n(c.succeededSize) + QStringLiteral(" 失敗数:") + n(c.failed) +
        QStringLiteral(" 失敗サイズ:") + n(c.failedSize) + QStringLiteral(" スキップ数:") +
        n(c.skipped) + QStringLiteral(" スキップサイズ:") + n(c.skippedSize) +
        QStringLiteral(" 対象除外数:") + n(c.excluded) + QStringLiteral(" 対象除外サイズ:") +
        n(c.excludedSize) + QStringLiteral(" 中断数:") + n(c.interrupted) +
        QStringLiteral(" 中断サイズ:") + n(c.interruptedSize) + QStringLiteral(" リトライ数:") +
        n(c.retries) + QStringLiteral(" リトライサイズ:") + n(c.retrySize) +
        QStringLiteral(" 処理終了日時:") + r.endDatetime;
    logger_.Log(CLogWriter::LogInfo, line);
    CRestResult ignored;
    rest_.SendResultLog(ignored, r);
}
