#include "CTorval2ProxySetDlg.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "ButtonRow.h"

namespace {

QLineEdit* field(QLabel*& label, const QString& text, QWidget* parent) {
    label = new QLabel(text, parent);
    auto* edit = new QLineEdit(parent);
    label->setBuddy(edit);
    return edit;
}

}  // namespace

CTorval2ProxySetDlg::CTorval2ProxySetDlg(const QString& configPath, MessageBoxes boxes,
                                         QWidget* parent)
    : QDialog(parent), configPath_(configPath), boxes_(std::move(boxes)) {
    setWindowTitle(QStringLiteral("TORVAL2 プロキシ設定"));
    auto* intro = new QLabel(
        QStringLiteral("TORVAL2の接続にプロキシサーバーが必要な場合は設定してください。"), this);
    intro->setWordWrap(true);
    enable_ = new QCheckBox(QStringLiteral("プロキシサーバーを使用する"), this);
    address_ = field(addressLabel_, QStringLiteral("アドレス："), this);
    port_ = field(portLabel_, QStringLiteral("ポート："), this);
    auth_ = new QCheckBox(QStringLiteral("認証を必要とする"), this);
    id_ = field(idLabel_, QStringLiteral("ID："), this);
    password_ = field(passwordLabel_, QStringLiteral("パスワード："), this);
    password_->setEchoMode(QLineEdit::Password);
    auto* note = new QLabel(
        QStringLiteral(
            "[適用]ボタンをクリックした後、設定画面の[設定]ボタンをクリックしてください。"),
        this);
    note->setWordWrap(true);
    apply_ = new QPushButton(QStringLiteral("適用"), this);
    apply_->setDefault(true);
    auto* close = new QPushButton(QStringLiteral("閉じる"), this);
    connect(apply_, &QPushButton::clicked, this, &CTorval2ProxySetDlg::accept);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);

    auto* grid = new QGridLayout;
    grid->addWidget(enable_, 0, 0, 1, 2);
    grid->addWidget(addressLabel_, 1, 0);
    grid->addWidget(address_, 1, 1);
    grid->addWidget(portLabel_, 2, 0);
    grid->addWidget(port_, 2, 1);
    grid->addWidget(auth_, 3, 0, 1, 2);
    grid->addWidget(idLabel_, 4, 0);
    grid->addWidget(id_, 4, 1);
    grid->addWidget(passwordLabel_, 5, 0);
    grid->addWidget(password_, 5, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addLayout(grid);
    layout->addWidget(note);
    layout->addLayout(ButtonRow({apply_, close}));
    setMinimumWidth(420);

    const ProxySettings saved = LoadProxySettings(configPath_);
    enable_->setChecked(saved.enable);
    address_->setText(saved.address);
    port_->setText(saved.port);
    auth_->setChecked(saved.authEnable);
    id_->setText(saved.authId);
    password_->setText(saved.authPass);
    connect(enable_, &QCheckBox::toggled, this, &CTorval2ProxySetDlg::updateEnabled);
    connect(auth_, &QCheckBox::toggled, this, &CTorval2ProxySetDlg::updateEnabled);
    updateEnabled();
}

void CTorval2ProxySetDlg::updateEnabled() {
    for (QWidget* w : {static_cast<QWidget*>(addressLabel_), static_cast<QWidget*>(address_),
                       static_cast<QWidget*>(portLabel_), static_cast<QWidget*>(port_)})
        w->setEnabled(enable_->isChecked());
    for (QWidget* w : {static_cast<QWidget*>(idLabel_), static_cast<QWidget*>(id_),
                       static_cast<QWidget*>(passwordLabel_), static_cast<QWidget*>(password_)})
        w->setEnabled(auth_->isChecked());
}

ProxySettings CTorval2ProxySetDlg::values() const {
    return {enable_->isChecked(), address_->text(), port_->text(),
            auth_->isChecked(),   id_->text(),      password_->text()};
}

void CTorval2ProxySetDlg::accept() {
    const ProxySettings v = values();
    const QString failure = ValidateProxySettings(v);
    if (!failure.isEmpty()) {
        boxes_.warn(failure);
        return;
    }
    if (!SaveProxySettings(v, configPath_)) {
        boxes_.warn(QStringLiteral(
            "設定の保存に失敗しました。\nインストールドライブの空き容量をご確認ください。"));
        return;
    }
    QDialog::accept();
}
