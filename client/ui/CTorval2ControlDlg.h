#pragma once

#include <QDialog>

#include "ConnectionSettings.h"
#include "DialogServices.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The connection settings: account, network drive, and the doors to the
// proxy settings, the job list, an immediate upload and a connection test.
class CTorval2ControlDlg : public QDialog {
    Q_OBJECT
public:
    explicit CTorval2ControlDlg(DialogServices services, QWidget* parent = nullptr);
    ~CTorval2ControlDlg() override;

    ConnectionSettings values() const;
    // "設定": validate, confirm the size limit, unmap, save, map, close.
    void accept() override;
    // Closes without saving, except while the drive is being unmapped.
    void reject() override;
    // False: the dialog stays open.
    bool ConfirmWebDavLimit();
    // Starts the test on a worker thread; connectionTestFinished follows.
    void RunConnectionTest();
    void openProxySettings();
    void openJobList();
    void uploadNow();
    bool connectionTestRunning() const;

    QLineEdit* boxIdEdit() const { return boxId_; }
    QLineEdit* passwordEdit() const { return password_; }
    QCheckBox* driveBox() const { return useDrive_; }
    QComboBox* driveList() const { return drives_; }
    // Where the chosen letter's drive appears.
    QLabel* driveHint() const { return driveHint_; }
    QPushButton* testButton() const { return test_; }

signals:
    // The test's HTTP status (0 or below when no reply came, or it was unreadable).
    void connectionTestFinished(int status);

private:
    // The first invalid field's own message; false when there is one.
    bool warnIfInvalid(const ConnectionSettings& v);
    // The job list and the immediate upload need the account saved.
    bool ensureSaved();
    // DisconnectDrive on a worker, the interface running until it ends;
    // false when the dialog went meanwhile.
    bool unmapDrive();
    void updateDriveEnabled();
    void testFinished(int status, const QString& reason);

    DialogServices s_;
    QLineEdit* boxId_;
    QLineEdit* password_;
    QPushButton* test_;
    QCheckBox* useDrive_;
    QLabel* driveLabel_;
    QComboBox* drives_;
    QLabel* driveHint_;
    bool testRunning_ = false;
    bool unmapping_ = false;
};
