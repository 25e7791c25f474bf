#include "ShareValidation.h"

#include <QRegularExpression>

namespace {

// Both patterns must match the whole text: anchoredPattern keeps "$" from
// accepting a text that ends in a line break.
const QRegularExpression& MailPattern() {
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(QStringLiteral(
        R"(^[_a-zA-Z0-9-]+([\.\+_a-zA-Z0-9-]+)*@[a-zA-Z0-9-]+([\.][a-zA-Z0-9-]+)+$)")));
    return pattern;
}

const QRegularExpression& KeyPattern() {
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("^[0-9a-zA-Z]+$")));
    return pattern;
}

}  // namespace

QStringList SplitList(const QString& text, QChar separator, bool trim) {
    const QString whole = trim ? text.trimmed() : text;
    QStringList parts;
    if (whole.isEmpty())
        return parts;
    for (const QString& piece : whole.split(separator)) {
        const QString part = trim ? piece.trimmed() : piece;
        if (!part.isEmpty())
            parts << part;
    }
    return parts;
}

bool IsShareExpiryInRange(const QDate& expiry, const QDate& today) {
    const qint64 days = today.daysTo(expiry);
    return days >= 0 && days <= kShareExpiryDays;
}

QString ValidateShareRequest(ShareFormValues& values, const QDate& today, bool accessKeyRequired,
                             bool mailAddressRequired) {
    bool anyFile = false;
    for (const QString& file : values.files)
        anyFile |= !file.isEmpty();
    if (!anyFile)
        return QStringLiteral("共有するファイルを指定してください。");
    if (!values.expiry.isValid())
        return QStringLiteral("有効期限を指定してください。");
    if (!IsShareExpiryInRange(values.expiry, today))
        return QString::fromUtf16(kShareExpiryRangeMessage);
    const QStringList addresses = SplitList(values.mailText, u',', true);
    // Separators alone name nobody: a required address must really be there.
    if (mailAddressRequired && addresses.isEmpty())
        return QStringLiteral("共有したい相手のメールアドレスを指定してください。");
    if (addresses.size() > kShareMaxMailAddresses)
        return QStringLiteral("メールアドレスの指定は最大20個までです。");
    for (const QString& address : addresses) {
        if (!MailPattern().match(address).hasMatch())
            return QStringLiteral("メールアドレスの指定が不正です。");
    }
    if (values.noticeText.size() > kShareMaxNoticeLength)
        return QStringLiteral("お知らせ文面は4000字までです。");
    values.accessKey = values.accessKey.trimmed();
    const QString& key = values.accessKey;
    if (accessKeyRequired && key.isEmpty())
        return QStringLiteral("アクセスキーを指定してください。");
    if (key.isEmpty())
        return QString();
    if (key.size() < kShareKeyMinLength || key.size() > kShareKeyMaxLength)
        return QStringLiteral("アクセスキーは4～32文字までです。");
    if (!KeyPattern().match(key).hasMatch())
        return QStringLiteral("アクセスキーは半角英数字で指定してください。");
    return QString();
}

GuestShareRequest MakeGuestShareRequest(const ShareFormValues& values) {
    GuestShareRequest request;
    for (const QString& file : values.files) {
        if (!file.isEmpty())
            request.files << file;
    }
    request.mailAddresses = SplitList(values.mailText, u',', true);
    request.noticeText = values.noticeText;
    request.accessKey = values.accessKey.trimmed();
    request.expiry = values.expiry.toString(QStringLiteral("yyyy/MM/dd"));
    request.sendAccessKey = values.sendAccessKey;
    return request;
}
