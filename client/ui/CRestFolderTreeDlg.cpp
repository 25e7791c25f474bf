#include "CRestFolderTreeDlg.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QThread>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <memory>

#include "CLogWriter.h"
#include "CRestControl.h"

namespace {

const QString kRoot = QStringLiteral("/User");
constexpr int kPathRole = Qt::UserRole;

}  // namespace

struct CRestFolderTreeDlg::Listing {
    bool ok = false;
    QList<CRestItem> items;
};

CRestFolderTreeDlg::CRestFolderTreeDlg(const CRestSettings& settings, const QString& configPath,
                                       MessageBoxes boxes, QWidget* parent)
    : QDialog(parent), settings_(settings), configPath_(configPath), boxes_(std::move(boxes)) {
    setWindowTitle(QStringLiteral("フォルダー選択"));
    auto* intro = new QLabel(QStringLiteral("アップロード先を選択してください。"), this);
    tree_ = new QTreeWidget(this);
    tree_->setHeaderHidden(true);
    tree_->setAccessibleName(QStringLiteral("アップロード先を選択してください。"));
    intro->setBuddy(tree_);
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole)->setDefault(true);
    buttons->addButton(QStringLiteral("キャンセル"), QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addWidget(tree_, 1);
    layout->addWidget(buttons);
    resize(360, 420);

    auto* root = new QTreeWidgetItem(tree_, {QStringLiteral("User")});
    root->setIcon(0, style()->standardIcon(QStyle::SP_DirIcon));
    root->setData(0, kPathRole, kRoot);
    items_.insert(kRoot, root);
    connect(tree_, &QTreeWidget::itemExpanded, this,
            [this](QTreeWidgetItem* item) { expandPath(item->data(0, kPathRole).toString()); });
    // The selection, not the current item: a view given focus by keyboard
    // makes its first item current without the user choosing anything.
    connect(tree_, &QTreeWidget::itemSelectionChanged, this, [this] {
        const QList<QTreeWidgetItem*> chosen = tree_->selectedItems();
        // The loading row cannot be selected and has no path.
        selected_ = chosen.isEmpty() ? QString() : chosen.first()->data(0, kPathRole).toString();
    });
    expandPath(kRoot);
}

void CRestFolderTreeDlg::expandPath(const QString& path) {
    QTreeWidgetItem* parent = items_.value(path);
    if (!parent || pending_.contains(path))
        return;
    pending_.insert(path);
    auto* loading = new QTreeWidgetItem(parent, {QStringLiteral("読み込み中…")});
    loading->setFlags(Qt::ItemIsEnabled);
    parent->setExpanded(true);

    auto result = std::make_shared<Listing>();
    QThread* worker =
        QThread::create([result, path, settings = settings_, configPath = configPath_] {
            CLogWriter logger(configPath);
            CRestResult r;
            try {
                CRestControl rest(&settings, &logger);
                rest.GetFolderItems(r, path, result->items);
            } catch (const std::exception&) {
                r.ok = false;
            }
            result->ok = r.ok && r.status == 200;
            if (!result->ok) {
                QString text = QStringLiteral("フォルダ展開 失敗(") + QString::number(r.status);
                if (!r.message.isEmpty())
                    text += QLatin1Char(':') + r.message;
                logger.Log(CLogWriter::LogError, text + QStringLiteral(") ") + path);
            }
        });
    connect(worker, &QThread::finished, this, [this, path, result] { listed(path, *result); });
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}

void CRestFolderTreeDlg::listed(const QString& path, const Listing& listing) {
    pending_.remove(path);
    QTreeWidgetItem* parent = items_.value(path);
    for (int i = parent->childCount() - 1; i >= 0; --i) {
        if (parent->child(i)->data(0, kPathRole).toString().isEmpty())
            delete parent->takeChild(i);
    }
    const bool first = !rootListed_ && path == kRoot;
    if (path == kRoot)
        rootListed_ = true;
    if (!listing.ok) {
        emit listingFinished(path, false);
        if (first) {
            boxes_.warn(QStringLiteral("サーバとの接続に失敗しました。"));
            done(-1);
        }
        return;
    }
    for (const CRestItem& item : listing.items) {
        if (item.itemType != QLatin1String("folder"))
            continue;
        const QString child = path + QLatin1Char('/') + item.name;
        if (items_.contains(child))
            continue;
        auto* node = new QTreeWidgetItem(parent, {item.name});
        node->setIcon(0, style()->standardIcon(QStyle::SP_DirIcon));
        node->setData(0, kPathRole, child);
        node->setChildIndicatorPolicy(item.childFolderCount > 0
                                          ? QTreeWidgetItem::ShowIndicator
                                          : QTreeWidgetItem::DontShowIndicatorWhenChildless);
        items_.insert(child, node);
    }
    // A folder without sub-folders loses its expansion mark.
    parent->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
    emit listingFinished(path, true);
}
