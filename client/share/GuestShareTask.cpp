#include "GuestShareTask.h"

#include <exception>
#include <optional>

#include "CLogWriter.h"
#include "CRestControl.h"
#include "CRestSettings.h"
#include "CTorval2Exception.h"
#include "GuestShare.h"

namespace {

const QString kSucceeded = QStringLiteral("成功");
const QString kFailed = QStringLiteral("失敗");
const QString kCrLf = QStringLiteral("\r\n");

// Runs work with a fresh session; false when it fails or throws. Exceptions
// stop here so that a worker thread never takes the program down.
template <typename Work>
bool RunGuarded(CLogWriter& logger, Work&& work) {
    try {
        const CRestSettings settings = LoadSettings();
        CRestControl rest(&settings, &logger);
        return work(rest);
    } catch (const CTorval2Exception& e) {
        logger.Log(CLogWriter::LogError, e.code() + QStringLiteral(" : ") + e.message());
    } catch (const std::exception& e) {
        logger.Log(CLogWriter::LogError,
                   QStringLiteral("UNEXPECTED_ERROR : ") + QString::fromUtf8(e.what()));
    } catch (...) {
        logger.Log(CLogWriter::LogError, QStringLiteral("UNEXPECTED_ERROR"));
    }
    return false;
}

}  // namespace

void RunGuestShareTask(TaskBlock block) {
    // A block without a logger still gets one, so failures are never silent.
    std::optional<CLogWriter> ownLogger;
    CLogWriter& logger = block.logger ? *block.logger : ownLogger.emplace();

    GuestShareResult share;
    const bool ok = RunGuarded(logger, [&](CRestControl& rest) {
        if (!block.guestRequest)
            throw CTorval2Exception(QStringLiteral("ゲスト共有の依頼がありません。"),
                                    QStringLiteral("NO_GUEST_SHARE_REQUEST"));
        return RunGuestShareUpload(rest, logger, *block.guestRequest, share);
    });
    block.result = ok ? 1 : 0;
    block.shareDownloadUrl = ok ? share.downloadUrl : QString();
    if (block.job)
        block.job->LastUploadFlag = ok ? kSucceeded : kFailed;
    HandBack(block, logger);
}

void RunGuestShareCheckTask(TaskBlock block) {
    std::optional<CLogWriter> ownLogger;
    CLogWriter& logger = block.logger ? *block.logger : ownLogger.emplace();

    const bool ok = RunGuarded(
        logger, [&](CRestControl& rest) { return CheckGuestShareAvailability(rest, logger); });
    block.result = ok ? 1 : 0;
    HandBack(block, logger);
}

ShareCompletedText BuildShareCompletedText(const GuestShareRequest& request,
                                           const QString& downloadUrl) {
    ShareCompletedText out;
    const bool noMail = request.mailAddresses.isEmpty();
    if (noMail)
        out.text += downloadUrl + kCrLf + kCrLf;
    if (!request.accessKey.isEmpty())
        out.text += QStringLiteral("アクセスキー：") + request.accessKey + kCrLf;
    if (!request.expiry.isEmpty())
        out.text += QStringLiteral("有効期限：") + request.expiry + kCrLf;
    out.header =
        noMail ? QStringLiteral("以下のダウンロード専用URLをご案内ください。")
               : QStringLiteral("登録メールアドレスにファイルダウンロード情報を送信しました。");
    return out;
}
