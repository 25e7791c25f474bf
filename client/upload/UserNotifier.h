#pragma once

#include <QString>

// Messages that background work must show the user (a message box with an
// OK button). The user interface provides the real one; tests record them.
class UserNotifier {
public:
    virtual ~UserNotifier() = default;
    virtual void showWarning(const QString& text) = 0;
};
