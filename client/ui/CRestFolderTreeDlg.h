#pragma once

#include <QDialog>
#include <QMap>
#include <QSet>

#include "CRestSettings.h"
#include "MessageBoxes.h"

class QTreeWidget;
class QTreeWidgetItem;
struct CRestItem;

// Chooses a destination folder in the storage below "/User". Folders are
// listed lazily, on opening and on each expansion, each listing on a worker
// thread of its own while a "読み込み中…" row stands in for the children.
// When the first listing fails the dialog closes with the result -1.
class CRestFolderTreeDlg : public QDialog {
    Q_OBJECT
public:
    CRestFolderTreeDlg(const CRestSettings& settings, const QString& configPath, MessageBoxes boxes,
                       QWidget* parent = nullptr);

    // The path of the selected item; empty while none is selected (an item
    // that is only current, as after focus by keyboard, is not selected).
    QString selectedPath() const { return selected_; }
    QTreeWidget* tree() const { return tree_; }
    // The item shown for path, or null.
    QTreeWidgetItem* itemFor(const QString& path) const { return items_.value(path); }
    bool listing() const { return !pending_.isEmpty(); }

signals:
    // A listing of path has ended and its folders (if any) are in the tree.
    void listingFinished(const QString& path, bool ok);

private:
    struct Listing;
    void expandPath(const QString& path);
    void listed(const QString& path, const Listing& listing);

    CRestSettings settings_;
    QString configPath_;
    MessageBoxes boxes_;
    QTreeWidget* tree_;
    QMap<QString, QTreeWidgetItem*> items_;
    QSet<QString> pending_;
    QString selected_;
    bool rootListed_ = false;
};
