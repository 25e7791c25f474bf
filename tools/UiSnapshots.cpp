// Renders the tray's faces to PNG files so they can be looked at without a
// desktop: the five icon states, the menu in a few states, the log viewer,
// the about box, the guest share dialog and its completed dialog. Balloons are drawn by the
// desktop's notification service and are not part of this. Usage: QuillonUiSnapshots OUTPUT-FOLDER
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTemporaryDir>

#include <cstdio>

#include "CFileShareEndDlg.h"
#include "CTorval2FileShareDlg.h"
#include "CTorval2LogDlg.h"
#include "CTrayWnd.h"
#include "ProfileFile.h"
#include "QtTrayPresenter.h"

namespace {

class SilentPresenter : public TrayPresenter {
public:
    void setIcon(TrayIcon) override {}
    void showBalloon(const QString&) override {}
    void showMessage(const QString&) override {}
    bool ask(const QString&) override { return false; }
};

// Menus take their natural size; dialogs keep the size they open with.
bool save(QWidget& widget, const QString& path, bool natural = false) {
    widget.ensurePolished();
    if (natural)
        widget.adjustSize();
    const bool ok = widget.grab().save(path);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
    return ok;
}

QMenu* menuOf(const CTrayWnd& window) {
    auto* menu = new QMenu;
    for (const CTrayWnd::MenuItem& item : window.menuItems()) {
        if (item.command == 0)
            menu->addSeparator();
        else
            menu->addAction(item.text)->setEnabled(item.enabled);
    }
    return menu;
}

}  // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: QuillonUiSnapshots OUTPUT-FOLDER\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);
    QTemporaryDir data;
    qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
    bool ok = true;

    const struct {
        TrayIcon icon;
        const char* name;
    } icons[] = {{TrayIcon::Normal, "normal"},
                 {TrayIcon::Interrupting, "interrupting"},
                 {TrayIcon::Error, "error"},
                 {TrayIcon::Paused, "paused"},
                 {TrayIcon::Uploading, "uploading"}};
    for (const auto& i : icons) {
        const QString path = out + QStringLiteral("/icon-%1.png").arg(QLatin1String(i.name));
        ok &= QtTrayPresenter::iconImage(i.icon).pixmap(64, 64).save(path);
        std::printf("wrote %s\n", qPrintable(path));
    }

    SilentPresenter presenter;
    {
        CTrayWnd window(presenter);
        std::unique_ptr<QMenu> menu(menuOf(window));
        ok &= save(*menu, out + QStringLiteral("/menu-no-account.png"), true);
    }
    const QString config =
        data.path() + QStringLiteral("/Velmora KT/Torval2Quillon/QuillonConfig.ini");
    QDir().mkpath(QFileInfo(config).path());
    ProfileFile::apply({{"Config", "ID", QString("taro")},
                        {"Config", "PortalName", QString("velmora")},
                        {"Config", "Password", QString("secret")},
                        {"Config", "HotFolder1", QString("/home/taro/書類")},
                        {"Config", "Name1", QString("経理")}},
                       config);
    {
        CTrayWnd window(presenter);
        window.onCommand(CTrayWnd::kPause);
        std::unique_ptr<QMenu> menu(menuOf(window));
        ok &= save(*menu, out + QStringLiteral("/menu-paused.png"), true);
    }

    CTorval2LogDlg log(
        QStringLiteral("2026/12/07 09:31:02\n [通知] 経理 のアップロードを終了しました\r\n"
                       "2026/12/07 09:31:02\n [警告] ファイル更新 失敗(500)(リトライ2回) "
                       "/Velmora/経理/月次.xlsx\r\n"
                       "2026/12/07 09:30:00\n [通知] 経理 のアップロードを開始しました\r\n"));
    ok &= save(log, out + QStringLiteral("/log-viewer.png"));
    CAboutDlg about;
    ok &= save(about, out + QStringLiteral("/about.png"), true);

    CTorval2FileShareDlg share(true, false);
    share.fileEdit(0)->setText(QStringLiteral("/home/taro/書類/見積書_2026年12月.xlsx"));
    share.fileEdit(1)->setText(QStringLiteral("/home/taro/書類/仕様書.pdf"));
    share.mailEdit()->setPlainText(QStringLiteral("hanako@example.jp, jiro@example.co.jp"));
    share.noticeEdit()->setPlainText(
        QStringLiteral("お世話になっております。\n資料をお送りします。"));
    share.accessKeyEdit()->setText(QStringLiteral("abcd1234"));
    // Text edits settle their scroll bars once shown.
    share.show();
    QApplication::processEvents();
    ok &= save(share, out + QStringLiteral("/guest-share.png"), true);
    CFileShareEndDlg done(
        QStringLiteral("以下のダウンロード専用URLをご案内ください。"),
        QStringLiteral("https://www.torval2.jp/document/file/share/download?shareId="
                       "6f1c2a9e-3b7d-4e52-9a0c-d41e8b7f2c35\r\n\r\nアクセスキー：abcd1234\r\n"
                       "有効期限：2026/12/10\r\n"));
    done.show();
    QApplication::processEvents();
    ok &= save(done, out + QStringLiteral("/share-completed.png"));
    return ok ? 0 : 1;
}
