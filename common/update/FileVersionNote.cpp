#include "FileVersionNote.h"

#include <QFile>
#include <QSysInfo>

#include <elf.h>

#include <cstring>

namespace {

constexpr quint32 kNoteType = 0x5156;
constexpr char kNoteName[] = "Quillon";  // with its terminating zero: 8 bytes
constexpr qint64 kMaxNoteSection = 1 << 20;

template <typename T>
bool readAt(QFile& file, qint64 offset, T& out) {
    return file.seek(offset) && file.read(reinterpret_cast<char*>(&out), sizeof out) == sizeof out;
}

quint32 align4(quint32 n) {
    return (n + 3u) & ~3u;
}

// Walks the notes of one note section.
std::optional<std::array<quint16, 4>> findNote(const QByteArray& notes) {
    qsizetype at = 0;
    while (at + 12 <= notes.size()) {
        quint32 nameSize = 0, descSize = 0, type = 0;
        std::memcpy(&nameSize, notes.constData() + at, 4);
        std::memcpy(&descSize, notes.constData() + at + 4, 4);
        std::memcpy(&type, notes.constData() + at + 8, 4);
        const qint64 nameAt = at + 12;
        const qint64 descAt = nameAt + align4(nameSize);
        const qint64 next = descAt + align4(descSize);
        if (nameSize > kMaxNoteSection || descSize > kMaxNoteSection || next > notes.size())
            return std::nullopt;
        if (type == kNoteType && nameSize == sizeof kNoteName && descSize == 8 &&
            std::memcmp(notes.constData() + nameAt, kNoteName, sizeof kNoteName) == 0) {
            std::array<quint16, 4> parts{};
            std::memcpy(parts.data(), notes.constData() + descAt, 8);
            return parts;
        }
        at = next;
    }
    return std::nullopt;
}

template <typename Ehdr, typename Shdr>
std::optional<std::array<quint16, 4>> scanSections(QFile& file) {
    Ehdr header;
    if (!readAt(file, 0, header) || header.e_shentsize != sizeof(Shdr))
        return std::nullopt;
    for (unsigned i = 0; i < header.e_shnum; ++i) {
        Shdr section;
        if (!readAt(file, static_cast<qint64>(header.e_shoff + i * sizeof(Shdr)), section))
            return std::nullopt;
        if (section.sh_type != SHT_NOTE || section.sh_size > kMaxNoteSection)
            continue;
        if (!file.seek(static_cast<qint64>(section.sh_offset)))
            continue;
        if (auto parts = findNote(file.read(static_cast<qint64>(section.sh_size))))
            return parts;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::array<quint16, 4>> GetFileVersionParts(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    unsigned char ident[EI_NIDENT];
    if (file.read(reinterpret_cast<char*>(ident), EI_NIDENT) != EI_NIDENT ||
        std::memcmp(ident, ELFMAG, SELFMAG) != 0)
        return std::nullopt;
    const unsigned char ownOrder =
        QSysInfo::ByteOrder == QSysInfo::LittleEndian ? ELFDATA2LSB : ELFDATA2MSB;
    if (ident[EI_DATA] != ownOrder)
        return std::nullopt;
    if (ident[EI_CLASS] == ELFCLASS64)
        return scanSections<Elf64_Ehdr, Elf64_Shdr>(file);
    if (ident[EI_CLASS] == ELFCLASS32)
        return scanSections<Elf32_Ehdr, Elf32_Shdr>(file);
    return std::nullopt;
}
