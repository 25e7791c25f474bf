// Renders the tray's faces to PNG files so they can be looked at without a
// desktop: the five icon states, the menu in a few states, the log viewer,
// the about box, the guest share dialog and its completed dialog, a failed
// connection test's message box, and every settings dialog at its opening
// size, at its smallest size and widened. The keyboard order of each settings
// dialog goes to tab-order.txt. Balloons are drawn by the desktop's
// notification service and are not part of this.
// Usage: QuillonUiSnapshots OUTPUT-FOLDER
#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

#include "CFileShareEndDlg.h"
#include "CRestFolderTreeDlg.h"
#include "CRestSettings.h"
#include "CTorval2AutoUploadListDlg.h"
#include "CTorval2AutoUploadSetDlg.h"
#include "CTorval2Check1Dlg.h"
#include "CTorval2ControlDlg.h"
#include "CTorval2FileShareDlg.h"
#include "CTorval2LogDlg.h"
#include "CTorval2ProxySetDlg.h"
#include "CTrayWnd.h"
#include "JobSettings.h"
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

// What a keyboard user hears for the widget: its text, accessible name or
// the label tied to it.
QString nameOf(QWidget* w, QWidget* dialog) {
    QString name;
    if (auto* b = qobject_cast<QAbstractButton*>(w))
        name = b->text();
    if (name.isEmpty())
        name = w->accessibleName();
    if (name.isEmpty()) {
        for (QLabel* label : dialog->findChildren<QLabel*>()) {
            if (label->buddy() == w)
                name = label->text();
        }
    }
    if (name.isEmpty()) {
        if (auto* group = qobject_cast<QGroupBox*>(w))
            name = group->title();
    }
    return QStringLiteral("%1 [%2]").arg(name.isEmpty() ? QStringLiteral("(no name)") : name,
                                         QString::fromLatin1(w->metaObject()->className()));
}

// The dialog as it opens, at its smallest size and widened, and its Tab order.
bool saveDialog(QDialog& dialog, const QString& out, const QString& name, QTextStream& order) {
    dialog.show();
    QApplication::processEvents();
    bool ok = save(dialog, out + QStringLiteral("/%1.png").arg(name));
    const QSize opening = dialog.size();
    dialog.resize(dialog.minimumSizeHint());
    QApplication::processEvents();
    ok &= save(dialog, out + QStringLiteral("/%1-small.png").arg(name));
    dialog.resize(opening.width() * 3 / 2, opening.height() * 5 / 4);
    QApplication::processEvents();
    ok &= save(dialog, out + QStringLiteral("/%1-wide.png").arg(name));
    order << name << QStringLiteral(" (") << dialog.windowTitle() << QStringLiteral("):\n");
    QWidget* w = &dialog;
    for (int i = 0; i < 200; ++i) {
        w = w->nextInFocusChain();
        if (w == &dialog)
            break;
        // The editor inside a spin box or time picker is the picker's own stop.
        if ((w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(&dialog) &&
            !qobject_cast<QAbstractSpinBox*>(w->parentWidget()))
            order << QStringLiteral("  ") << (w->isEnabled() ? "" : "(disabled) ")
                  << nameOf(w, &dialog) << QStringLiteral("\n");
    }
    dialog.hide();
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
                        {"Config", "UseMyComputer", QString("ON")},
                        {"Config", "DriveLetter", QString("Z:")},
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
    QFile orderFile(out + QStringLiteral("/tab-order.txt"));
    orderFile.open(QIODevice::WriteOnly | QIODevice::Truncate);
    QTextStream order(&orderFile);
    DialogServices services;
    services.configPath = config;
    services.programSettingsPath = QFileInfo(config).path() + QStringLiteral("/Quillon.ini");
    services.boxes.show = [](MessageBoxes::Icon, MessageBoxes::Buttons, const QString&) {
        return false;
    };
    services.exec = [](QDialog& d) { return d.result(); };
    {
        CTorval2ControlDlg control(services);
        ok &= saveDialog(control, out, QStringLiteral("settings"), order);
        CTorval2ProxySetDlg proxy(config, services.boxes);
        ok &= saveDialog(proxy, out, QStringLiteral("proxy"), order);
        CTorval2Check1Dlg check1({});
        ok &= saveDialog(check1, out, QStringLiteral("size-limit"), order);
        CTorval2Check2Dlg check2;
        ok &= saveDialog(check2, out, QStringLiteral("hint"), order);
    }
    {
        // A connection test that reaches nothing (every request goes to a
        // closed port), and its message box as the program shows it.
        qputenv("QUILLON_CONNECT_TO", "::127.0.0.1:1");
        DialogServices failing = services;
        failing.boxes = MessageBoxes::standard(nullptr);
        CTorval2ControlDlg control(failing);
        control.show();
        QTimer answer;
        QObject::connect(&answer, &QTimer::timeout, [&] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
                    ok &= save(*box, out + QStringLiteral("/connection-test-failed.png"));
                    box->accept();
                }
            }
        });
        answer.start(200);
        QEventLoop loop;
        QObject::connect(&control, &CTorval2ControlDlg::connectionTestFinished, &loop,
                         &QEventLoop::quit);
        control.RunConnectionTest();
        loop.exec();
        qunsetenv("QUILLON_CONNECT_TO");
    }
    {
        CTrayWnd window(presenter);
        UploadJob job = NewJobDefaults(SystemTime{2026, 12, 7, 1, 21, 30, 0, 0});
        job.Name = QStringLiteral("営業部 共有フォルダー");
        job.HotFolder = QStringLiteral("/home/taro/書類/営業部");
        job.OrrinPortalFolder = QStringLiteral("/User/営業部");
        job.SyncTime1Week = QStringLiteral("1111100");
        job.SyncTime2Enable = true;
        job.SyncTime2Type = false;
        job.SyncTime2AfterStart = QStringLiteral("10");
        job.SyncTime2Week = QStringLiteral("0000011");
        StoreDialogIntoJob(job, -1, window.jobList());
        CTorval2AutoUploadListDlg list(services, window);
        ok &= saveDialog(list, out, QStringLiteral("job-list"), order);
        CTorval2AutoUploadSetDlg fresh(services, std::nullopt);
        ok &= saveDialog(fresh, out, QStringLiteral("job-new"), order);
        job.CompressionEnable = job.EvacuationEnable = true;
        job.CompressionFilename = QStringLiteral("営業部バックアップ");
        CTorval2AutoUploadSetDlg edit(services, job);
        ok &= saveDialog(edit, out, QStringLiteral("job-edit"), order);
    }
    {
        // Shown while its first listing lasts.
        CRestFolderTreeDlg chooser(LoadSettings(services.configPath, services.programSettingsPath),
                                   config, services.boxes);
        ok &= saveDialog(chooser, out, QStringLiteral("folder-chooser"), order);
    }
    order.flush();
    std::printf("wrote %s\n", qPrintable(orderFile.fileName()));
    return ok ? 0 : 1;
}
