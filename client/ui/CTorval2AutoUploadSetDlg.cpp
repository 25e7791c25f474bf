#include "CTorval2AutoUploadSetDlg.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTimeEdit>
#include <QVBoxLayout>

#include "ButtonRow.h"
#include "CRestFolderTreeDlg.h"
#include "CRestSettings.h"
#include "ConfigKeys.h"
#include "JobSettings.h"

namespace {

const QString kDays = QStringLiteral("月火水木金土日");

// The user's time format without its seconds.
QString timeFormat() {
    QString format = QLocale().timeFormat(QLocale::ShortFormat);
    format.remove(QRegularExpression(QStringLiteral("[^Hhm]?s+")));
    return format.isEmpty() ? QStringLiteral("HH:mm") : format;
}

}  // namespace

CTorval2AutoUploadSetDlg::CTorval2AutoUploadSetDlg(const DialogServices& services,
                                                   const std::optional<UploadJob>& job,
                                                   QWidget* parent)
    : QDialog(parent), s_(services) {
    setWindowTitle(QStringLiteral("TORVAL2 アップロード設定"));
    auto* intro = new QLabel(QStringLiteral("アップロードの設定を行ってください。"), this);

    auto* nameLabel = new QLabel(QStringLiteral("名称："), this);
    name_ = new QLineEdit(this);
    name_->setMaxLength(64);
    nameLabel->setBuddy(name_);
    sourceBrowse_ =
        folderRow(source_, sourceLabel_, QStringLiteral("アップロード対象保存先："), 950);
    remoteBrowse_ =
        folderRow(remote_, remoteLabel_, QStringLiteral("TORVAL2 アップロード先："), 950);
    remote_->setToolTip(
        QStringLiteral("Web上のフォルダプロパティの\"場所\"情報をコピーペーストしても可"));

    auto* group1 = new QGroupBox(QStringLiteral("アップロード開始時刻1"), this);
    time1_ = makeStartTime(group1);
    auto* group2 = new QGroupBox(QStringLiteral("アップロード開始時刻2"), this);
    group2->setCheckable(true);
    time2_ = makeStartTime(group2);

    compress_ = new QCheckBox(QStringLiteral("圧縮アップロードを有効にする"), this);
    zipLabel_ = new QLabel(QStringLiteral("圧縮後のファイル名："), this);
    zipName_ = new QLineEdit(this);
    zipName_->setMaxLength(255);
    zipLabel_->setBuddy(zipName_);
    zipSuffix_ = new QLabel(QStringLiteral(".zip"), this);

    move_ = new QCheckBox(QStringLiteral("アップロード処理後にファイルを移動する"), this);
    movedBrowse_ =
        folderRow(moved_, movedLabel_, QStringLiteral("アップロード済みファイル保存先："), 950);
    errorBrowse_ = folderRow(error_, errorLabel_, QStringLiteral("エラーファイル保存先："), 950);
    delete_ = new QCheckBox(QStringLiteral("移動7日後にファイルを削除する"), this);

    auto* ok = new QPushButton(QStringLiteral("設定"), this);
    auto* cancel = new QPushButton(QStringLiteral("キャンセル"), this);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &CTorval2AutoUploadSetDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* grid = new QGridLayout;
    grid->addWidget(nameLabel, 0, 0);
    grid->addWidget(name_, 0, 1, 1, 2);
    grid->addWidget(sourceLabel_, 1, 0);
    grid->addWidget(source_, 1, 1);
    grid->addWidget(sourceBrowse_, 1, 2);
    grid->addWidget(remoteLabel_, 2, 0);
    grid->addWidget(remote_, 2, 1);
    grid->addWidget(remoteBrowse_, 2, 2);
    auto* zipRow = new QHBoxLayout;
    zipRow->addWidget(zipLabel_);
    zipRow->addWidget(zipName_, 1);
    zipRow->addWidget(zipSuffix_);
    auto* moveGrid = new QGridLayout;
    moveGrid->addWidget(movedLabel_, 0, 0);
    moveGrid->addWidget(moved_, 0, 1);
    moveGrid->addWidget(movedBrowse_, 0, 2);
    moveGrid->addWidget(errorLabel_, 1, 0);
    moveGrid->addWidget(error_, 1, 1);
    moveGrid->addWidget(errorBrowse_, 1, 2);
    moveGrid->addWidget(delete_, 2, 0, 1, 3);
    moveGrid->setContentsMargins(20, 0, 0, 0);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addLayout(grid);
    layout->addWidget(group1);
    layout->addWidget(group2);
    layout->addWidget(compress_);
    zipRow->setContentsMargins(20, 0, 0, 0);
    layout->addLayout(zipRow);
    layout->addWidget(move_);
    layout->addLayout(moveGrid);
    layout->addStretch();
    layout->addLayout(ButtonRow({ok, cancel}));
    setMinimumWidth(560);

    connect(sourceBrowse_, &QPushButton::clicked, this, [this] {
        browseLocalFolder(source_, QStringLiteral("アップロード対象保存先を選択してください"));
    });
    connect(movedBrowse_, &QPushButton::clicked, this, [this] {
        browseLocalFolder(moved_,
                          QStringLiteral("アップロード済みファイル保存先を選択してください"));
    });
    connect(errorBrowse_, &QPushButton::clicked, this, [this] {
        browseLocalFolder(error_, QStringLiteral("エラーファイル保存先を選択してください"));
    });
    connect(remoteBrowse_, &QPushButton::clicked, this,
            &CTorval2AutoUploadSetDlg::browseRemoteFolder);

    const UploadJob v =
        job ? *job : NewJobDefaults(SystemTime::fromDateTime(QDateTime::currentDateTime()));
    date_ = SystemTime::fromDateTime(QDateTime::currentDateTime());
    deletionAtOpen_ = v.Delete7DaysEnable;
    name_->setText(v.Name);
    source_->setText(v.HotFolder);
    remote_->setText(v.OrrinPortalFolder);
    setStartTime(time1_, v.SyncTime1Type, v.SyncTime1AfterStart, v.SyncTime1, v.SyncTime1Week);
    group2->setChecked(v.SyncTime2Enable);
    setStartTime(time2_, v.SyncTime2Type, v.SyncTime2AfterStart, v.SyncTime2, v.SyncTime2Week);
    compress_->setChecked(v.CompressionEnable);
    zipName_->setText(v.CompressionFilename);
    move_->setChecked(v.EvacuationEnable);
    moved_->setText(v.EvacuationFolder);
    error_->setText(v.ErrorFolder);
    delete_->setChecked(v.Delete7DaysEnable);

    const QList<QAbstractButton*> switches{
        compress_, move_, time1_.afterStart, time1_.timeOfDay, time2_.afterStart, time2_.timeOfDay};
    for (QAbstractButton* b : switches)
        connect(b, &QAbstractButton::toggled, this, &CTorval2AutoUploadSetDlg::updateEnabled);
    connect(group2, &QGroupBox::toggled, this, &CTorval2AutoUploadSetDlg::updateEnabled);
    updateEnabled();
}

QPushButton* CTorval2AutoUploadSetDlg::folderRow(QLineEdit*& edit, QLabel*& label,
                                                 const QString& text, int limit) {
    label = new QLabel(text, this);
    edit = new QLineEdit(this);
    edit->setMaxLength(limit);
    label->setBuddy(edit);
    auto* browse = new QPushButton(QStringLiteral("参照"), this);
    browse->setAutoDefault(false);
    // The buttons share one text; the name says which field each fills.
    browse->setAccessibleName(QStringLiteral("参照 ") + text);
    return browse;
}

CTorval2AutoUploadSetDlg::StartTime CTorval2AutoUploadSetDlg::makeStartTime(QGroupBox* group) {
    StartTime t;
    t.group = group;
    t.afterStart = new QRadioButton(QStringLiteral("起動"), group);
    t.minutes = new QSpinBox(group);
    t.minutes->setRange(0, 999);
    t.minutesLabel = new QLabel(QStringLiteral("分後"), group);
    t.minutesLabel->setBuddy(t.minutes);
    t.timeOfDay = new QRadioButton(QStringLiteral("時間指定"), group);
    t.time = new QTimeEdit(group);
    t.time->setDisplayFormat(timeFormat());
    t.time->setAccessibleName(QStringLiteral("時間指定"));
    auto* daysLabel = new QLabel(QStringLiteral("曜日指定："), group);
    for (int i = 0; i < 7; ++i)
        t.days[i] = new QCheckBox(kDays.at(i), group);
    daysLabel->setBuddy(t.days[0]);

    auto* row = new QHBoxLayout;
    row->addWidget(t.afterStart);
    row->addWidget(t.minutes);
    row->addWidget(t.minutesLabel);
    row->addSpacing(24);
    row->addWidget(t.timeOfDay);
    row->addWidget(t.time);
    row->addStretch();
    auto* days = new QHBoxLayout;
    days->addWidget(daysLabel);
    for (QCheckBox* box : t.days)
        days->addWidget(box);
    days->addStretch();
    auto* layout = new QVBoxLayout(group);
    layout->addLayout(row);
    layout->addLayout(days);
    return t;
}

void CTorval2AutoUploadSetDlg::setStartTime(StartTime& t, bool timeOfDay, const QString& minutes,
                                            const SystemTime& time, const QString& week) {
    (timeOfDay ? t.timeOfDay : t.afterStart)->setChecked(true);
    t.minutes->setValue(minutes.toInt());
    t.time->setTime(QTime(time.hour % 24, time.minute % 60));
    for (int i = 0; i < 7; ++i)
        t.days[i]->setChecked(i < week.size() && week.at(i) == QLatin1Char('1'));
}

void CTorval2AutoUploadSetDlg::readStartTime(const StartTime& t, bool& timeOfDay, QString& minutes,
                                             SystemTime& time, QString& week) const {
    timeOfDay = t.timeOfDay->isChecked();
    minutes = QString::number(t.minutes->value());
    time = date_;
    time.hour = t.time->time().hour();
    time.minute = t.time->time().minute();
    time.second = time.millisecond = 0;
    week.clear();
    for (QCheckBox* box : t.days)
        week += box->isChecked() ? QLatin1Char('1') : QLatin1Char('0');
}

void CTorval2AutoUploadSetDlg::updateEnabled() {
    const bool moving = move_->isChecked();
    for (QWidget* w : {static_cast<QWidget*>(movedLabel_), static_cast<QWidget*>(moved_),
                       static_cast<QWidget*>(movedBrowse_), static_cast<QWidget*>(errorLabel_),
                       static_cast<QWidget*>(error_), static_cast<QWidget*>(errorBrowse_),
                       static_cast<QWidget*>(delete_)})
        w->setEnabled(moving);
    for (QWidget* w : {static_cast<QWidget*>(zipLabel_), static_cast<QWidget*>(zipName_),
                       static_cast<QWidget*>(zipSuffix_)})
        w->setEnabled(compress_->isChecked());
    // The checkable group disables all of start time 2 while unticked.
    for (StartTime* t : {&time1_, &time2_}) {
        const bool on = t->group->isChecked() || !t->group->isCheckable();
        t->minutes->setEnabled(on && t->afterStart->isChecked());
        t->minutesLabel->setEnabled(on && t->afterStart->isChecked());
        t->time->setEnabled(on && t->timeOfDay->isChecked());
    }
}

UploadJob CTorval2AutoUploadSetDlg::values() const {
    UploadJob v;
    v.Name = name_->text();
    v.HotFolder = source_->text();
    v.OrrinPortalFolder = remote_->text();
    readStartTime(time1_, v.SyncTime1Type, v.SyncTime1AfterStart, v.SyncTime1, v.SyncTime1Week);
    v.SyncTime2Enable = time2_.group->isChecked();
    readStartTime(time2_, v.SyncTime2Type, v.SyncTime2AfterStart, v.SyncTime2, v.SyncTime2Week);
    v.CompressionEnable = compress_->isChecked();
    v.CompressionFilename = zipName_->text();
    v.EvacuationEnable = move_->isChecked();
    v.EvacuationFolder = moved_->text();
    v.ErrorFolder = error_->text();
    v.Delete7DaysEnable = delete_->isChecked();
    return v;
}

void CTorval2AutoUploadSetDlg::accept() {
    if (ValidateJobSettings(values(), deletionAtOpen_, s_.boxes, s_.programFolder))
        QDialog::accept();
}

void CTorval2AutoUploadSetDlg::browseLocalFolder(QLineEdit* edit, const QString& title) {
    const QString chosen = s_.browseFolder ? s_.browseFolder(edit->text(), title) : QString();
    if (chosen.isEmpty())
        return;
    edit->setText(chosen);
    edit->setFocus();
}

void CTorval2AutoUploadSetDlg::browseRemoteFolder() {
    if (ReadSetting(UserConfig::Password, s_.configPath).isEmpty()) {
        s_.boxes.warn(QStringLiteral("通信に必要な設定を先に行ってください。"));
        return;
    }
    CRestFolderTreeDlg chooser(LoadSettings(s_.configPath, s_.programSettingsPath), s_.configPath,
                               s_.boxes, this);
    if (s_.exec(chooser) != QDialog::Accepted)
        return;
    remote_->setText(chooser.selectedPath());
    remote_->setFocus();
}
