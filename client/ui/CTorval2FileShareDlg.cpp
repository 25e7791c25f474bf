#include "CTorval2FileShareDlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateEdit>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>

#include "ButtonRow.h"
#include "GuestShare.h"

namespace {

const QString kTitle = QStringLiteral("TORVAL2 ファイルのゲスト共有");
const QString kMessageTitle = QStringLiteral("TORVAL2 クライアントツール");
const QString kFileLabel = QStringLiteral("共有したいファイル    ：");

// Qt shows line feeds; the texts are written with CR LF.
QString ForDisplay(QString text) {
    return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

// The expiry picker, telling whether its text stands for a date as it
// judges it when typing ends; a half-typed date (a section erased) is put
// back instead.
class ExpiryEdit : public QDateEdit {
public:
    using QDateEdit::QDateEdit;
    bool showsDate() const {
        QString text = this->text();
        int pos = 0;
        if (validate(text, pos) == QValidator::Acceptable)
            return true;
        fixup(text);
        return validate(text, pos) == QValidator::Acceptable;
    }
};

bool ShowsDate(const QDateEdit* picker) {
    return static_cast<const ExpiryEdit*>(picker)->showsDate();
}

// Raises flag until the event being handled is done.
void RaiseForThisEvent(QObject* owner, bool& flag) {
    flag = true;
    QTimer::singleShot(0, owner, [&flag] { flag = false; });
}

// Room for about this many lines of the edit's font.
void SetVisibleLines(QPlainTextEdit* edit, int lines) {
    const int height = edit->fontMetrics().lineSpacing() * lines +
                       2 * (edit->frameWidth() + int(edit->document()->documentMargin()));
    edit->setMinimumHeight(height);
    edit->setMaximumHeight(height);
}

}  // namespace

CTorval2FileShareDlg::CTorval2FileShareDlg(bool accessKeyRequired, bool mailAddressRequired,
                                           const Clock& clock, QWidget* parent)
    : QDialog(parent),
      accessKeyRequired_(accessKeyRequired),
      mailAddressRequired_(mailAddressRequired),
      clock_(clock) {
    setWindowTitle(kTitle);

    auto* intro = new QLabel(
        QStringLiteral("共有の設定を行ってください。共有にはTORVAL2上のフォルダ/Velmora/"
                       ".guestが利用されますので、\n未作成の場合は管理者に依頼して作成してもら"
                       "ってください。"),
        this);

    auto* grid = new QGridLayout;
    grid->setColumnStretch(1, 1);
    auto* fileLabel = new QLabel(kFileLabel, this);
    auto* fileNote = new QLabel(QStringLiteral("（同時最大５ファイル）"), this);
    grid->addWidget(fileLabel, 0, 0);
    grid->addWidget(fileNote, 1, 0, Qt::AlignTop);
    for (int i = 0; i < kShareFileFields; ++i) {
        files_[i] = new QLineEdit(this);
        // One label stands for the five fields; each field names its number.
        files_[i]->setAccessibleName(kFileLabel.left(kFileLabel.indexOf(u' ')) +
                                     QString::number(i + 1));
        browse_[i] = new QPushButton(QStringLiteral("参照"), this);
        browse_[i]->setAutoDefault(false);
        browse_[i]->setAccessibleDescription(files_[i]->accessibleName());
        connect(browse_[i], &QPushButton::clicked, this, [this, i] { browse(i); });
        grid->addWidget(files_[i], i, 1);
        grid->addWidget(browse_[i], i, 2);
    }
    fileLabel->setBuddy(files_[0]);

    int row = kShareFileFields;
    auto* mailLabel = new QLabel(QStringLiteral("共有したい相手の\nメールアドレス"), this);
    hint_ = new QLabel(QStringLiteral("<a href=\"#hint\">？</a>"), this);
    const QString hint = ForDisplay(QStringLiteral(
        "カンマ区切りでメールアドレスを複数登録することが出来ます。（最大20）\r\nまた、メールアド"
        "レスが未入力の場合、ダウンロードURLが表示されます。\r\n共有先メールアドレスの誤記にご注意"
        "ください。アドレス間違いによるエラーメールの確認はできません。"));
    hint_->setToolTip(hint);
    hint_->setAccessibleDescription(hint);
    hint_->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    // Keyboard users cannot hover: following the link shows the tip too.
    connect(hint_, &QLabel::linkActivated, this, [this, hint] {
        QToolTip::showText(hint_->mapToGlobal(QPoint(0, hint_->height())), hint, hint_);
    });
    mail_ = new QPlainTextEdit(this);
    mail_->setTabChangesFocus(true);
    SetVisibleLines(mail_, 3);
    mailLabel->setBuddy(mail_);
    auto* mailCaption = new QHBoxLayout;
    mailCaption->addWidget(mailLabel);
    mailCaption->addWidget(hint_, 0, Qt::AlignTop);
    mailCaption->addStretch();
    grid->addLayout(mailCaption, row, 0, Qt::AlignTop);
    grid->addWidget(mail_, row++, 1, 1, 2);

    auto* noticeLabel = new QLabel(QStringLiteral("お知らせ文面"), this);
    notice_ = new QPlainTextEdit(this);
    notice_->setTabChangesFocus(true);
    SetVisibleLines(notice_, 5);
    noticeLabel->setBuddy(notice_);
    grid->addWidget(noticeLabel, row, 0, Qt::AlignTop);
    grid->addWidget(notice_, row++, 1, 1, 2);

    auto* expiryLabel = new QLabel(QStringLiteral("有効期限"), this);
    expiry_ = new ExpiryEdit(this);
    expiry_->setCalendarPopup(true);
    expiry_->setDisplayFormat(QStringLiteral("yyyy/MM/dd"));
    // Judge the date once typed, not at each digit on the way to it.
    expiry_->setKeyboardTracking(false);
    expiry_->setDate(clock_.now().date().addDays(3));
    connect(expiry_, &QDateEdit::dateChanged, this, &CTorval2FileShareDlg::onExpiryChanged);
    expiry_->installEventFilter(this);
    expiryLabel->setBuddy(expiry_);
    grid->addWidget(expiryLabel, row, 0);
    grid->addWidget(expiry_, row++, 1, Qt::AlignLeft);

    auto* keyLabel = new QLabel(QStringLiteral("アクセスキー"), this);
    key_ = new QLineEdit(this);
    keyLabel->setBuddy(key_);
    grid->addWidget(keyLabel, row, 0);
    grid->addWidget(key_, row++, 1);

    sendKey_ = new QCheckBox(QStringLiteral("アクセスキーを\nメールに記載する"), this);
    grid->addWidget(sendKey_, row++, 1);

    share_ = new QPushButton(QStringLiteral("共有"), this);
    share_->setDefault(true);
    connect(share_, &QPushButton::clicked, this, &CTorval2FileShareDlg::share);
    share_->installEventFilter(this);
    cancel_ = new QPushButton(QStringLiteral("キャンセル"), this);
    cancel_->setAutoDefault(false);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addSpacing(6);
    layout->addLayout(grid);
    layout->addLayout(ButtonRow({share_, cancel_}));

    QList<QWidget*> order;
    for (int i = 0; i < kShareFileFields; ++i)
        order << files_[i] << browse_[i];
    order << mail_ << hint_ << notice_ << expiry_ << key_ << sendKey_ << share_ << cancel_;
    for (qsizetype i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);
    files_[0]->setFocus();
}

CTorval2FileShareDlg* CTorval2FileShareDlg::showOnce() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* open = qobject_cast<CTorval2FileShareDlg*>(widget);
        if (open && open->isVisible()) {
            open->raise();
            open->activateWindow();
            return nullptr;
        }
    }
    auto* dialog = new CTorval2FileShareDlg(AccessKeyRequired, MailAddressRequired);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->show();
    return dialog;
}

ShareFormValues CTorval2FileShareDlg::values() const {
    ShareFormValues v;
    for (int i = 0; i < kShareFileFields; ++i)
        v.files[i] = files_[i]->text();
    v.mailText = mail_->toPlainText();
    v.noticeText = notice_->toPlainText();
    v.expiry = expiry_->date();
    v.accessKey = key_->text();
    v.sendAccessKey = sendKey_->isChecked();
    return v;
}

void CTorval2FileShareDlg::browse(int index) {
    QLineEdit* field = files_[index];
    const QString start = field->text().isEmpty() ? QDir::homePath() : field->text();
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("TORVAL2 共有するファイルを指定してください"), start,
        QStringLiteral("全てのファイル(*)"));
    if (path.isEmpty())
        return;
    // The picker only returns existing files; anything else is its own fault.
    const QFileInfo chosen(path);
    if (!chosen.isFile()) {
        warn(QStringLiteral("ファイル選択エラーです"));
        return;
    }
    field->setText(QDir::toNativeSeparators(chosen.absoluteFilePath()));
}

bool CTorval2FileShareDlg::share() {
    // The date the picker shows, typed or not: a press that leaves the focus
    // in the picker (the accessibility press action) leaves a typed date
    // unjudged until now. A half-typed one is no date. Enter in the picker
    // judges a typed date before it presses "共有": its refusal, too, ends
    // here.
    if (expiryHalfTyped_ || !ShowsDate(expiry_)) {
        refuseHalfTypedExpiry();
        return false;
    }
    expiry_->interpretText();
    if (expiryRefused_)
        return false;
    ShareFormValues v = values();
    const QString failure =
        ValidateShareRequest(v, clock_.now().date(), accessKeyRequired_, mailAddressRequired_);
    if (key_->text() != v.accessKey)
        key_->setText(v.accessKey);
    if (!failure.isEmpty()) {
        warn(failure);
        return false;
    }
    emit shareRequested(MakeGuestShareRequest(v));
    accept();
    return true;
}

void CTorval2FileShareDlg::onExpiryChanged(const QDate& date) {
    const QDate today = clock_.now().date();
    if (IsShareExpiryInRange(date, today))
        return;
    {
        // The refused date never stands, not even behind the message.
        const QSignalBlocker block(expiry_);
        expiry_->setDate(date < today ? today : today.addDays(kShareExpiryDays));
    }
    warn(QString::fromUtf16(kShareExpiryRangeMessage));
    // The event that made the change (Enter, or the mouse press on "共有"
    // that took the focus from the picker) must not go on into a share with
    // the date put back: refused until that event is done.
    RaiseForThisEvent(this, expiryRefused_);
}

void CTorval2FileShareDlg::refuseHalfTypedExpiry() {
    // The first failure in the fixed order, the picker holding no date.
    ShareFormValues v = values();
    v.expiry = QDate();
    warn(ValidateShareRequest(v, clock_.now().date(), accessKeyRequired_, mailAddressRequired_));
}

bool CTorval2FileShareDlg::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (watched == expiry_) {
        // The picker judges a typed date on Enter and on losing the focus,
        // and silently puts back the last date when it was half-typed: note
        // that before it does, for the press that may follow in the same
        // event.
        const auto* key = type == QEvent::KeyPress ? static_cast<QKeyEvent*>(event) : nullptr;
        const bool judging = type == QEvent::FocusOut ||
                             (key && (key->key() == Qt::Key_Enter || key->key() == Qt::Key_Return));
        if (judging && !ShowsDate(expiry_))
            RaiseForThisEvent(this, expiryHalfTyped_);
    } else if (watched == share_ &&
               (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick)) {
        // A mouse press on "共有" reaches the button after the focus has moved
        // to it, so after the picker judged its date on losing the focus. When
        // that refused the date or found it half-typed, the press ends here:
        // the button never goes down, and its release, whenever it comes,
        // clicks nothing.
        if (expiryRefused_)
            return true;
        if (expiryHalfTyped_) {
            refuseHalfTypedExpiry();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CTorval2FileShareDlg::warn(const QString& text) {
    QMessageBox::warning(this, kMessageTitle, text);
}
