#pragma once

#include <QByteArray>

#include <sys/types.h>
#include <cstddef>

// Reads and writes on a file descriptor that retry an interrupted call, but
// only a few times in a row: a loop that cannot end must not turn a failing
// disk or a stuck peer into a busy loop.
namespace FileIo {

// Writes all of data; false (errno set) on an error or when the calls stop
// making progress.
bool WriteAll(int fd, const char* data, size_t size);

// One read; what read(2) returns, except that an interrupted call is retried.
ssize_t ReadSome(int fd, char* data, size_t size);

// Opens a regular file for reading; -1 for anything else (a pipe or a
// device in its place must not block the reader).
int OpenRegularFile(const QByteArray& path);

// Creates or truncates path for writing, a new file with mode.
int CreateFile(const QByteArray& path, int mode);

// True when fd is open on a regular file, whose size goes to *size.
bool IsRegularFile(int fd, qint64* size = nullptr);

bool Sync(int fd);
bool Close(int fd);

}  // namespace FileIo
