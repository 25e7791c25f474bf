#include "ZipPackage.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <zip.h>

#include <memory>

#include "UpdateState.h"

namespace {

struct ZipCloser {
    void operator()(zip_t* z) const { zip_discard(z); }
};
struct EntryCloser {
    void operator()(zip_file_t* f) const { zip_fclose(f); }
};

// The archive format's Unix file type bits (as in stat's st_mode).
constexpr quint32 kTypeMask = 0170000;
constexpr quint32 kSymbolicLink = 0120000;

// The Unix mode an entry was archived with; 0 when it came from elsewhere.
quint32 entryMode(zip_t* archive, zip_uint64_t index) {
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive, index, 0, &system, &attributes) != 0 ||
        system != ZIP_OPSYS_UNIX)
        return 0;
    return attributes >> 16;
}

bool fail(QString* error, const QString& text, const QString& destFolder) {
    if (error)
        *error = text;
    QDir folder(destFolder);
    folder.removeRecursively();
    QDir().mkpath(destFolder);
    return false;
}

}  // namespace

bool ExtractZipPackage(const QString& zipPath, const QString& destFolder, QString* error) {
    // What an earlier move could not place must not travel with this package.
    QDir(destFolder).removeRecursively();
    int code = 0;
    std::unique_ptr<zip_t, ZipCloser> archive(
        zip_open(QFile::encodeName(zipPath).constData(), ZIP_RDONLY | ZIP_CHECKCONS, &code));
    if (!archive) {
        zip_error_t ze;
        zip_error_init_with_code(&ze, code);
        const QString text = QString::fromUtf8(zip_error_strerror(&ze));
        zip_error_fini(&ze);
        return fail(error, QStringLiteral("cannot open %1: %2").arg(zipPath, text), destFolder);
    }
    const zip_int64_t count = zip_get_num_entries(archive.get(), 0);

    // Every name is checked before anything is written.
    QStringList names;
    for (zip_int64_t i = 0; i < count; ++i) {
        const char* raw = zip_get_name(archive.get(), static_cast<zip_uint64_t>(i), 0);
        QString name = raw ? QString::fromUtf8(raw) : QString();
        const bool folder = name.endsWith(QLatin1Char('/'));
        if (folder)
            name.chop(1);
        if (!IsSafeRelativePath(name) || name.contains(QLatin1Char('\\')))
            return fail(error, QStringLiteral("refused entry name: %1").arg(name), destFolder);
        if ((entryMode(archive.get(), static_cast<zip_uint64_t>(i)) & kTypeMask) == kSymbolicLink)
            return fail(error, QStringLiteral("refused link entry: %1").arg(name), destFolder);
        names.append(folder ? QString() : name);
        if (folder && !QDir().mkpath(destFolder + QLatin1Char('/') + name))
            return fail(error, QStringLiteral("cannot create folder %1").arg(name), destFolder);
    }

    QDir().mkpath(destFolder);
    for (zip_int64_t i = 0; i < count; ++i) {
        const QString& name = names.at(i);
        if (name.isEmpty())
            continue;
        const QString target = destFolder + QLatin1Char('/') + name;
        QDir().mkpath(target.section(QLatin1Char('/'), 0, -2));
        std::unique_ptr<zip_file_t, EntryCloser> entry(
            zip_fopen_index(archive.get(), static_cast<zip_uint64_t>(i), 0));
        QSaveFile out(target);
        if (!entry || !out.open(QIODevice::WriteOnly))
            return fail(error, QStringLiteral("cannot unpack %1").arg(name), destFolder);
        char buffer[65536];
        zip_int64_t n = 0;
        while ((n = zip_fread(entry.get(), buffer, sizeof buffer)) > 0) {
            if (out.write(buffer, n) != n)
                return fail(error,
                            QStringLiteral("cannot write %1: %2").arg(name, out.errorString()),
                            destFolder);
        }
        // A short or damaged entry fails its checksum here.
        if (n < 0)
            return fail(error,
                        QStringLiteral("damaged entry %1: %2")
                            .arg(name, QString::fromUtf8(zip_file_strerror(entry.get()))),
                        destFolder);
        const bool executable =
            (entryMode(archive.get(), static_cast<zip_uint64_t>(i)) & 0111) != 0;
        out.setPermissions(
            QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
            QFileDevice::ReadOther |
            (executable ? QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther
                        : QFileDevice::Permissions()));
        if (!out.commit())
            return fail(error, QStringLiteral("cannot write %1: %2").arg(name, out.errorString()),
                        destFolder);
    }
    return true;
}
