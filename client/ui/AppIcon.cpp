#include "AppIcon.h"

#include <QDir>
#include <QFileInfo>

#include "LocalAppData.h"

QIcon LoadAppIcon() {
    QIcon icon = QIcon::fromTheme(QStringLiteral("quillon"));
    if (!icon.isNull())
        return icon;
    const QString hicolor = QDir::cleanPath(LocalAppData::programFolder() +
                                            QStringLiteral("/../../share/icons/hicolor"));
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString png = QStringLiteral("%1/%2x%2/apps/quillon.png").arg(hicolor).arg(size);
        if (QFileInfo::exists(png))
            icon.addFile(png, QSize(size, size));
    }
    return icon;
}
