#pragma once

#include <QString>

// Unpacks the zip package at zipPath into destFolder, which is emptied
// first (created when missing). Every entry name is checked before anything is written: an
// absolute name, a ".." part or a link refuses the whole package. Executable
// modes recorded in the archive are kept. On failure destFolder is emptied
// again and error says why.
bool ExtractZipPackage(const QString& zipPath, const QString& destFolder, QString* error);
