#include "CFileShareEndDlg.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

CFileShareEndDlg::CFileShareEndDlg(const QString& header, const QString& text, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(QStringLiteral("TORVAL2  共有完了"));
    auto* done = new QLabel(QStringLiteral("ファイルの共有が完了しました。"), this);
    header_ = new QLabel(header, this);
    header_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    edit_ = new QPlainTextEdit(this);
    edit_->setReadOnly(true);
    // Read-only still lets the keyboard select and copy.
    edit_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    edit_->setTabChangesFocus(true);
    // The text comes with CR LF line ends; the editor wants plain line feeds.
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    edit_->setPlainText(shown);
    header_->setBuddy(edit_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(done);
    layout->addWidget(header_);
    layout->addWidget(edit_);
    layout->addWidget(buttons);
    // Wide enough that the download address stays on one line.
    int widest = 0;
    for (const QString& line : shown.split(u'\n'))
        widest = qMax(widest, edit_->fontMetrics().horizontalAdvance(line));
    resize(qBound(480, widest + 80, 960), 240);
    edit_->setFocus();
    edit_->selectAll();
}

CFileShareEndDlg* CFileShareEndDlg::showNew(const QString& header, const QString& text) {
    auto* dialog = new CFileShareEndDlg(header, text);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->show();
    return dialog;
}

QString CFileShareEndDlg::header() const {
    return header_->text();
}

QString CFileShareEndDlg::text() const {
    return edit_->toPlainText();
}
