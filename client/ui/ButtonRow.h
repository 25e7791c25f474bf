#pragma once

#include <QHBoxLayout>

#include <initializer_list>

// A dialog's closing row: the buttons side by side at the right edge.
inline QHBoxLayout* ButtonRow(std::initializer_list<QWidget*> buttons) {
    auto* row = new QHBoxLayout;
    row->addStretch();
    for (QWidget* button : buttons)
        row->addWidget(button);
    return row;
}
