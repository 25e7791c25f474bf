#pragma once

#include <QDialog>

#include "ConnectionSettings.h"
#include "MessageBoxes.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The proxy settings: "適用" checks and saves them, "閉じる" leaves them.
class CTorval2ProxySetDlg : public QDialog {
    Q_OBJECT
public:
    CTorval2ProxySetDlg(const QString& configPath, MessageBoxes boxes, QWidget* parent = nullptr);

    ProxySettings values() const;
    void accept() override;

    QCheckBox* enableBox() const { return enable_; }
    QLineEdit* addressEdit() const { return address_; }
    QLineEdit* portEdit() const { return port_; }
    QCheckBox* authBox() const { return auth_; }
    QLineEdit* idEdit() const { return id_; }
    QLineEdit* passwordEdit() const { return password_; }
    QPushButton* applyButton() const { return apply_; }

private:
    void updateEnabled();

    QString configPath_;
    MessageBoxes boxes_;
    QCheckBox* enable_;
    QLabel* addressLabel_;
    QLineEdit* address_;
    QLabel* portLabel_;
    QLineEdit* port_;
    QCheckBox* auth_;
    QLabel* idLabel_;
    QLineEdit* id_;
    QLabel* passwordLabel_;
    QLineEdit* password_;
    QPushButton* apply_;
};
