#include "DialogServices.h"

#include <QCoreApplication>
#include <QDialog>
#include <QFileDialog>

DialogServices DialogServices::standard(const QString& configPath,
                                        const QString& programSettingsPath) {
    DialogServices s;
    s.configPath = configPath;
    s.programSettingsPath = programSettingsPath;
    s.programFolder = QCoreApplication::applicationDirPath();
    s.boxes = MessageBoxes::standard(nullptr);
    s.exec = [](QDialog& dialog) { return dialog.exec(); };
    s.browseFolder = [](const QString& initial, const QString& title) {
        return QFileDialog::getExistingDirectory(nullptr, title, initial,
                                                 QFileDialog::ShowDirsOnly);
    };
    return s;
}
