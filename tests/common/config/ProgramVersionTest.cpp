#include "ProgramVersion.h"

#include "OsInfo.h"

#include <QStringList>

#include <gtest/gtest.h>

namespace {

TEST(ProgramVersionTest, VersionAndOsNameCutToTheBuffer) {
    EXPECT_EQ(GetProgramVersionText(), EXPECTED_VERSION);
    EXPECT_EQ(GetOsDisplayName(nullptr, 0), 0) << "no buffer: only the result";

    QString full = QStringLiteral("untouched");
    EXPECT_EQ(GetOsDisplayName(&full, 260), 0);
    EXPECT_EQ(full, OsInfo::prettyName().left(259));

    QString cut;
    EXPECT_EQ(GetOsDisplayName(&cut, 5), 0);
    EXPECT_EQ(cut, full.left(4));
}

}  // namespace
