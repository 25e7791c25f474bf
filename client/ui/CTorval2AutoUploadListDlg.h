#pragma once

#include <QDialog>

#include <functional>

#include "DialogServices.h"

class CTorval2AutoUploadSetDlg;
class CTrayWnd;
class QPushButton;
class QTreeWidget;

// The upload jobs with their schedule and last result; adds, changes,
// deletes and starts one at once. Every change is saved and read back at
// once, with the scheduler stopped for the moment of the store; a change
// that cannot be saved is reported and stays in the list. A job's row
// follows the end of each of its runs.
class CTorval2AutoUploadListDlg : public QDialog {
    Q_OBJECT
public:
    CTorval2AutoUploadListDlg(const DialogServices& services, CTrayWnd& tray,
                              QWidget* parent = nullptr);

    void FillJobList();
    void addJob();
    void changeJob();
    void deleteJob();
    void uploadNow();

    QTreeWidget* list() const { return list_; }
    QPushButton* addButton() const { return add_; }
    QPushButton* changeButton() const { return change_; }
    QPushButton* deleteButton() const { return delete_; }
    QPushButton* uploadButton() const { return upload_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    int selectedRow() const;
    void setRowButtons(bool enabled);
    // Widens the columns to their contents; returns their total width.
    int fitColumns();
    // Runs the settings dialog; on "設定" stores it at index (-1: a new job).
    void editJob(CTorval2AutoUploadSetDlg& dialog, int index);
    // Makes the change with the scheduler stopped, saves the list and reads
    // it back, and refills the rows. When the save fails the list keeps the
    // change (the tray saves it again before it reads the file) and the user
    // is told.
    void storeChange(const std::function<void()>& change);
    // The rows showing the job with this unique id take its current values.
    void refreshJobRow(const QString& uniqueId);

    DialogServices s_;
    CTrayWnd& tray_;
    QTreeWidget* list_;
    QPushButton* add_;
    QPushButton* change_;
    QPushButton* delete_;
    QPushButton* upload_;
};
