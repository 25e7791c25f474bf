#include "CTorval2ControlDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>

#include <memory>

#include "ButtonRow.h"
#include "CLogWriter.h"
#include "CRestControl.h"
#include "CRestSettings.h"
#include "CTorval2AutoUploadListDlg.h"
#include "CTorval2Check1Dlg.h"
#include "CTorval2ProxySetDlg.h"
#include "CTrayWnd.h"
#include "ConfigKeys.h"
#include "ConnectionFailure.h"
#include "DriveOperations.h"
#include "QtTrayPresenter.h"
#include "WebDavLocation.h"
#include "WebDavSizeLimit.h"

namespace {

const QString kSaveFailed =
    QStringLiteral("設定の保存に失敗しました。\nインストールドライブの空き容量をご確認ください。");

struct TestOutcome {
    int status = 0;
    QString reason;  // why it failed, one line for the user
};

// One connection test, on its own thread with its own session and logger,
// so the window stays responsive and nothing is shared with it.
TestOutcome runTest(const QString& configPath, const QString& programSettingsPath) {
    const CRestSettings settings = LoadSettings(configPath, programSettingsPath);
    CLogWriter logger(configPath);
    CRestResult result;
    CRestUser user;
    bool readable = true;
    try {
        CRestControl rest(&settings, &logger);
        rest.GetCurrentUser(result, user);
    } catch (const std::exception&) {
        readable = false;
    }
    QString d = QStringLiteral(" セッション:") + settings.UploaderSessionId +
                QStringLiteral(" WebAPI:") + settings.scheme + QStringLiteral("://") +
                settings.host + settings.basePath;
    if (!settings.proxyAddress.isEmpty())
        d += QStringLiteral(" プロクシ利用:") + settings.proxyAddress + QLatin1Char(':') +
             QString::number(settings.proxyPort);
    if (readable && result.status == 200) {
        logger.Log(CLogWriter::LogInfo, QStringLiteral("接続テスト成功: ユーザコード:") +
                                            user.userCode + QStringLiteral(" ユーザ名:") +
                                            user.familyName + user.firstName + d);
        return {200, {}};
    }
    // The password's length helps tell a typing error; the password never appears.
    logger.Log(CLogWriter::LogError, QStringLiteral("接続テスト失敗(%1): ").arg(result.status) + d +
                                         QStringLiteral(" BOX-ID:") + settings.userName +
                                         QStringLiteral(" BOX-PASSWORD-length:") +
                                         QString::number(settings.password.size()) +
                                         QStringLiteral(" 原因:") + FailureLogText(result));
    return {readable ? result.status : 0, FailureReason(result)};
}

// Where the drive of the letter appears on this desktop.
QString driveHintText(const QString& letter) {
    const std::optional<QChar> c = DriveLetterOf(letter);
    if (!c)
        return {};
    return QStringLiteral(
               "ドライブはホームフォルダーの「%1」と\n"
               "ファイルマネージャーのサイドバーに表示されます。")
        .arg(DriveEntryName(*c));
}

}  // namespace

CTorval2ControlDlg::CTorval2ControlDlg(DialogServices services, QWidget* parent)
    : QDialog(parent), s_(std::move(services)) {
    setWindowTitle(QStringLiteral("TORVAL2 クライアントツール"));
    setWindowIcon(QtTrayPresenter::iconImage(TrayIcon::Normal));

    auto* intro = new QLabel(QStringLiteral("TORVAL2の接続に必要な情報を設定してください。"), this);
    auto* group = new QGroupBox(QStringLiteral("TORVAL2 接続情報"), this);
    auto* idLabel = new QLabel(QStringLiteral("BOX ID："), group);
    boxId_ = new QLineEdit(group);
    boxId_->setPlaceholderText(QStringLiteral("ID@ポータル名"));
    boxId_->setToolTip(QStringLiteral("「ID@ポータル名」の形で入力してください。"));
    idLabel->setBuddy(boxId_);
    auto* passwordLabel = new QLabel(QStringLiteral("パスワード："), group);
    password_ = new QLineEdit(group);
    password_->setEchoMode(QLineEdit::Password);
    passwordLabel->setBuddy(password_);
    auto* proxy = new QPushButton(QStringLiteral("プロキシの設定"), group);
    test_ = new QPushButton(QStringLiteral("接続テスト"), group);
    useDrive_ = new QCheckBox(QStringLiteral("コンピューターから利用する"), group);
    driveLabel_ = new QLabel(QStringLiteral("ドライブレター："), group);
    drives_ = new QComboBox(group);
    driveLabel_->setBuddy(drives_);
    driveHint_ = new QLabel(group);
    auto* jobs = new QPushButton(QStringLiteral("アップロードの設定"), this);
    auto* now = new QPushButton(QStringLiteral("いますぐアップロード"), this);
    auto* ok = new QPushButton(QStringLiteral("設定"), this);
    auto* cancel = new QPushButton(QStringLiteral("キャンセル"), this);
    ok->setDefault(true);

    auto* grid = new QGridLayout(group);
    grid->addWidget(idLabel, 0, 0);
    grid->addWidget(boxId_, 0, 1, 1, 2);
    grid->addWidget(passwordLabel, 1, 0);
    grid->addWidget(password_, 1, 1, 1, 2);
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(proxy);
    row->addWidget(test_);
    grid->addLayout(row, 2, 0, 1, 3);
    grid->addWidget(useDrive_, 3, 0, 1, 3);
    grid->addWidget(driveLabel_, 4, 0);
    grid->addWidget(drives_, 4, 1);
    grid->addWidget(driveHint_, 5, 1, 1, 2);
    grid->setColumnStretch(2, 1);
    auto* actions = new QHBoxLayout;
    actions->addWidget(jobs);
    actions->addWidget(now);
    actions->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addWidget(group);
    layout->addLayout(actions);
    layout->addStretch();
    layout->addLayout(ButtonRow({ok, cancel}));
    setMinimumWidth(440);

    connect(proxy, &QPushButton::clicked, this, &CTorval2ControlDlg::openProxySettings);
    connect(test_, &QPushButton::clicked, this, &CTorval2ControlDlg::RunConnectionTest);
    connect(jobs, &QPushButton::clicked, this, &CTorval2ControlDlg::openJobList);
    connect(now, &QPushButton::clicked, this, &CTorval2ControlDlg::uploadNow);
    connect(ok, &QPushButton::clicked, this, &CTorval2ControlDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(useDrive_, &QCheckBox::toggled, this, &CTorval2ControlDlg::updateDriveEnabled);
    connect(drives_, &QComboBox::currentTextChanged, this,
            [this](const QString& letter) { driveHint_->setText(driveHintText(letter)); });

    const ConnectionSettings saved = LoadConnectionSettings(s_.configPath);
    DriveOperations* drive = s_.drive;
    drives_->addItems(DriveLetterChoices(saved.driveLetter, [drive](const QString& letter) {
        return drive && drive->LetterInUse(letter);
    }));
    // A file without an account opens empty, not with a lone "@".
    boxId_->setText(saved.boxId == QLatin1String("@") ? QString() : saved.boxId);
    password_->setText(saved.password);
    useDrive_->setChecked(saved.useMyComputer);
    const int index = drives_->findText(saved.driveLetter);
    drives_->setCurrentIndex(index >= 0 ? index : drives_->count() - 1);
    updateDriveEnabled();
}

CTorval2ControlDlg::~CTorval2ControlDlg() = default;

void CTorval2ControlDlg::updateDriveEnabled() {
    driveLabel_->setEnabled(useDrive_->isChecked());
    drives_->setEnabled(useDrive_->isChecked());
    driveHint_->setEnabled(useDrive_->isChecked());
}

ConnectionSettings CTorval2ControlDlg::values() const {
    return {boxId_->text(), password_->text(), useDrive_->isChecked(), drives_->currentText()};
}

void CTorval2ControlDlg::accept() {
    if (unmapping_)
        return;
    const ConnectionSettings v = values();
    if (!warnIfInvalid(v) || !ConfirmWebDavLimit())
        return;
    const ConnectionSettings before = LoadConnectionSettings(s_.configPath);
    if (s_.drive && before.useMyComputer &&
        (v.driveLetter != before.driveLetter || !v.useMyComputer) && !unmapDrive())
        return;
    if (!SaveConnectionSettings(v, s_.configPath)) {
        s_.boxes.warn(kSaveFailed);
        return;
    }
    if (s_.drive && v.useMyComputer) {
        s_.drive->StoreDriveCredentials();
        s_.drive->ConnectDrive();
    }
    QDialog::accept();
}

void CTorval2ControlDlg::reject() {
    if (!unmapping_)
        QDialog::reject();
}

bool CTorval2ControlDlg::unmapDrive() {
    // An unmount may take many seconds: the interface goes on meanwhile, with
    // the dialog disabled, and the save waits for the unmount's end.
    const QPointer<CTorval2ControlDlg> alive(this);
    unmapping_ = true;
    setEnabled(false);
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    QThread* worker = QThread::create([drive = s_.drive] { drive->DisconnectDrive(); });
    QEventLoop loop;
    connect(worker, &QThread::finished, &loop, &QEventLoop::quit);
    worker->start();
    loop.exec();
    // The loop also ends when the program quits; the order still holds.
    worker->wait();
    delete worker;
    QGuiApplication::restoreOverrideCursor();
    if (!alive)
        return false;
    setEnabled(true);
    unmapping_ = false;
    return true;
}

bool CTorval2ControlDlg::ConfirmWebDavLimit() {
    const std::optional<quint32> limit =
        s_.sizeLimit ? s_.sizeLimit->Read() : WebDavSizeLimit::kFourGigabytes;
    if (limit != WebDavSizeLimit::kFourGigabytes) {
        WebDavSizeLimit* sizeLimit = s_.sizeLimit;
        CTorval2Check1Dlg check([sizeLimit] { sizeLimit->Raise(); }, this);
        if (s_.exec(check) != QDialog::Accepted)
            return false;
    }
    if (!IsSwitchOn(ReadSetting(UserConfig::CheckDlg2NoDisplay, s_.configPath))) {
        CTorval2Check2Dlg hint(this);
        s_.exec(hint);
        if (hint.noMoreDisplay())
            WriteSetting(UserConfig::CheckDlg2NoDisplay, QStringLiteral("ON"), s_.configPath);
    }
    return true;
}

bool CTorval2ControlDlg::warnIfInvalid(const ConnectionSettings& v) {
    const QString failure = ValidateConnectionSettings(v);
    if (!failure.isEmpty())
        s_.boxes.warn(failure);
    return failure.isEmpty();
}

bool CTorval2ControlDlg::ensureSaved() {
    const ConnectionSettings v = values();
    if (!ValidateConnectionSettings(v).isEmpty()) {
        s_.boxes.warn(
            QStringLiteral("接続情報に誤りがあるか、接続情報がセットされていません。\n"
                           "操作を続けるには接続情報を入力してください。"));
        return false;
    }
    if (DiffersFromSaved(v, s_.configPath)) {
        if (!s_.boxes.askYesNo(QStringLiteral("保存されていない設定があります。保存しますか？")))
            return false;
        SaveConnectionSettings(v, s_.configPath);
    }
    return true;
}

void CTorval2ControlDlg::openProxySettings() {
    CTorval2ProxySetDlg proxy(s_.configPath, s_.boxes, this);
    s_.exec(proxy);
}

void CTorval2ControlDlg::openJobList() {
    if (!ensureSaved() || !s_.tray)
        return;
    CTorval2AutoUploadListDlg list(s_, *s_.tray, this);
    s_.exec(list);
}

void CTorval2ControlDlg::uploadNow() {
    if (ensureSaved() && s_.tray)
        s_.tray->UploadNowAll();
}

bool CTorval2ControlDlg::connectionTestRunning() const {
    return testRunning_;
}

void CTorval2ControlDlg::RunConnectionTest() {
    if (testRunning_)
        return;
    const ConnectionSettings v = values();
    // The field to correct, as "設定" names it: the test needs the values saved.
    if (!warnIfInvalid(v))
        return;
    if (DiffersFromSaved(v, s_.configPath)) {
        if (!s_.boxes.askYesNo(QStringLiteral("保存されていない設定があります。保存しますか？")))
            return;
        SaveConnectionSettings(v, s_.configPath);
    }
    testRunning_ = true;
    test_->setEnabled(false);
    auto outcome = std::make_shared<TestOutcome>();
    QThread* worker =
        QThread::create([outcome, config = s_.configPath, program = s_.programSettingsPath] {
            *outcome = runTest(config, program);
        });
    // The result reaches the dialog only while it exists; the thread object
    // goes once the thread has ended, whether or not the dialog is still there.
    connect(worker, &QThread::finished, this,
            [this, outcome] { testFinished(outcome->status, outcome->reason); });
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}

void CTorval2ControlDlg::testFinished(int status, const QString& reason) {
    testRunning_ = false;
    test_->setEnabled(true);
    if (status == 200)
        s_.boxes.show(MessageBoxes::Icon::Information, MessageBoxes::Buttons::Ok,
                      QStringLiteral("接続に成功しました"));
    else
        s_.boxes.show(MessageBoxes::Icon::Question, MessageBoxes::Buttons::Ok,
                      QStringLiteral("接続に失敗しました\n") + reason);
    emit connectionTestFinished(status);
}
