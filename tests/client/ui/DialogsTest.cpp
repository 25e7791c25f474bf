#include "CTorval2LogDlg.h"

#include "ProgramVersion.h"

#include <QApplication>
#include <QClipboard>
#include <QPushButton>

#include <gtest/gtest.h>

namespace {

QApplication& App() {
    static int argc = 3;
    static char name[] = "ui-test";
    static char platform[] = "-platform";
    static char offscreen[] = "offscreen";
    static char* argv[] = {name, platform, offscreen, nullptr};
    static QApplication app(argc, argv);
    return app;
}

TEST(DialogsTest, LogViewerShowsTheTextAsReadNewestFirst) {
    App();
    const QString text =
        QStringLiteral("2026/12/07 09:31:02\n [通知] 後\r\n2026/12/07 09:30:00\n [異常] 先\r\n");
    CTorval2LogDlg dialog(text);
    EXPECT_EQ(dialog.windowTitle(), "TORVAL2 ログ表示");
    EXPECT_EQ(dialog.text(), "2026/12/07 09:31:02\n [通知] 後\n2026/12/07 09:30:00\n [異常] 先\n");
    EXPECT_TRUE(dialog.copyButton()->isHidden()) << "present but hidden";
    dialog.copyToClipboard();
    EXPECT_EQ(QApplication::clipboard()->text(), dialog.text());

    CTorval2LogDlg empty(QString{});
    EXPECT_TRUE(empty.text().isEmpty());
}

TEST(DialogsTest, AboutBoxNamesTheVersion) {
    App();
    CAboutDlg about;
    EXPECT_EQ(about.windowTitle(), "バージョン情報 TORVAL2 クライアントツール");
    EXPECT_EQ(about.versionLine(), "TORVAL2 クライアントツール Version " + GetProgramVersionText());
}

}  // namespace
