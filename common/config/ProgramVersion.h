#pragma once

#include <QString>

// "major.minor.build.revision" of the running program.
QString GetProgramVersionText();

// Puts the operating system's display name, cut to size - 1 characters, into
// *name when name is given. Returns 1 for a system older than Windows Vista
// and 0 otherwise; every Linux system counts as the newer kind. When the name
// cannot be found, returns 0 and leaves *name untouched.
int GetOsDisplayName(QString* name, int size);

// The build tests pick the WebDAV address form for the drive mapping. A
// Linux system mounts WebDAV with current clients, so both report true and
// the newer address form is used.
bool IsWindows10Build18362OrLater();
bool IsWindows10Build19045OrLater();
