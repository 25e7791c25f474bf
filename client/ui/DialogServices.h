#pragma once

#include <QString>

#include <functional>

#include "MessageBoxes.h"

class CTrayWnd;
class DriveOperations;
class QDialog;
class WebDavSizeLimit;

// What the settings dialogs reach outside themselves. The program fills it
// with the real parts; tests replace the modal calls (message boxes, child
// dialogs, the folder picker) so they run without a modal loop.
struct DialogServices {
    QString configPath;
    QString programSettingsPath;
    // The tray window: its job list, scheduler timer and upload starts.
    CTrayWnd* tray = nullptr;
    // Null: the drive is left alone (no letter counts as in use).
    DriveOperations* drive = nullptr;
    // Null: the limit counts as raised already.
    WebDavSizeLimit* sizeLimit = nullptr;
    // The folder a job's source may not be (the program's own).
    QString programFolder;
    MessageBoxes boxes;
    // Runs a child dialog modally; returns its result.
    std::function<int(QDialog&)> exec;
    // The folder picker: the chosen folder, or empty when cancelled.
    std::function<QString(const QString& initial, const QString& title)> browseFolder;

    // Standard message boxes, exec() and the directory picker of QFileDialog.
    static DialogServices standard(const QString& configPath, const QString& programSettingsPath);
};
