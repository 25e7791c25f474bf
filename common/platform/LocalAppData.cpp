#include "LocalAppData.h"

#include <QDir>
#include <QFileInfo>

namespace {
const QString kProductSubfolder = QStringLiteral("/Velmora KT/Torval2Quillon");
}

QString LocalAppData::baseFolder() {
    // The XDG rules ignore a relative XDG_DATA_HOME.
    const QString xdg = qEnvironmentVariable("XDG_DATA_HOME");
    if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg))
        return QDir::cleanPath(xdg);
    const QString home = qEnvironmentVariable("HOME");
    if (!home.isEmpty() && QDir::isAbsolutePath(home))
        return QDir::cleanPath(home + QStringLiteral("/.local/share"));
    return {};
}

QString LocalAppData::productFolder() {
    const QString base = baseFolder();
    if (base.isEmpty())
        return programFolder();
    return base + kProductSubfolder;
}

QString LocalAppData::programFolder() {
    // Works before (and without) a QCoreApplication.
    return QFileInfo(QStringLiteral("/proc/self/exe"))
        .canonicalFilePath()
        .section(QLatin1Char('/'), 0, -2);
}
