#pragma once

#include <QDialog>

#include <functional>

class QCheckBox;
class QPushButton;

// Offers to raise the WebDAV file size limit: "変更する" runs the raise step
// and closes with OK, "変更しない" closes with OK, "キャンセル" with Cancel.
class CTorval2Check1Dlg : public QDialog {
    Q_OBJECT
public:
    explicit CTorval2Check1Dlg(std::function<void()> raise, QWidget* parent = nullptr);
    QPushButton* changeButton() const { return change_; }
    QPushButton* keepButton() const { return keep_; }
    QPushButton* cancelButton() const { return cancel_; }

private:
    QPushButton* change_;
    QPushButton* keep_;
    QPushButton* cancel_;
};

// The hint for slow connections, with "今後、このダイアログを表示しない".
class CTorval2Check2Dlg : public QDialog {
    Q_OBJECT
public:
    explicit CTorval2Check2Dlg(QWidget* parent = nullptr);
    bool noMoreDisplay() const;
    QCheckBox* noMoreBox() const { return noMore_; }
    QPushButton* doneButton() const { return done_; }

private:
    QCheckBox* noMore_;
    QPushButton* done_;
};
