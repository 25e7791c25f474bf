#pragma once

#include <QChar>
#include <QDate>
#include <QString>
#include <QStringList>

#include <array>

#include "GuestShareRequest.h"

inline constexpr int kShareFileFields = 5;
// Expiry: from today up to this many days ahead, both ends included.
inline constexpr int kShareExpiryDays = 14;
inline constexpr int kShareMaxMailAddresses = 20;
inline constexpr int kShareMaxNoticeLength = 4000;
inline constexpr int kShareKeyMinLength = 4;
inline constexpr int kShareKeyMaxLength = 32;

// Refused expiry, by the check and by the dialog's date picker alike.
inline constexpr char16_t kShareExpiryRangeMessage[] =
    u"有効期限は本日から１４日以内を指定してください。";

// The guest share dialog's fields as typed.
struct ShareFormValues {
    std::array<QString, kShareFileFields> files;
    QString mailText;
    QString noticeText;
    QDate expiry;  // invalid: the picker holds no date
    QString accessKey;
    bool sendAccessKey = false;
};

// Cuts text at every separator, in order, keeping only non-empty parts; with
// trim the whole text and each part lose surrounding blanks first. An empty
// text gives no parts.
QStringList SplitList(const QString& text, QChar separator, bool trim);

// True when expiry lies from today to fourteen days ahead, counted in calendar
// days so that a clock change in between cannot move either end.
bool IsShareExpiryInRange(const QDate& expiry, const QDate& today);

// Checks the fields in their fixed order and returns the first failure's
// message, or an empty text when the share may start. Leaves the access key
// trimmed in values, as the dialog then shows it. The two flags come from the
// last availability check and make a key and at least one address mandatory.
QString ValidateShareRequest(ShareFormValues& values, const QDate& today, bool accessKeyRequired,
                             bool mailAddressRequired);

// The request for values that passed ValidateShareRequest.
GuestShareRequest MakeGuestShareRequest(const ShareFormValues& values);
