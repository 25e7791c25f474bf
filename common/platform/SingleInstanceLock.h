#pragma once

#include <QString>

// Stand-in for the named mutex that keeps one copy of a program per user: an
// exclusive lock on a file in the user's runtime folder, which the system
// releases when the process ends, also when it is killed.
class SingleInstanceLock {
public:
    explicit SingleInstanceLock(const QString& name);
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    // False when another process of this user holds the lock.
    bool acquired() const { return fd_ >= 0; }
    const QString& path() const { return path_; }

private:
    QString path_;
    int fd_ = -1;
};
