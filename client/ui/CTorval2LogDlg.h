#pragma once

#include <QDialog>

class QPlainTextEdit;
class QPushButton;

// The log viewer: the client's events, newest first, read-only.
class CTorval2LogDlg : public QDialog {
    Q_OBJECT
public:
    explicit CTorval2LogDlg(const QString& logText, QWidget* parent = nullptr);
    QString text() const;
    // Copies the whole text to the clipboard and returns to the top.
    void copyToClipboard();
    QPushButton* copyButton() const { return copy_; }

private:
    QPlainTextEdit* edit_;
    QPushButton* copy_;
};

// The about box: the program's version.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
    QString versionLine() const;

private:
    QString versionLine_;
};
