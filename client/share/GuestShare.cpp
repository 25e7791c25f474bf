#include "GuestShare.h"

#include <QMap>

#include "CLogWriter.h"
#include "CRestControl.h"
#include "TextCodec.h"

std::atomic<bool> AccessKeyRequired{false};
std::atomic<bool> MailAddressRequired{false};

namespace {

// The service answers these with 204; a 200 or anything else is not success,
// whatever CRestResult::ok says.
constexpr qint32 kNoContent = 204;
constexpr qint32 kOk = 200;

const QString kValueOn = QStringLiteral("1");

QString TimestampText(const SystemTime& t) {
    return QString::asprintf("%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                             t.minute, t.second);
}

// The name as UploadFile stores it: the part after the last "/".
QString FileNameOf(const QString& localPath) {
    return SplitText(localPath, QStringLiteral("/")).constLast();
}

void RemoveUploaded(CRestControl& rest, CLogWriter& logger, const QStringList& uploaded,
                    const QString& folder) {
    // Every removal is tried even after one fails, so as little as possible stays behind.
    for (const QString& path : uploaded) {
        CRestResult result;
        rest.DeleteFile(result, path);
        if (result.status != kNoContent)
            logger.Log(CLogWriter::LogError, QStringLiteral("共有ファイル（") + path +
                                                 QStringLiteral("）の削除に失敗しました。"));
    }
    CRestResult result;
    rest.DeleteFolder(result, folder);
    if (result.status != kNoContent)
        logger.Log(CLogWriter::LogError, QStringLiteral("共有ファイルを保存するためのフォルダ（") +
                                             folder + QStringLiteral("）の削除に失敗しました。"));
}

// Stores the files and creates the share; on false (or an exception) the
// caller removes what uploaded lists, and the folder.
bool UploadAndShare(CRestControl& rest, CLogWriter& logger, const GuestShareRequest& request,
                    const QString& folder, QStringList& uploaded, GuestShareResult& shareResult) {
    for (const QString& localPath : request.files) {
        const QString remotePath = folder + QLatin1Char('/') + FileNameOf(localPath);
        CRestResult result;
        rest.UploadFile(result, localPath, folder);
        if (result.status != kNoContent) {
            logger.Log(CLogWriter::LogError, QStringLiteral("共有ファイル（") + remotePath +
                                                 QStringLiteral("）の保存に失敗しました。"));
            return false;
        }
        uploaded.append(remotePath);
    }

    CRestShareRequest share;
    share.paths = uploaded;
    share.mailAddresses = request.mailAddresses;
    share.accessKey = request.accessKey;
    share.sendAccessKey = request.sendAccessKey;
    share.text = request.noticeText;
    share.expire = request.expiry;
    CRestResult result;
    rest.CreateShare(result, share);
    if (result.status != kOk) {
        shareResult.errorText = result.message;
        logger.Log(CLogWriter::LogError, result.message);
        return false;
    }
    shareResult.downloadUrl = share.downloadUrl;
    return true;
}

}  // namespace

bool CheckGuestShareAvailability(CRestControl& rest, CLogWriter& logger, const Clock& clock) {
    const QString start = TimestampText(clock.localTime());
    const QString folder = QString::fromUtf16(kGuestFolder);
    bool available = true;

    CRestResult folderResult;
    CRestItem item;
    rest.GetFolder(folderResult, folder, item);
    if (folderResult.status != kOk) {
        logger.Log(CLogWriter::LogInfo, QStringLiteral("ゲスト共有用フォルダ（") + folder +
                                            QStringLiteral("）が見付かりませんでした。"));
        available = false;
    } else if (!item.canCreate || !item.canDelete) {
        logger.Log(CLogWriter::LogInfo,
                   QStringLiteral("ゲスト共有用フォルダ（") + folder +
                       QStringLiteral("）にフォルダの作成/削除権限がありませんでした。"));
        available = false;
    }

    // Read even when the folder is unusable: the dialog's demands hold regardless.
    CRestResult configResult;
    QMap<QString, QString> entries;
    rest.GetSettingsEntity(configResult, QString::fromUtf16(kShareConfigName), entries);
    if (configResult.ok) {
        for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
            if (it.value() != kValueOn)
                continue;
            if (it.key() == QLatin1String("password"))
                AccessKeyRequired.store(true);
            else if (it.key() == QLatin1String("email"))
                MailAddressRequired.store(true);
            else if (it.key() == QLatin1String("suppress-file-share"))
                available = false;
        }
    }

    logger.Log(CLogWriter::LogInfo, QStringLiteral("ゲスト共有可否チェックが完了しました。開始：") +
                                        start + QStringLiteral(" 終了：") +
                                        TimestampText(clock.localTime()));
    return available;
}

bool RunGuestShareUpload(CRestControl& rest, CLogWriter& logger, const GuestShareRequest& request,
                         GuestShareResult& shareResult) {
    const QString parent = QString::fromUtf16(kGuestFolder);
    const QString name = MakeUuid();
    const QString folder = parent + QLatin1Char('/') + name;

    CRestResult created;
    // Without a UUID the folder would be the guest folder itself; never send that.
    if (!name.isEmpty())
        rest.CreateFolder(created, name, parent);
    if (name.isEmpty() || created.status != kNoContent) {
        logger.Log(CLogWriter::LogError, QStringLiteral("共有ファイルを保存するためのフォルダ（") +
                                             folder + QStringLiteral("）の作成に失敗しました。"));
        return false;
    }

    QStringList uploaded;
    // An exception (unconvertible text, unparsable reply) ends the run too; what
    // was stored is removed before it goes on to the task's top.
    bool shared = false;
    try {
        shared = UploadAndShare(rest, logger, request, folder, uploaded, shareResult);
    } catch (...) {
        RemoveUploaded(rest, logger, uploaded, folder);
        throw;
    }
    if (!shared)
        RemoveUploaded(rest, logger, uploaded, folder);
    return shared;
}
