#include "MessageBoxes.h"

#include <QAbstractButton>
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
        // The buttons speak the dialogs' language whatever translations exist.
        const struct {
            QMessageBox::StandardButton button;
            const char16_t* text;
        } labels[] = {{QMessageBox::Ok, u"OK"},
                      {QMessageBox::Cancel, u"キャンセル"},
                      {QMessageBox::Yes, u"はい"},
                      {QMessageBox::No, u"いいえ"}};
        for (const auto& l : labels) {
            if (QAbstractButton* b = box.button(l.button))
                b->setText(QString::fromUtf16(l.text));
        }
        const int answer = box.exec();
        return answer == QMessageBox::Ok || answer == QMessageBox::Yes;
    }};
}
