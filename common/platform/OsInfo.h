#pragma once

#include <QString>

// Stand-in for the Windows version query: the display name of the running
// operating system.
class OsInfo {
public:
    // PRETTY_NAME of the os-release file (/etc/os-release, else
    // /usr/lib/os-release); when neither names it, the kernel's name and
    // release as uname reports them.
    static QString prettyName();
    // PRETTY_NAME of one os-release file; empty when it has none.
    static QString prettyNameFrom(const QString& osReleasePath);
};
