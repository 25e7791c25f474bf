#include "MessageBoxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>

MessageBoxes MessageBoxes::standard(QWidget* parent) {
    QPointer<QWidget> owner(parent);
    return {[owner](Icon icon, Buttons buttons, const QString& text) {
        // Over the dialog that asks, so the box keeps its place in front.
        QMessageBox box(owner ? owner.data() : QApplication::activeWindow());
        box.setWindowTitle(QStringLiteral("TORVAL2 クライアントツール"));
        box.setText(text);
        box.setIcon(icon == Icon::Information ? QMessageBox::Information
                    : icon == Icon::Warning   ? QMessageBox::Warning
                                              : QMessageBox::Question);
        switch (buttons) {
            case Buttons::Ok:
                box.setStandardButtons(QMessageBox::Ok);
                break;
            case Buttons::OkCancel:
                box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
                break;
            case Buttons::YesNo:
                box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
                break;
        }
        const int answer = box.exec();
        return answer == QMessageBox::Ok || answer == QMessageBox::Yes;
    }};
}
