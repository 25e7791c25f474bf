// The guest share dialog's checks, without a window.
#include "ShareValidation.h"

#include <gtest/gtest.h>

#include <ostream>

static void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

const QDate kToday(2026, 10, 20);

QString Addresses(int count, const QString& odd = QString()) {
    QStringList list;
    for (int i = 0; i < count; ++i)
        list << QStringLiteral("guest%1@example.jp").arg(i);
    if (!odd.isEmpty())
        list[count / 2] = odd;
    return list.join(u',');
}

TEST(ShareValidationTest, FirstFailureInTheFixedOrder) {
    const QString noFiles = "共有するファイルを指定してください。";
    const QString range = "有効期限は本日から１４日以内を指定してください。";
    const QString mailNeeded = "共有したい相手のメールアドレスを指定してください。";
    const QString tooMany = "メールアドレスの指定は最大20個までです。";
    const QString badMail = "メールアドレスの指定が不正です。";
    const QString keyNeeded = "アクセスキーを指定してください。";
    const QString keyLength = "アクセスキーは4～32文字までです。";
    const QString keyLetters = "アクセスキーは半角英数字で指定してください。";
    // Each case changes one field of a valid form: only file field 3, expiry
    // in three days, no address, no key, an empty notice.
    enum Field { kNone, kFile3, kExpiryDays, kMail, kNoticeLength, kKey };
    enum Flags { kFree = 0, kKeyRequired = 1, kMailRequired = 2 };
    const struct Case {
        const char* what;
        Field field;
        QString value;
        int flags;
        QString message;  // empty: accepted
    } cases[] = {
        {"only field 3", kNone, "", kFree, ""},
        {"no file", kFile3, "", kFree, noFiles},
        {"no date", kExpiryDays, "none", kFree, "有効期限を指定してください。"},
        {"today", kExpiryDays, "0", kFree, ""},
        {"fourteen days ahead", kExpiryDays, "14", kFree, ""},
        {"fifteen days ahead", kExpiryDays, "15", kFree, range},
        {"yesterday", kExpiryDays, "-1", kFree, range},
        {"two addresses", kMail, "a@b.jp, c@d.jp", kFree, ""},
        {"three commas", kMail, ",,,", kFree, ""},
        {"three commas, mail required", kMail, ",,,", kMailRequired, mailNeeded},
        {"blanks, mail required", kMail, " \n ", kMailRequired, mailNeeded},
        {"an address, mail required", kMail, "a@b.jp", kMailRequired, ""},
        {"twenty addresses", kMail, Addresses(20), kFree, ""},
        {"21 with one malformed", kMail, Addresses(21, "a@@b"), kFree, tooMany},
        {"trailing dot", kMail, "a@b.jp, c@d.jp.", kFree, badMail},
        {"two at-signs", kMail, "a@b@c.jp", kFree, badMail},
        {"one-label domain", kMail, "taro@localhost", kFree, badMail},
        {"line break inside", kMail, "a@b.jp\nc@d.jp", kFree, badMail},
        {"dots, plus, hyphens", kMail, "taro.yamada+share@mail-1.example-2.co.jp", kFree, ""},
        {"4000 characters", kNoticeLength, "4000", kFree, ""},
        {"4001 characters", kNoticeLength, "4001", kFree, "お知らせ文面は4000字までです。"},
        {"key of three", kKey, "abc", kFree, keyLength},
        {"key in blanks", kKey, "  abcd  ", kFree, ""},
        {"key of 32", kKey, QString(32, u'k'), kFree, ""},
        {"key of 33", kKey, QString(33, u'k'), kFree, keyLength},
        {"key with hyphen", kKey, "ab-cd", kFree, keyLetters},
        {"full-width key", kKey, "ａｂｃｄ", kFree, keyLetters},
        {"blank key", kKey, "   ", kFree, ""},
        {"blank key, key required", kKey, "   ", kKeyRequired, keyNeeded},
        {"mail checked before key", kKey, "x", kKeyRequired | kMailRequired, mailNeeded},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ShareFormValues v;
        v.files[2] = c.field == kFile3 ? c.value : "/home/taro/共有.txt";
        v.expiry = kToday.addDays(3);
        if (c.field == kExpiryDays)
            v.expiry = c.value == "none" ? QDate() : kToday.addDays(c.value.toInt());
        if (c.field == kMail)
            v.mailText = c.value;
        if (c.field == kNoticeLength)
            v.noticeText = QString(c.value.toInt(), u'文');
        if (c.field == kKey)
            v.accessKey = c.value;
        EXPECT_EQ(ValidateShareRequest(v, kToday, c.flags & kKeyRequired, c.flags & kMailRequired),
                  c.message);
    }
}

TEST(ShareValidationTest, RequestCarriesTheCheckedValues) {
    ShareFormValues v;
    v.files[2] = "/home/taro/a.txt";
    v.files[4] = "/home/taro/b.txt";
    v.mailText = " a@b.jp, ,c@d.jp ,";
    v.noticeText = " 本文 ";
    v.expiry = QDate(2026, 1, 2);
    v.accessKey = "  abcd  ";
    v.sendAccessKey = true;
    ASSERT_EQ(ValidateShareRequest(v, QDate(2026, 1, 1), false, false), "");
    EXPECT_EQ(v.accessKey, "abcd") << "the field shows the trimmed key";
    const GuestShareRequest r = MakeGuestShareRequest(v);
    EXPECT_EQ(r.files, (QStringList{"/home/taro/a.txt", "/home/taro/b.txt"}));
    EXPECT_EQ(r.mailAddresses, (QStringList{"a@b.jp", "c@d.jp"}));
    EXPECT_EQ(r.noticeText, " 本文 ");
    EXPECT_EQ(r.accessKey, "abcd");
    EXPECT_EQ(r.expiry, "2026/01/02");
    EXPECT_TRUE(r.sendAccessKey);

    EXPECT_EQ(SplitList(" a ,, b ", u',', false), (QStringList{" a ", " b "}));
    EXPECT_TRUE(SplitList(" ", u',', true).isEmpty());
}

}  // namespace
