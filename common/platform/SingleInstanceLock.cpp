#include "SingleInstanceLock.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

QString failureText(const QString& path, int error) {
    return QStringLiteral("多重起動防止用のファイル（") + path +
           QStringLiteral("）を作成できませんでした。") +
           QString::fromLocal8Bit(std::strerror(error));
}

}  // namespace

SingleInstanceLock::SingleInstanceLock(const QString& folder, const QString& name) {
    QString safe = name;
    safe.replace(QLatin1Char('/'), QLatin1Char('_'));
    path_ = QDir(folder).filePath(safe + QStringLiteral(".lock"));
    QDir().mkpath(folder);
    const int fd = ::open(QFile::encodeName(path_).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        errorText_ = failureText(path_, errno);
        return;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) {
            state_ = HeldElsewhere;
        } else {
            errorText_ = failureText(path_, error);
        }
        return;
    }
    fd_ = fd;
    state_ = Acquired;
}

SingleInstanceLock::~SingleInstanceLock() {
    if (fd_ >= 0)
        ::close(fd_);
}
