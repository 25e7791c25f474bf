#include "OsInfo.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

TEST(OsInfoTest, PrettyNameFromOsReleaseForms) {
    QTemporaryDir dir;
    struct Case {
        QByteArray content;
        QString expected;
    } cases[] = {
        {"NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n",
         "Debian GNU/Linux 12 (bookworm)"},
        {"PRETTY_NAME='Single Quoted'\n", "Single Quoted"},
        {"PRETTY_NAME=Bare\n", "Bare"},
        {"PRETTY_NAME=\"Say \\\"hi\\\" \\$HOME\"\n", "Say \"hi\" $HOME"},
        {"# PRETTY_NAME=\"commented\"\nNAME=x\n", ""},
        {"\xFF\xFE garbage \x00\x01", ""},
    };
    for (const Case& c : cases) {
        const QString path = dir.filePath("os-release");
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(c.content);
        f.close();
        EXPECT_EQ(OsInfo::prettyNameFrom(path), c.expected) << c.content.constData();
    }
    EXPECT_EQ(OsInfo::prettyNameFrom(dir.filePath("missing")), "");
    EXPECT_FALSE(OsInfo::prettyName().isEmpty());
}

}  // namespace
