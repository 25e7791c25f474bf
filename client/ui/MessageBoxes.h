#pragma once

#include <QString>

#include <functional>

class QWidget;

// The message boxes a dialog shows, as replaceable calls: the program shows
// standard QMessageBox windows, tests record the texts and give the answers
// without a modal loop.
struct MessageBoxes {
    enum class Icon { Information, Warning, Question };
    enum class Buttons { Ok, OkCancel, YesNo };

    // Shows text with the icon and buttons; true for OK or yes.
    std::function<bool(Icon, Buttons, const QString&)> show;

    void warn(const QString& text) const { show(Icon::Warning, Buttons::Ok, text); }
    bool askYesNo(const QString& text) const { return show(Icon::Question, Buttons::YesNo, text); }

    // QMessageBox windows titled "TORVAL2 クライアントツール" over parent.
    static MessageBoxes standard(QWidget* parent);
};
