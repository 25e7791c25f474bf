#include "QtTrayPresenter.h"

#include <QApplication>
#include <QMessageBox>
#include <QPainter>
#include <QThread>

#include "CFileShareEndDlg.h"
#include "CLogWriter.h"
#include "CTorval2ControlDlg.h"
#include "CTorval2FileShareDlg.h"
#include "CTorval2LogDlg.h"
#include "CTrayWnd.h"
#include "ConfigPaths.h"
#include "DriveOperations.h"
#include "WebDavSizeLimit.h"

namespace {

const QString kTitle = QStringLiteral("TORVAL2 クライアントツール");

}  // namespace

QtTrayPresenter::QtTrayPresenter(CLogWriter& logger, QObject* parent)
    : QObject(parent), logger_(logger), menu_(std::make_unique<QMenu>()) {
    tray_.setToolTip(kTitle);
    tray_.setContextMenu(menu_.get());
    // The menu is rebuilt each time it opens (its rules read the settings
    // now) and whenever the window's state changes, for the hosts that never
    // say they are about to show it.
    connect(menu_.get(), &QMenu::aboutToShow, this, &QtTrayPresenter::rebuildMenu);
}

QtTrayPresenter::~QtTrayPresenter() {
    tray_.hide();
}

void QtTrayPresenter::attach(CTrayWnd& window) {
    window_ = &window;
    // Each dialog opens once; choosing it again brings it to the front.
    connect(&window, &CTrayWnd::showLogRequested, this, [this](const QString& text) {
        if (raise(log_))
            return;
        CTorval2LogDlg dialog(text);
        log_ = &dialog;
        dialog.exec();
    });
    connect(&window, &CTrayWnd::aboutRequested, this, [this] {
        if (raise(about_))
            return;
        CAboutDlg dialog;
        about_ = &dialog;
        dialog.exec();
    });
    connect(&window, &CTrayWnd::guestShareRequested, this, [&window] {
        if (CTorval2FileShareDlg* dialog = CTorval2FileShareDlg::showOnce())
            QObject::connect(dialog, &CTorval2FileShareDlg::shareRequested, &window,
                             &CTrayWnd::StartGuestShareRun);
    });
    connect(&window, &CTrayWnd::guestShareCompleted, this, &CFileShareEndDlg::showNew);
    connect(&window, &CTrayWnd::settingsRequested, this, &QtTrayPresenter::openSettings);
    // Not under the user's pointer: an open menu was built as it opened.
    connect(&window, &CTrayWnd::menuChanged, this, [this] {
        if (!menu_->isVisible())
            rebuildMenu();
    });
    rebuildMenu();
}

void QtTrayPresenter::setDriveOperationsFactory(
    std::function<std::unique_ptr<DriveOperations>()> factory) {
    driveFactory_ = std::move(factory);
}

bool QtTrayPresenter::raise(QDialog* dialog) {
    if (!dialog)
        return false;
    dialog->raise();
    dialog->activateWindow();
    return true;
}

void QtTrayPresenter::openSettings() {
    if (raise(settings_) || !window_)
        return;
    DialogServices services = DialogServices::standard(ConfigPath(), ProgramSettingsPath());
    services.tray = window_;
    const std::unique_ptr<DriveOperations> drive = driveFactory_ ? driveFactory_() : nullptr;
    services.drive = drive.get();
    const std::unique_ptr<WebDavSizeLimit> limit = CreateWebDavSizeLimit();
    services.sizeLimit = limit.get();
    CTorval2ControlDlg dialog(std::move(services));
    settings_ = &dialog;
    window_->setSettingsOpen(true);
    const int result = dialog.exec();
    window_->setSettingsOpen(false);
    if (result == QDialog::Accepted)
        window_->StartGuestShareCheck();
}

void QtTrayPresenter::showProgress(const QStringList& lines) {
    tray_.setToolTip(lines.isEmpty() ? kTitle
                                     : kTitle + QLatin1Char('\n') + lines.join(QLatin1Char('\n')));
    // The texts change in place, so a menu on show stays open; a run that
    // started or ended has rebuilt the menu already, unless it is on show.
    if (lines.size() != progressActions_.size())
        return;
    for (qsizetype i = 0; i < lines.size(); ++i)
        progressActions_[i]->setText(lines[i]);
}

void QtTrayPresenter::rebuildMenu() {
    menu_->clear();
    progressActions_.clear();
    if (!window_)
        return;
    QStringList shown;
    for (const CTrayWnd::MenuItem& item : window_->menuItems()) {
        if (item.command == 0) {
            menu_->addSeparator();
            shown << QStringLiteral("-");
            continue;
        }
        shown << (item.enabled ? item.text : QLatin1Char('(') + item.text + QLatin1Char(')'));
        QAction* action = menu_->addAction(item.text);
        action->setEnabled(item.enabled);
        if (item.command == CTrayWnd::kProgressLine) {
            progressActions_ << action;
            continue;
        }
        const int command = item.command;
        // Queued, so the menu has closed before a dialog or question opens.
        connect(
            action, &QAction::triggered, window_, [w = window_, command] { w->onCommand(command); },
            Qt::QueuedConnection);
    }
    // What the menu offers now, greyed items in parentheses: shows in the
    // debug log what a tray host was given.
    logger_.Log(CLogWriter::LogDebug, QStringLiteral("menu: ") + shown.join(QLatin1Char(' ')));
}

QIcon QtTrayPresenter::iconImage(TrayIcon icon) {
    QColor color;
    switch (icon) {
        case TrayIcon::Normal:
            color = QColor(0x1f, 0x6f, 0xc5);
            break;
        case TrayIcon::Interrupting:
            color = QColor(0xe6, 0x8a, 0x00);
            break;
        case TrayIcon::Error:
            color = QColor(0xc6, 0x28, 0x28);
            break;
        case TrayIcon::Paused:
            color = QColor(0x8a, 0x8a, 0x8a);
            break;
        case TrayIcon::Uploading:
            color = QColor(0x2e, 0x9d, 0x4f);
            break;
    }
    QIcon result;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawRoundedRect(QRectF(0.5, 0.5, size - 1, size - 1), size / 5.0, size / 5.0);
        // An upward arrow: the client sends files up to the storage.
        p.setBrush(Qt::white);
        const qreal s = size;
        const QPolygonF arrow({QPointF(s * 0.5, s * 0.18), QPointF(s * 0.8, s * 0.52),
                               QPointF(s * 0.61, s * 0.52), QPointF(s * 0.61, s * 0.82),
                               QPointF(s * 0.39, s * 0.82), QPointF(s * 0.39, s * 0.52),
                               QPointF(s * 0.2, s * 0.52)});
        p.drawPolygon(arrow);
        if (icon == TrayIcon::Paused || icon == TrayIcon::Error || icon == TrayIcon::Interrupting) {
            p.setBrush(color.darker(160));
            p.drawEllipse(QRectF(s * 0.55, s * 0.55, s * 0.42, s * 0.42));
        }
        p.end();
        result.addPixmap(pixmap);
    }
    return result;
}

void QtTrayPresenter::setIcon(TrayIcon icon) {
    tray_.setIcon(iconImage(icon));
    if (tray_.isVisible())
        return;
    // On X11 an icon shown before any tray exists appears once a panel
    // starts: Qt watches for it through a signal of the X11 platform. Other
    // platforms have no such signal (showing would only make Qt warn that it
    // cannot connect to it); there the icon is shown at the first change of
    // icon after a tray has appeared.
    if (QSystemTrayIcon::isSystemTrayAvailable() ||
        QGuiApplication::platformName() == QLatin1String("xcb"))
        tray_.show();
}

void QtTrayPresenter::showBalloon(const QString& text) {
    if (!QSystemTrayIcon::isSystemTrayAvailable() || !QSystemTrayIcon::supportsMessages()) {
        logger_.Log(CLogWriter::LogDebug, QStringLiteral("balloon: ") + text);
        return;
    }
    tray_.showMessage(kTitle, text, QSystemTrayIcon::Information, 10000);
}

void QtTrayPresenter::showMessage(const QString& text) {
    QMessageBox::warning(nullptr, kTitle, text);
}

bool QtTrayPresenter::ask(const QString& text) {
    return QMessageBox::question(nullptr, kTitle, text, QMessageBox::Yes | QMessageBox::No) !=
           QMessageBox::No;
}

void QtTrayPresenter::showWarning(const QString& text) {
    if (QThread::currentThread() == thread()) {
        showMessage(text);
        return;
    }
    // Workers wait for the user, as a message box of their own would make them.
    QMetaObject::invokeMethod(
        this, [this, text] { showMessage(text); }, Qt::BlockingQueuedConnection);
}
