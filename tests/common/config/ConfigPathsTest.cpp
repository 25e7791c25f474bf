#include "ConfigKeys.h"
#include "ConfigPaths.h"
#include "LocalAppData.h"

#include <QFile>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

TEST(ConfigPathsTest, FilesLiveInTheProductFolderOfTheDataHome) {
    EnvGuard xdg("XDG_DATA_HOME", "/data/home/");
    EnvGuard home("HOME");
    EXPECT_EQ(ConfigPath(), "/data/home/Velmora KT/Torval2Quillon/QuillonConfig.ini");
    EXPECT_EQ(ProgramSettingsPath(), "/data/home/Velmora KT/Torval2Quillon/Quillon.ini");

    // A relative XDG_DATA_HOME is ignored, as the XDG rules say.
    qputenv("XDG_DATA_HOME", "relative/path");
    qputenv("HOME", "/home/user");
    EXPECT_EQ(ConfigPath(), "/home/user/.local/share/Velmora KT/Torval2Quillon/QuillonConfig.ini");

    // No data folder at all: both files are looked for beside the program.
    qunsetenv("XDG_DATA_HOME");
    qunsetenv("HOME");
    EXPECT_EQ(LocalAppData::baseFolder(), "");
    EXPECT_EQ(ConfigPath(), LocalAppData::programFolder() + "/QuillonConfig.ini");
    EXPECT_EQ(ProgramSettingsPath(), LocalAppData::programFolder() + "/Quillon.ini");
    EXPECT_TRUE(QFile::exists(LocalAppData::programFolder()));
}

TEST(ConfigPathsTest, KeysReadWithTheirDefaultsAndExactSwitches) {
    TempDataHome home;
    const QString config = ConfigPath();
    EXPECT_EQ(ReadSetting(UserConfig::DeleteDays, config), "7") << "missing file";

    EXPECT_FALSE(IsSwitchOn(ReadSetting(UserConfig::Debug, config))) << "missing is off";
    // Only "ON" and "OFF", exactly, are switched.
    for (const auto& [value, on, off] : {std::tuple{"ON", true, false},
                                         {"OFF", false, true},
                                         {"On", false, false},
                                         {"off", false, false},
                                         {"", false, false}})
        EXPECT_EQ(std::pair(IsSwitchOn(value), IsSwitchOff(value)), std::pair(on, off)) << value;

    ASSERT_TRUE(WriteSetting(UserConfig::ID, QStringLiteral("山田"), config));
    EXPECT_EQ(ReadSetting(UserConfig::ID, config, 260), QStringLiteral("山田"));
    EXPECT_EQ(ReadSetting(UserConfig::DeleteDays, config), "7")
        << "key missing in an existing file";
}

}  // namespace
