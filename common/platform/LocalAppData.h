#pragma once

#include <QString>

// Stand-in for the per-user local application data folder.
class LocalAppData {
public:
    // $XDG_DATA_HOME when it is an absolute path, else ~/.local/share;
    // empty when neither can be found.
    static QString baseFolder();
    // The product's own folder below the base folder, or the program's
    // folder when there is no base folder.
    static QString productFolder();
    // Folder of the running program.
    static QString programFolder();
};
