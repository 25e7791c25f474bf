#pragma once

#include <QString>

#include <array>
#include <optional>

// The four version numbers (major, minor, build, revision) of the version
// note our build embeds in each of its executables and libraries, read from
// the ELF file without running it. Nothing when the file cannot be read, is
// not ELF of this machine's byte order, or has no such note.
std::optional<std::array<quint16, 4>> GetFileVersionParts(const QString& path);
