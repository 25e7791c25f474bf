#pragma once

#include <gtest/gtest.h>

#include "TestSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Writes data to a native path, making its folder first. Byte paths: QFile
// would lose names that are not UTF-8.
inline void PutFile(const QByteArray& path, const QByteArray& data) {
    QDir().mkpath(QFileInfo(QFile::decodeName(path)).absolutePath());
    const int fd = open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path.constData();
    EXPECT_EQ(write(fd, data.constData(), static_cast<size_t>(data.size())), data.size());
    close(fd);
}
inline void PutFile(const QString& path, const QByteArray& data) {
    PutFile(QFile::encodeName(path), data);
}

// Sets the access and modification times of path itself, even of a link.
inline void SetMtime(const QString& path, qint64 seconds) {
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW),
              0);
}
