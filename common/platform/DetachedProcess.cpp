#include "DetachedProcess.h"

#include <QFile>

#include <spawn.h>

extern char** environ;

namespace DetachedProcess {

int Start(const QString& program) {
    const QByteArray path = QFile::encodeName(program);
    char* argv[] = {const_cast<char*>(path.constData()), nullptr};
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, path.constData(), nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    return error;
}

}  // namespace DetachedProcess
