#pragma once

#include <QDialog>

#include <array>

#include "GuestShareRequest.h"
#include "ShareValidation.h"
#include "SystemTime.h"

class QCheckBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// The guest share dialog: up to five local files, the guests' mail
// addresses, a notice text, an expiry within fourteen days and an optional
// access key. "共有" checks the fields (ValidateShareRequest), hands the
// request on through shareRequested and closes; a failure keeps it open. A
// date the picker refuses (message, date put back) or a half-typed one never
// leads to a share, whether "共有" is pressed by Enter, a mouse click or an
// accessibility action.
class CTorval2FileShareDlg : public QDialog {
    Q_OBJECT
public:
    // The two flags of the last availability check make the key and the
    // mail addresses mandatory.
    CTorval2FileShareDlg(bool accessKeyRequired, bool mailAddressRequired,
                         const Clock& clock = Clock::system(), QWidget* parent = nullptr);

    // Brings an open share dialog to the front and returns null, or opens a
    // new one (modal, deleted when closed) with the flags as they stand now.
    static CTorval2FileShareDlg* showOnce();

    ShareFormValues values() const;
    // "参照" beside file field index (0 to 4).
    void browse(int index);
    // "共有": true when the request was handed on.
    bool share();

    QLineEdit* fileEdit(int index) const { return files_[index]; }
    QPushButton* browseButton(int index) const { return browse_[index]; }
    QPlainTextEdit* mailEdit() const { return mail_; }
    QLabel* mailHint() const { return hint_; }
    QPlainTextEdit* noticeEdit() const { return notice_; }
    QDateEdit* expiryEdit() const { return expiry_; }
    QLineEdit* accessKeyEdit() const { return key_; }
    QCheckBox* sendKeyBox() const { return sendKey_; }
    QPushButton* shareButton() const { return share_; }
    QPushButton* cancelButton() const { return cancel_; }

signals:
    void shareRequested(const GuestShareRequest& request);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void onExpiryChanged(const QDate& date);
    void refuseHalfTypedExpiry();
    void warn(const QString& text);

    bool accessKeyRequired_;
    bool mailAddressRequired_;
    const Clock& clock_;
    // Until the event that made the picker refuse its date, or find it
    // half-typed and put the last date back, is done.
    bool expiryRefused_ = false;
    bool expiryHalfTyped_ = false;
    std::array<QLineEdit*, kShareFileFields> files_{};
    std::array<QPushButton*, kShareFileFields> browse_{};
    QPlainTextEdit* mail_;
    QLabel* hint_;
    QPlainTextEdit* notice_;
    QDateEdit* expiry_;
    QLineEdit* key_;
    QCheckBox* sendKey_;
    QPushButton* share_;
    QPushButton* cancel_;
};
