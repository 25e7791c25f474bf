#include "CTorval2LogDlg.h"

#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "ProgramVersion.h"
#include "QtTrayPresenter.h"

CTorval2LogDlg::CTorval2LogDlg(const QString& logText, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("TORVAL2 ログ表示"));
    resize(640, 420);
    edit_ = new QPlainTextEdit(this);
    edit_->setReadOnly(true);
    edit_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    // The text comes with CR LF line ends; the editor wants plain line feeds.
    QString text = logText;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    edit_->setPlainText(text);

    copy_ = new QPushButton(QStringLiteral("クリップボードにコピーする"), this);
    copy_->setVisible(false);
    connect(copy_, &QPushButton::clicked, this, &CTorval2LogDlg::copyToClipboard);
    auto* close = new QPushButton(QStringLiteral("閉じる"), this);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(copy_);
    buttons->addStretch();
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(edit_);
    layout->addLayout(buttons);

    edit_->setFocus();
    edit_->moveCursor(QTextCursor::Start);
    edit_->ensureCursorVisible();
}

QString CTorval2LogDlg::text() const {
    return edit_->toPlainText();
}

void CTorval2LogDlg::copyToClipboard() {
    QApplication::clipboard()->setText(edit_->toPlainText());
    edit_->moveCursor(QTextCursor::Start);
    edit_->ensureCursorVisible();
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("バージョン情報 TORVAL2 クライアントツール"));
    versionLine_ = QStringLiteral("TORVAL2 クライアントツール Version ") + GetProgramVersionText();
    auto* icon = new QLabel(this);
    icon->setPixmap(QtTrayPresenter::iconImage(TrayIcon::Normal).pixmap(48, 48));
    auto* version = new QLabel(versionLine_, this);
    auto* second = new QLabel(QStringLiteral("Copyright (C) Velmora KT"), this);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    auto* text = new QVBoxLayout;
    text->addWidget(version);
    text->addWidget(second);
    auto* row = new QHBoxLayout;
    row->addWidget(icon);
    row->addLayout(text);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(buttons);
}

QString CAboutDlg::versionLine() const {
    return versionLine_;
}
