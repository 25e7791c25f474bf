// The guest share dialog's checks, without a window.
#include "ShareValidation.h"

#include <gtest/gtest.h>

namespace {

TEST(ShareValidationTest, FirstFailureInTheFixedOrder) {
    const QString range = "有効期限は本日から１４日以内を指定してください。";
    const QString mailNeeded = "共有したい相手のメールアドレスを指定してください。";
    const QString badMail = "メールアドレスの指定が不正です。";
    const QString keyLength = "アクセスキーは4～32文字までです。";
    const QString keyLetters = "アクセスキーは半角英数字で指定してください。";
    // Each case changes one field of a valid form: only file field 3, expiry
    // in three days, no address, no key, an empty notice.
    enum Field { kNone, kFile3, kExpiryDays, kMail, kNoticeLength, kKey };
    enum Flags { kFree = 0, kKeyRequired = 1, kMailRequired = 2 };
    const struct {
        Field field;
        QString value;
        int flags;
        QString message;  // empty: accepted
    } cases[] = {
        {kNone, "", kFree, ""},
        {kFile3, "", kFree, "共有するファイルを指定してください。"},
        {kExpiryDays, "none", kFree, "有効期限を指定してください。"},
        {kExpiryDays, "0", kFree, ""},
        {kExpiryDays, "14", kFree, ""},
        {kExpiryDays, "15", kFree, range},
        {kExpiryDays, "-1", kFree, range},
        {kMail, "a@b.jp, taro.yamada+share@mail-1.example-2.co.jp", kMailRequired, ""},
        {kMail, ",,,", kFree, ""},
        {kMail, ",,,", kMailRequired, mailNeeded},
        {kMail, " \n ", kMailRequired, mailNeeded},
        // Twenty-one addresses, one of them malformed: the count is checked first.
        {kMail, (QStringList(10, "g@example.jp") << "a@@b" << QStringList(10, "g@x.jp")).join(','),
         kFree, "メールアドレスの指定は最大20個までです。"},
        {kMail, "a@b.jp, c@d.jp.", kFree, badMail},
        {kMail, "taro@localhost", kFree, badMail},
        {kNoticeLength, "4000", kFree, ""},
        {kNoticeLength, "4001", kFree, "お知らせ文面は4000字までです。"},
        {kKey, "abc", kFree, keyLength},
        {kKey, "  abcd  ", kFree, ""},
        {kKey, QString(33, u'k'), kFree, keyLength},
        {kKey, "ab-cd", kFree, keyLetters},
        {kKey, "ａｂｃｄ", kFree, keyLetters},
        {kKey, "   ", kFree, ""},
        {kKey, "   ", kKeyRequired, "アクセスキーを指定してください。"},
        {kKey, "x", kKeyRequired | kMailRequired, mailNeeded},
    };
    const QDate today(2026, 10, 20);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.field << " " << c.value.toStdString());
        ShareFormValues v;
        v.files[2] = c.field == kFile3 ? c.value : "/home/taro/共有.txt";
        v.expiry = today.addDays(c.field == kExpiryDays ? c.value.toInt() : 3);
        if (c.value == "none")
            v.expiry = QDate();
        if (c.field == kMail)
            v.mailText = c.value;
        if (c.field == kNoticeLength)
            v.noticeText = QString(c.value.toInt(), u'文');
        if (c.field == kKey)
            v.accessKey = c.value;
        EXPECT_EQ(ValidateShareRequest(v, today, c.flags & kKeyRequired, c.flags & kMailRequired),
                  c.message);
    }
}

}  // namespace
