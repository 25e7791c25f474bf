#include "ProgramVersion.h"

#include "OsInfo.h"
#include "Version.h"

QString GetProgramVersionText() {
    return QStringLiteral("%1.%2.%3.%4")
        .arg(QUILLON_VERSION_MAJOR)
        .arg(QUILLON_VERSION_MINOR)
        .arg(QUILLON_VERSION_PATCH)
        .arg(QUILLON_VERSION_TWEAK);
}

int GetOsDisplayName(QString* name, int size) {
    const QString os = OsInfo::prettyName();
    if (os.isEmpty())
        return 0;
    if (name)
        *name = size > 0 ? os.left(size - 1) : QString();
    return 0;
}

bool IsWindows10Build18362OrLater() {
    return true;
}

bool IsWindows10Build19045OrLater() {
    return true;
}
