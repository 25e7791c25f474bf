#pragma once

#include <QList>

#include <sys/types.h>

// Stand-in for "taskkill /f /im NAME": finds and ends processes of the
// calling user by their exact program name, read from /proc.
class ProcessTable {
public:
    // Processes whose name (the kernel's "comm", at most 15 bytes) is exactly
    // name and whose real user is the caller's; never the caller itself.
    static QList<pid_t> findOwnByName(const QByteArray& name);

    // Kills each process (SIGKILL, as a forced taskkill) and waits until it
    // is gone or a zombie, for at most waitMs in all. True when all ended.
    static bool killAndWait(const QList<pid_t>& pids, int waitMs = 10000);
};
