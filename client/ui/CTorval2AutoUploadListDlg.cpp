#include "CTorval2AutoUploadListDlg.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

#include "CTorval2AutoUploadSetDlg.h"
#include "CTorval2UploadList.h"
#include "CTrayWnd.h"
#include "JobSettings.h"

namespace {

// The five columns of a job's row.
QStringList rowTexts(const UploadJob& job) {
    const QString last = job.LastUploadTime.isZero()
                             ? QString()
                             : CTorval2UploadList::FormatTime(job.LastUploadTime);
    return {job.Name, ScheduleSummary(job), job.HotFolder, job.LastUploadFlag, last};
}

}  // namespace

CTorval2AutoUploadListDlg::CTorval2AutoUploadListDlg(const DialogServices& services, CTrayWnd& tray,
                                                     QWidget* parent)
    : QDialog(parent), s_(services), tray_(tray) {
    setWindowTitle(QStringLiteral("TORVAL2 アップロード一覧"));
    auto* intro =
        new QLabel(QStringLiteral("アップロードの設定を必要なだけ追加してください。"), this);
    list_ = new QTreeWidget(this);
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setHeaderLabels({QStringLiteral("名称"), QStringLiteral("開始時刻"),
                            QStringLiteral("アップロード対象保存先"), QStringLiteral("前回の結果"),
                            QStringLiteral("最終バックアップ日時")});
    list_->setAccessibleName(QStringLiteral("アップロード一覧"));
    int column = 0;
    for (const int width : {120, 120, 120, 75, 110})
        list_->setColumnWidth(column++, width);
    list_->viewport()->installEventFilter(this);
    connect(list_, &QTreeWidget::itemSelectionChanged, this,
            [this] { setRowButtons(selectedRow() >= 0); });
    connect(list_, &QTreeWidget::itemDoubleClicked, this, &CTorval2AutoUploadListDlg::changeJob);

    add_ = new QPushButton(QStringLiteral("追加"), this);
    change_ = new QPushButton(QStringLiteral("変更"), this);
    delete_ = new QPushButton(QStringLiteral("削除"), this);
    upload_ = new QPushButton(QStringLiteral("いますぐアップロード"), this);
    auto* close = new QPushButton(QStringLiteral("閉じる"), this);
    connect(add_, &QPushButton::clicked, this, &CTorval2AutoUploadListDlg::addJob);
    connect(change_, &QPushButton::clicked, this, &CTorval2AutoUploadListDlg::changeJob);
    connect(delete_, &QPushButton::clicked, this, &CTorval2AutoUploadListDlg::deleteJob);
    connect(upload_, &QPushButton::clicked, this, &CTorval2AutoUploadListDlg::uploadNow);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    for (QPushButton* b : {add_, change_, delete_, upload_, close})
        b->setAutoDefault(false);

    // The list follows the window's size; the buttons stay centred below it.
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    for (QPushButton* b : {add_, change_, delete_, upload_, close})
        buttons->addWidget(b);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addWidget(list_, 1);
    layout->addLayout(buttons);
    FillJobList();
    setRowButtons(false);
    // Wide enough for every column, within the screen.
    const QMargins margins = layout->contentsMargins();
    const int wanted = fitColumns() + 2 * list_->frameWidth() +
                       list_->verticalScrollBar()->sizeHint().width() + margins.left() +
                       margins.right();
    resize(std::min(std::max(600, wanted), screen()->availableGeometry().width()), 340);
    connect(&tray_, &CTrayWnd::uploadRunEnded, this, &CTorval2AutoUploadListDlg::refreshJobRow);
}

bool CTorval2AutoUploadListDlg::eventFilter(QObject* watched, QEvent* event) {
    // A click on empty space leaves no row chosen.
    if (watched == list_->viewport() && event->type() == QEvent::MouseButtonPress) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (!list_->indexAt(mouse->position().toPoint()).isValid()) {
            list_->clearSelection();
            list_->setCurrentItem(nullptr);
            setRowButtons(false);
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CTorval2AutoUploadListDlg::setRowButtons(bool enabled) {
    change_->setEnabled(enabled);
    delete_->setEnabled(enabled);
    upload_->setEnabled(enabled);
}

int CTorval2AutoUploadListDlg::selectedRow() const {
    const QList<QTreeWidgetItem*> selected = list_->selectedItems();
    return selected.isEmpty() ? -1 : list_->indexOfTopLevelItem(selected.first());
}

void CTorval2AutoUploadListDlg::FillJobList() {
    list_->clear();
    CTorval2UploadList& jobs = tray_.jobList();
    for (int i = 0; i < CTorval2UploadList::kMaxJobs; ++i) {
        const UploadJob* job = jobs.GetJob(i);
        if (!job)
            break;
        list_->addTopLevelItem(new QTreeWidgetItem(rowTexts(*job)));
    }
    // No row is current until the user picks one, so the first arrow key
    // chooses the first row instead of passing one that only looks chosen.
    list_->setCurrentItem(nullptr);
    add_->setEnabled(list_->topLevelItemCount() < CTorval2UploadList::kMaxJobs);
    fitColumns();
}

int CTorval2AutoUploadListDlg::fitColumns() {
    // A column grows to its widest text (heading included), up to a bound
    // that keeps a long folder from pushing the others away; it never
    // shrinks, so a width the user chose stays.
    constexpr int kWidest = 360;
    int total = 0;
    for (int c = 0; c < list_->columnCount(); ++c) {
        const int before = list_->columnWidth(c);
        list_->resizeColumnToContents(c);
        const int width = std::max(before, std::min(list_->columnWidth(c), kWidest));
        list_->setColumnWidth(c, width);
        total += width;
    }
    return total;
}

void CTorval2AutoUploadListDlg::keyPressEvent(QKeyEvent* event) {
    // The buttons are no default buttons (Return in the list must not press
    // one), so Return presses the button that has the focus here.
    auto* button = qobject_cast<QPushButton*>(focusWidget());
    if (button && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
        if (button->isEnabled())
            button->click();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CTorval2AutoUploadListDlg::refreshJobRow(const QString& uniqueId) {
    // Row i shows job i; the whole row is written, so it shows that job
    // whatever the list held when it was filled.
    CTorval2UploadList& jobs = tray_.jobList();
    for (int i = 0; i < list_->topLevelItemCount(); ++i) {
        const UploadJob* job = jobs.GetJob(i);
        if (!job)
            break;
        if (job->UniqueId != uniqueId)
            continue;
        QTreeWidgetItem* item = list_->topLevelItem(i);
        const QStringList texts = rowTexts(*job);
        for (int column = 0; column < texts.size(); ++column)
            item->setText(column, texts.at(column));
    }
}

void CTorval2AutoUploadListDlg::storeChange(const std::function<void()>& change) {
    CTorval2UploadList& jobs = tray_.jobList();
    tray_.StopSchedulerTimer();
    change();
    QString reason;
    const bool saved = jobs.Save(&reason);
    // Reading the old file back would drop the user's change.
    if (saved)
        jobs.Load();
    tray_.StartSchedulerTimer();
    FillJobList();
    setRowButtons(false);
    if (!saved)
        s_.boxes.warn(QStringLiteral("アップロード設定の保存に失敗しました。\n設定ファイル（%1）を"
                                     "書き込めませんでした。\n%2")
                          .arg(jobs.FilePath(), reason));
}

void CTorval2AutoUploadListDlg::editJob(CTorval2AutoUploadSetDlg& dialog, int index) {
    // The scheduler keeps running while the user edits; it stops only for the store.
    if (s_.exec(dialog) == QDialog::Accepted)
        storeChange([&] { StoreDialogIntoJob(dialog.values(), index, tray_.jobList()); });
}

void CTorval2AutoUploadListDlg::addJob() {
    CTorval2AutoUploadSetDlg dialog(s_, std::nullopt, this);
    editJob(dialog, -1);
}

void CTorval2AutoUploadListDlg::changeJob() {
    const int row = selectedRow();
    const UploadJob* job = row < 0 ? nullptr : tray_.jobList().GetJob(row);
    if (!job) {
        s_.boxes.warn(QStringLiteral("変更する行を選択してください。"));
        return;
    }
    CTorval2AutoUploadSetDlg dialog(s_, *job, this);
    editJob(dialog, row);
}

void CTorval2AutoUploadListDlg::deleteJob() {
    const int row = selectedRow();
    if (row < 0) {
        s_.boxes.warn(QStringLiteral("削除する行を選択してください。"));
        return;
    }
    storeChange([this, row] { tray_.jobList().RemoveJob(row); });
}

void CTorval2AutoUploadListDlg::uploadNow() {
    const int row = selectedRow();
    UploadJob* job = row < 0 ? nullptr : tray_.jobList().GetJob(row);
    if (!job) {
        s_.boxes.warn(QStringLiteral("いますぐアップロードする行を選択してください。"));
        return;
    }
    // A job already under way is left to its run, as the tray's "いますぐ
    // アップロード" does: a second run would share its snapshot and moves,
    // and the first to end would clear the uploading mark of the other.
    if (!job->isUploading) {
        job->JobNumber = row + 1;
        job->UploadNow = true;
        job->AllJobs = false;
        tray_.StartUploadRun(*job, row);
    }
    FillJobList();
    if (QTreeWidgetItem* item = list_->topLevelItem(row)) {
        list_->setCurrentItem(item);
        // Refilling disabled the button for a moment and moved the focus on.
        upload_->setFocus();
    }
    raise();
    activateWindow();
}
