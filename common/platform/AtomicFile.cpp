#include "AtomicFile.h"

#include "FileIo.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace {

bool fail(QString* error, const QString& what) {
    if (error)
        *error = what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
    return false;
}

}  // namespace

// QSaveFile would do most of this, but gives a new file the umask's
// permissions; a settings file with a password must never be readable by
// others, not even for a moment.
bool AtomicFile::write(const QString& path, const QByteArray& data, QString* error,
                       int newFileMode) {
    const QByteArray target = QFile::encodeName(path);
    const qsizetype slash = target.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : target.left(slash == 0 ? 1 : slash);
    const QByteArray name = slash < 0 ? target : target.mid(slash + 1);
    QByteArray temp = folder + "/." + name + ".XXXXXX";

    mode_t mode = static_cast<mode_t>(newFileMode);
    struct stat st {};
    if (::stat(target.constData(), &st) == 0)
        mode = st.st_mode & 07777;

    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return fail(error, QStringLiteral("cannot create a temporary file beside ") + path);
    bool ok = ::fchmod(fd, mode) == 0 &&
              FileIo::WriteAll(fd, data.constData(), static_cast<size_t>(data.size())) &&
              ::fsync(fd) == 0;
    const int savedErrno = errno;
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(temp.constData(), target.constData()) != 0) {
        const int err = ok ? errno : savedErrno;
        ::unlink(temp.constData());
        errno = err;
        return fail(error, QStringLiteral("cannot replace ") + path);
    }
    // Make the rename itself durable.
    const int dirFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}
