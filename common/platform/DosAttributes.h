#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

// Linux has no DOS file attributes of its own. Samba keeps them in the
// extended attribute "user.DOSATTRIB" and ntfs-3g exposes the NTFS ones as
// "system.ntfs_attrib"; a file that has neither carries no DOS attribute.
namespace DosAttributes {

inline constexpr quint32 kTemporary = 0x100;  // FILE_ATTRIBUTE_TEMPORARY

// The attributes in a "user.DOSATTRIB" value: the old form is the hex text
// ("0x20"), the newer one starts with that text, NUL-terminated, and goes on
// with an NDR record that holds the attributes again. Nothing when the value
// is neither.
std::optional<quint32> ParseSambaValue(const QByteArray& value);
// The attribute word in a "system.ntfs_attrib" value (32-bit little-endian).
std::optional<quint32> ParseNtfsValue(const QByteArray& value);

// The DOS attributes of the entry itself (a symbolic link is not followed),
// or nothing when the file system keeps none for it.
std::optional<quint32> Read(const QByteArray& nativePath);

// True when the entry at path carries FILE_ATTRIBUTE_TEMPORARY.
bool HasTemporaryAttribute(const QByteArray& nativePath);
bool HasTemporaryAttribute(const QString& path);

}  // namespace DosAttributes

using DosAttributes::HasTemporaryAttribute;
