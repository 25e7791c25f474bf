#pragma once

#include <QDialog>

#include <array>
#include <optional>

#include "DialogServices.h"
#include "UploadJob.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTimeEdit;

// One upload job's settings. "設定" closes only when ValidateJobSettings
// passes; what it stores is values().
class CTorval2AutoUploadSetDlg : public QDialog {
    Q_OBJECT
public:
    // No job: a new one with the defaults and the time now.
    CTorval2AutoUploadSetDlg(const DialogServices& services, const std::optional<UploadJob>& job,
                             QWidget* parent = nullptr);

    UploadJob values() const;
    void accept() override;
    void browseRemoteFolder();

    // One start time's controls.
    struct StartTime {
        QGroupBox* group = nullptr;
        QRadioButton* afterStart = nullptr;
        QRadioButton* timeOfDay = nullptr;
        QSpinBox* minutes = nullptr;
        QLabel* minutesLabel = nullptr;
        QTimeEdit* time = nullptr;
        std::array<QCheckBox*, 7> days{};
    };
    QLineEdit* nameEdit() const { return name_; }
    QLineEdit* sourceEdit() const { return source_; }
    QLineEdit* remoteEdit() const { return remote_; }
    QPushButton* sourceButton() const { return sourceBrowse_; }
    QPushButton* remoteButton() const { return remoteBrowse_; }
    const StartTime& startTime(int n) const { return n == 1 ? time1_ : time2_; }
    QCheckBox* compressBox() const { return compress_; }
    QLineEdit* zipEdit() const { return zipName_; }
    QCheckBox* moveBox() const { return move_; }
    QLineEdit* movedEdit() const { return moved_; }
    QLineEdit* errorEdit() const { return error_; }
    QCheckBox* deleteBox() const { return delete_; }

private:
    StartTime makeStartTime(QGroupBox* group);
    void setStartTime(StartTime& t, bool timeOfDay, const QString& minutes, const SystemTime& time,
                      const QString& week);
    void readStartTime(const StartTime& t, bool& timeOfDay, QString& minutes, SystemTime& time,
                       QString& week) const;
    QPushButton* folderRow(QLineEdit*& edit, QLabel*& label, const QString& text, int limit);
    void browseLocalFolder(QLineEdit* edit, const QString& title);
    void updateEnabled();

    DialogServices s_;
    bool deletionAtOpen_ = false;
    SystemTime date_;  // the day the pickers' times belong to
    QLineEdit* name_;
    QLabel* sourceLabel_;
    QLineEdit* source_;
    QPushButton* sourceBrowse_;
    QLabel* remoteLabel_;
    QLineEdit* remote_;
    QPushButton* remoteBrowse_;
    StartTime time1_;
    StartTime time2_;
    QCheckBox* compress_;
    QLabel* zipLabel_;
    QLineEdit* zipName_;
    QLabel* zipSuffix_;
    QCheckBox* move_;
    QLabel* movedLabel_;
    QLineEdit* moved_;
    QPushButton* movedBrowse_;
    QLabel* errorLabel_;
    QLineEdit* error_;
    QPushButton* errorBrowse_;
    QCheckBox* delete_;
};
