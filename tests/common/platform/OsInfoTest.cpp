#include "OsInfo.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

TEST(OsInfoTest, PrettyNameFromOsReleaseForms) {
    QTemporaryDir dir;
    const QString path = dir.filePath("os-release");
    const std::pair<QByteArray, QString> cases[] = {
        {"NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n",
         "Debian GNU/Linux 12 (bookworm)"},
        {"PRETTY_NAME='Single Quoted'\n", "Single Quoted"},
        {"PRETTY_NAME=Bare\n", "Bare"},
        {"PRETTY_NAME=\"Say \\\"hi\\\" \\$HOME\"\n", "Say \"hi\" $HOME"},
        {"# PRETTY_NAME=\"commented\"\nNAME=x\n", ""},
        {"\xFF\xFE garbage \x00\x01", ""},
    };
    for (const auto& [content, expected] : cases) {
        ASSERT_TRUE(putFile(path, content));
        EXPECT_EQ(OsInfo::prettyNameFrom(path), expected) << content.constData();
    }
    EXPECT_EQ(OsInfo::prettyNameFrom(dir.filePath("missing")), "");
    EXPECT_FALSE(OsInfo::prettyName().isEmpty());
}

}  // namespace
