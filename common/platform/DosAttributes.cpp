#include "DosAttributes.h"

#include <QFile>

#include <sys/xattr.h>

#include <cstring>

namespace DosAttributes {
namespace {

quint32 LittleEndian(const char* p, int bytes) {
    quint32 v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}

// "0x" and hex digits, up to an optional NUL.
std::optional<quint32> ParseHexText(const QByteArray& text) {
    const qsizetype nul = text.indexOf('\0');
    const QByteArray t = (nul < 0 ? text : text.left(nul)).trimmed();
    if (!t.startsWith("0x") && !t.startsWith("0X"))
        return std::nullopt;
    const QByteArray digits = t.mid(2);
    if (digits.isEmpty() || digits.size() > 8)
        return std::nullopt;
    bool ok = false;
    const uint v = digits.toUInt(&ok, 16);
    return ok ? std::optional<quint32>(v) : std::nullopt;
}

// The NDR record Samba keeps at offset: uint16 version, the union's uint16
// level (the same number), then, aligned to 4, the version's info. Versions
// 0xFFFF and 1 start with the attributes, 2 has a flags word before them,
// 3 to 5 a valid-flags word whose bit 0 says whether they are set.
std::optional<quint32> ParseNdr(const QByteArray& value, qsizetype offset) {
    auto align = [](qsizetype o, qsizetype a) { return (o + a - 1) / a * a; };
    offset = align(offset, 2);
    if (offset + 4 > value.size())
        return std::nullopt;
    const quint32 version = LittleEndian(value.constData() + offset, 2);
    if (LittleEndian(value.constData() + offset + 2, 2) != version)
        return std::nullopt;
    const qsizetype info = align(offset + 4, 4);
    auto word = [&](qsizetype at) -> std::optional<quint32> {
        if (at + 4 > value.size())
            return std::nullopt;
        return LittleEndian(value.constData() + at, 4);
    };
    switch (version) {
        case 0xFFFF:
        case 1:
            return word(info);
        case 2:
            return word(info + 4);
        case 3:
        case 4:
        case 5: {
            const auto valid = word(info);
            if (!valid || !(*valid & 1u))
                return std::nullopt;
            return word(info + 4);
        }
        default:
            return std::nullopt;
    }
}

std::optional<QByteArray> ReadXattr(const QByteArray& path, const char* name) {
    char buffer[256];
    const ssize_t n = lgetxattr(path.constData(), name, buffer, sizeof buffer);
    if (n < 0)
        return std::nullopt;
    return QByteArray(buffer, n);
}

}  // namespace

std::optional<quint32> ParseSambaValue(const QByteArray& value) {
    if (value.isEmpty())
        return std::nullopt;
    // Samba writes the hex text (possibly empty), its NUL, then the record.
    if (value.startsWith("0x") || value.startsWith("0X")) {
        if (auto v = ParseHexText(value))
            return v;
        const qsizetype nul = value.indexOf('\0');
        return nul < 0 ? std::nullopt : ParseNdr(value, nul + 1);
    }
    if (value[0] == '\0')
        return ParseNdr(value, 1);
    // A bare record without the text.
    return ParseNdr(value, 0);
}

std::optional<quint32> ParseNtfsValue(const QByteArray& value) {
    if (value.size() != 4)
        return std::nullopt;
    return LittleEndian(value.constData(), 4);
}

std::optional<quint32> Read(const QByteArray& nativePath) {
    if (auto samba = ReadXattr(nativePath, "user.DOSATTRIB"))
        if (auto v = ParseSambaValue(*samba))
            return v;
    // ntfs-3g gives the NTFS attribute word, little-endian.
    if (auto ntfs = ReadXattr(nativePath, "system.ntfs_attrib"))
        return ParseNtfsValue(*ntfs);
    return std::nullopt;
}

bool HasTemporaryAttribute(const QByteArray& nativePath) {
    const auto attributes = Read(nativePath);
    return attributes && (*attributes & kTemporary) != 0;
}

bool HasTemporaryAttribute(const QString& path) {
    return HasTemporaryAttribute(QFile::encodeName(path));
}

}  // namespace DosAttributes
