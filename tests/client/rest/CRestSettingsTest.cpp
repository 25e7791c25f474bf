#include "CRestSettings.h"

#include "CLogWriter.h"
#include "Fields.h"
#include "ProfileFile.h"
#include "TestSupport.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class SettingsTest : public ::testing::Test {
protected:
    TempDataHome home;  // the log store
    QTemporaryDir dir;
    QString config = dir.filePath("QuillonConfig.ini");
    QString program = dir.filePath("Quillon.ini");

    void set(const QString& file, const QString& section, const QString& key, const QString& v) {
        ASSERT_TRUE(ProfileFile::writeString(section, key, v, file));
    }
    CRestSettings load() { return LoadSettings(config, program, clock); }
    FixedClock clock{QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9, 10))};
};

TEST_F(SettingsTest, DefaultsWhenNothingIsSet) {
    const CRestSettings s = load();
    EXPECT_EQ(Fields(s.host, s.scheme, s.port, s.basePath, s.webUiUrl, s.userName, s.timeOut,
                     s.retry, s.proxyAddress, s.proxyPort, s.proxyScheme, s.insecureTls, s.caFile),
              "api.torval2.jp|https|443|/api/v1/|https://www.torval2.jp|@|60|2||0|http|0|");
}

// The path goes into every request as written: decoded, "%20" would become
// a blank that no request can carry. An address that cannot be used is an
// error in the log, once.
TEST_F(SettingsTest, ApiAddressKeepsOnlyHostAndPath) {
    const struct {
        QString value, host, basePath;
        bool logged;
    } cases[] = {
        {"http://h:8080/x/", "h", "/x/", false},
        {"https://h/my%20api/v1/", "h", "/my%20api/v1/", false},
        {"https://h/a%2Fb/%7e/?q=1#f", "h", "/a%2Fb/%7e/", false},
        {"https://h", "h", "", false},
        {"", "api.torval2.jp", "/api/v1/", false},
        {"not a url", "api.torval2.jp", "/api/v1/", true},
        {"https://h/my api/", "api.torval2.jp", "/api/v1/", true},
        {"https://", "api.torval2.jp", "/api/v1/", true},
    };
    CLogWriter logger(config);
    const QString error = "[異常] Quillon.ini の [Host] AutoUpload";
    for (const auto& c : cases) {
        set(program, "Host", "AutoUpload", c.value);
        const qsizetype before = logger.ReadLogText().count(error);
        for (int i = 0; i < 2; ++i) {
            const CRestSettings s = load();
            EXPECT_EQ(Fields(s.host, s.basePath, s.scheme, s.port),
                      Fields(c.host, c.basePath, "https", 443))
                << c.value.toStdString();
        }
        EXPECT_EQ(logger.ReadLogText().count(error), before + c.logged) << c.value.toStdString();
    }
}

TEST_F(SettingsTest, ProxyOnlyWithExactSwitches) {
    set(config, "Config", "ProxyAddress", "proxy.local");
    set(config, "Config", "ProxyAuthID", "pu");
    set(config, "Config", "ProxyAuthPass", "pp");
    const struct {
        const char *enable, *port, *authEnable;
        QString fields;  // proxyAddress|proxyPort|proxyScheme|proxyUser|proxyPassword
    } cases[] = {
        {"on", "8443", "ON", "|0|http||"},  // lower-case on is off
        {"ON", "8443", "ON", "proxy.local|8443|https|pu|pp"},
        {"ON", "443", "ON", "proxy.local|443|https|pu|pp"},
        {"ON", "8080", "On", "proxy.local|8080|http||"},
        {"ON", "port", "ON", "proxy.local|0|http|pu|pp"},
    };
    for (const auto& c : cases) {
        set(config, "Config", "ProxyEnable", c.enable);
        set(config, "Config", "ProxyPort", c.port);
        set(config, "Config", "ProxyAuthEnable", c.authEnable);
        const CRestSettings s = load();
        EXPECT_EQ(Fields(s.proxyAddress, s.proxyPort, s.proxyScheme, s.proxyUser, s.proxyPassword),
                  c.fields)
            << c.enable << " " << c.port << " " << c.authEnable;
    }
}

TEST_F(SettingsTest, NumbersAccountAndIdentifiers) {
    set(program, "AutoUpload", "TimeOut", "soon");
    set(program, "AutoUpload", "Retry", "0");
    set(config, "Config", "ID", "taro");
    set(config, "Config", "PortalName", "velmora@branch");
    set(config, "Config", "Password", " spaced ");
    const CRestSettings a = load();
    EXPECT_EQ(Fields(a.timeOut, a.retry, a.userName), "0|0|taro@velmora@branch");
    EXPECT_EQ(a.password, "spaced") << "blanks around a value are not part of it";

    // Same millisecond, fresh session ids; one device id per machine.
    QStringList sessions;
    for (int i = 0; i < 5; ++i) {
        const CRestSettings b = load();
        EXPECT_EQ(Fields(b.DeviceId, b.DeviceId.size()), Fields(a.DeviceId, 32));
        sessions << b.UploaderSessionId;
    }
    sessions.removeDuplicates();
    EXPECT_GT(sessions.size(), 1);
}

}  // namespace
