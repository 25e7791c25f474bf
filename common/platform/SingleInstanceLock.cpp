#include "SingleInstanceLock.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "LocalAppData.h"

SingleInstanceLock::SingleInstanceLock(const QString& name) {
    // The runtime folder is per user and per login; the data folder serves
    // where there is none.
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !QDir(folder).exists()) {
        folder = LocalAppData::productFolder();
        QDir().mkpath(folder);
    }
    QString safe = name;
    safe.replace(QLatin1Char('/'), QLatin1Char('_'));
    path_ = folder + QLatin1Char('/') + safe + QStringLiteral(".lock");
    const int fd = ::open(QFile::encodeName(path_).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return;
    }
    fd_ = fd;
}

SingleInstanceLock::~SingleInstanceLock() {
    if (fd_ >= 0)
        ::close(fd_);
}
