#include "CTorval2Check1Dlg.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ButtonRow.h"

namespace {

// Broken only where the text breaks: a wrapped label's height is not part
// of a window's smallest size, so a narrowed window would cut lines off.
QLabel* messageText(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

}  // namespace

CTorval2Check1Dlg::CTorval2Check1Dlg(std::function<void()> raise, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(QStringLiteral("TORVAL2 設定確認"));
    auto* text = messageText(
        QStringLiteral("WebDAVでの最大アップロード、ダウンロードサイズを50MBから4GBまで拡張する"
                       "ことが出来ます。\nただしこれはレジストリの変更を行います。\n\n"
                       "ファイルサイズの変更を行いますか？"),
        this);
    change_ = new QPushButton(QStringLiteral("変更する"), this);
    keep_ = new QPushButton(QStringLiteral("変更しない"), this);
    cancel_ = new QPushButton(QStringLiteral("キャンセル"), this);
    change_->setDefault(true);
    connect(change_, &QPushButton::clicked, this, [this, raise = std::move(raise)] {
        if (raise)
            raise();
        accept();
    });
    connect(keep_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addLayout(ButtonRow({change_, keep_, cancel_}));
}

CTorval2Check2Dlg::CTorval2Check2Dlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("TORVAL2設定確認"));
    // The drive goes through the desktop's network layer, which follows the
    // desktop's proxy setting; its automatic mode looks for a proxy
    // configuration on the network, as the browser setting did on Windows.
    auto* text = messageText(
        QStringLiteral(
            "接続が遅い時は、デスクトップの「設定」を開き、「ネットワーク」を選択します。\n"
            "「ネットワークプロキシ」の設定を開きます。\n"
            "方式が「自動」の場合は「無効」（プロキシが必要な場合は「手動」）に変更して"
            "いただくことで、改善することがあります。"),
        this);
    noMore_ = new QCheckBox(QStringLiteral("今後、このダイアログを表示しない"), this);
    done_ = new QPushButton(QStringLiteral("完了"), this);
    done_->setDefault(true);
    connect(done_, &QPushButton::clicked, this, &QDialog::accept);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(noMore_);
    buttons->addStretch();
    buttons->addWidget(done_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addLayout(buttons);
}

bool CTorval2Check2Dlg::noMoreDisplay() const {
    return noMore_->isChecked();
}
