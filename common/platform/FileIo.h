#pragma once

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

}  // namespace FileIo
