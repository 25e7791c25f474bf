#pragma once

#include <QDialog>

class QLabel;
class QPlainTextEdit;

// The share-completed dialog: a guidance line and the share's download
// information, in a read-only field the user can copy from.
class CFileShareEndDlg : public QDialog {
    Q_OBJECT
public:
    CFileShareEndDlg(const QString& header, const QString& text, QWidget* parent = nullptr);

    // Opens one (modal, deleted when closed); every finished share has its own.
    static CFileShareEndDlg* showNew(const QString& header, const QString& text);

    QString header() const;
    QString text() const;
    QPlainTextEdit* textEdit() const { return edit_; }

private:
    QLabel* header_;
    QPlainTextEdit* edit_;
};
