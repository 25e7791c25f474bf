#include "QtTranslation.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>

#include <gtest/gtest.h>

// Fontconfig keeps its pattern caches until FcFini, which Qt never calls.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace {

// What both programs set up at start: Qt's standard answers speak Japanese,
// as the questions they answer (the quit question of the tray, the updater's).
TEST(QtTranslationTest, StandardButtonsAreJapanese) {
    int argc = 3;
    char name[] = "test", platform[] = "-platform", offscreen[] = "offscreen";
    char* argv[] = {name, platform, offscreen, nullptr};
    QApplication app(argc, argv);
    ASSERT_TRUE(InstallQtTranslation(app)) << "qtbase_ja.qm (qt6-translations-l10n) is missing";
    QMessageBox box(QMessageBox::Question, "TORVAL2", "?", QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ((box.button(QMessageBox::Yes)->text() + box.button(QMessageBox::No)->text()),
              "はい(&Y)いいえ(&N)");
}

}  // namespace
