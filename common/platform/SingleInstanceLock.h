#pragma once

#include <QString>

// Stand-in for the named mutex that keeps one copy of a program: an exclusive
// lock on a file in the folder the copy works on (its data folder), which the
// system releases when the process ends, also when it is killed. Keyed to the
// folder, not to the login session, so copies started from different
// environments (desktop, login shell, su) still exclude each other when they
// share the settings, and copies with different data folders run side by side.
class SingleInstanceLock {
public:
    enum State {
        Acquired,
        // Another process holds the lock on this folder.
        HeldElsewhere,
        // The lock file cannot be created or locked; errorText() says so.
        Failed,
    };

    // Creates folder when missing and locks the file name + ".lock" in it.
    SingleInstanceLock(const QString& folder, const QString& name);
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    State state() const { return state_; }
    bool acquired() const { return state_ == Acquired; }
    const QString& path() const { return path_; }
    // When the state is Failed: the log line naming the file and the reason.
    const QString& errorText() const { return errorText_; }

private:
    QString path_;
    QString errorText_;
    State state_ = Failed;
    int fd_ = -1;
};
