#include "UpdateState.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QSysInfo>

#include <cstdlib>

#include "CLogWriter.h"
#include "ConfigKeys.h"
#include "ConfigPaths.h"
#include "FileVersionNote.h"
#include "LocalAppData.h"
#include "ProcessTable.h"
#include "ProfileFile.h"
#include "UpdateDownload.h"
#include "UpdatePrompter.h"
#include "ZipPackage.h"

namespace {

const QString kServer = QStringLiteral("Server");
const QString kVersion = QStringLiteral("Version");
const QString kVersionIni = QStringLiteral("Version.ini");
const QString kZeroVersion = QStringLiteral("0.0.0.0");
const QString kAddOnFolder = QStringLiteral("FAddOn");
// The add-on's own programs, as the add-on installs them.
const QString kAddOnClient = QStringLiteral("Torval2Client");
constexpr char kAuthHookName[] = "Tv2AuthHook";

const QString kNotNeeded = QStringLiteral(" は更新の必要はありません。");
const QString kUpdated = QStringLiteral(" を更新しました。");
const QString kFailed = QStringLiteral(" の更新に失敗しました。");

void log(const UpdateState& state, int level, const QString& message) {
    if (state.logger)
        state.logger->Log(level, message);
}

QString listValue(const UpdateState& state, const QString& section, const QString& key) {
    return ProfileFile::readString(section, key, QString(), state.listFilePath);
}

VersionParts recordedVersion(const QString& versionIni) {
    return ParseVersionText(ProfileFile::readString(kVersion, kVersion, QString(), versionIni));
}

// Whether the entry needs installing: a newer offered version, or "0.0.0.0"
// offered for a missing file.
bool needsUpdate(const QString& offered, const QString& localPath, const VersionParts& installed) {
    if (offered == kZeroVersion)
        return !QFileInfo::exists(localPath);
    return IsNewerVersion(ParseVersionText(offered), installed);
}

bool cancelled(const UpdateState& state) {
    return state.cancel && state.cancel->load();
}

// A cancelled run is not a failure of the entry it was working on.
void logFailed(const UpdateState& state, const QString& localPath) {
    if (!cancelled(state))
        log(state, CLogWriter::LogError, localPath + kFailed);
}

bool download(const UpdateState& state, const QString& name, const QString& localPath) {
    if (state.serverBaseUrl.isEmpty())
        return false;
    const QString url = FileDownloadUrl(state.serverBaseUrl, name);
    QString error;
    DownloadOptions options;
    options.caFile = ReadSetting(ProgramSettings::CAFile, state.listFilePath);
    options.cancel = state.cancel;
    const bool ok = DownloadFile(url, localPath, options, &error);
    if (!error.isEmpty())
        log(state, CLogWriter::LogDebug, error);
    return ok;
}

// The path with links and ".." resolved as far as it exists; the rest, which
// can hold neither, appended as written.
QString resolvedPath(const QString& path) {
    QString existing = QDir::cleanPath(path);
    QString rest;
    while (!QFileInfo::exists(existing) && existing.contains(QLatin1Char('/'))) {
        rest.prepend(QLatin1Char('/') + existing.section(QLatin1Char('/'), -1));
        existing = existing.section(QLatin1Char('/'), 0, -2);
        if (existing.isEmpty())
            existing = QStringLiteral("/");
    }
    const QString canonical = QFileInfo(existing).canonicalFilePath();
    return QDir::cleanPath((canonical.isEmpty() ? existing : canonical) + rest);
}

// folder is inside (or is) the folder within.
bool isSameOrInside(const QString& folder, const QString& within) {
    const QString f = resolvedPath(folder), w = resolvedPath(within);
    return f == w || f.startsWith(w == QLatin1String("/") ? w : w + QLatin1Char('/'));
}

bool isAddOnPackage(const QString& name) {
    return name.compare(QLatin1String("faddon.zip"), Qt::CaseInsensitive) == 0 ||
           name.compare(QLatin1String("foxit.zip"), Qt::CaseInsensitive) == 0;
}

// Installer entry; false ends the run.
bool runInstaller(UpdateState& state, const QString& name, const QString& localPath) {
    const int bits = GetAddOnPlatformBits(state);
    if (bits == 0 || bits != std::atoi(listValue(state, name, QStringLiteral("bits")).toUtf8()))
        return true;
    const QString offered = listValue(state, name, kVersion);
    const QString versionIni =
        state.programFolder + QLatin1Char('/') + kAddOnFolder + QLatin1Char('/') + kVersionIni;
    if (!needsUpdate(offered, localPath, recordedVersion(versionIni))) {
        log(state, CLogWriter::LogDebug, name + kNotNeeded);
        return true;
    }
    if (!download(state, name, localPath)) {
        logFailed(state, localPath);
        return false;
    }
    if (!state.prompter || !state.prompter->confirmAddOnInstall()) {
        QFile::remove(localPath);
        return true;
    }
    QFile::setPermissions(localPath, QFile::permissions(localPath) | QFile::ExeOwner);
    QProcess installer;
    installer.setProcessChannelMode(QProcess::ForwardedChannels);
    installer.start(localPath, {QStringLiteral("/verysilent")});
    if (!installer.waitForStarted(-1) || !installer.waitForFinished(-1) ||
        installer.exitStatus() != QProcess::NormalExit) {
        log(state, CLogWriter::LogError, localPath + kFailed);
        return false;
    }
    QFile::remove(localPath);
    QDir().mkpath(QFileInfo(versionIni).absolutePath());
    ProfileFile::writeString(kVersion, kVersion, offered, versionIni);
    state.addOnInstalled = true;
    log(state, CLogWriter::LogInfo, localPath + kUpdated);
    return true;
}

// Zip package entry; false ends the run.
bool installPackage(UpdateState& state, const QString& name, const QString& localPath) {
    if (isAddOnPackage(name) && GetAddOnPlatformBits(state) == 0)
        return true;
    const QString destDir = listValue(state, name, QStringLiteral("DestDir"));
    const QString destFolder =
        destDir.isEmpty() ? state.programFolder : state.programFolder + QLatin1Char('/') + destDir;
    const QString temp = state.programFolder + QStringLiteral("/Temp");
    // Unpacked into Temp, a package whose folder is Temp or lies in it would
    // be copied onto itself and deleted. Temp is made first, so a link to it
    // resolves.
    QDir().mkpath(temp);
    if ((!destDir.isEmpty() && !IsSafeRelativePath(destDir)) || isSameOrInside(destFolder, temp)) {
        log(state, CLogWriter::LogError, localPath + kFailed);
        return false;
    }
    const QString versionIni = destFolder + QLatin1Char('/') + kVersionIni;
    const QString offered = listValue(state, name, kVersion);
    if (!needsUpdate(offered, localPath, recordedVersion(versionIni))) {
        log(state, CLogWriter::LogDebug, name + kNotNeeded);
        return true;
    }
    QString error;
    if (!download(state, name, localPath) || !ExtractZipPackage(localPath, temp, &error)) {
        if (!error.isEmpty())
            log(state, CLogWriter::LogDebug, error);
        logFailed(state, localPath);
        return false;
    }
    QDir().mkpath(destFolder);
    MoveExtractedTree(temp, destFolder, versionIni);
    log(state, CLogWriter::LogInfo, localPath + kUpdated);
    return true;
}

void installPlainFile(UpdateState& state, const QString& name, const QString& localPath) {
    const QString offered = listValue(state, name, kVersion);
    const VersionParts installed = GetFileVersionParts(localPath).value_or(VersionParts{});
    if (!needsUpdate(offered, localPath, installed)) {
        log(state, CLogWriter::LogDebug, name + kNotNeeded);
        return;
    }
    if (download(state, name, localPath))
        log(state, CLogWriter::LogInfo, localPath + kUpdated);
    else
        logFailed(state, localPath);
}

// Replaces dest by a copy of source through a temporary file beside it, so
// dest is whole at every moment; dest takes source's permissions.
bool copyOver(const QString& source, const QString& dest) {
    QFile in(source);
    QSaveFile out(dest);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
        return false;
    char buffer[65536];
    qint64 n = 0;
    while ((n = in.read(buffer, sizeof buffer)) > 0)
        if (out.write(buffer, n) != n)
            return false;
    if (n < 0)
        return false;
    out.setPermissions(in.permissions());
    return out.commit();
}

bool moveTree(const QString& folder, const QString& sourceRoot, const QString& destRoot,
              const QString& markerFile, QStringList& markers) {
    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& entry : entries) {
        const QString dest = destRoot + entry.absoluteFilePath().mid(sourceRoot.size());
        if (entry.isDir() && !entry.isSymLink()) {
            if (!QDir().mkpath(dest) ||
                !moveTree(entry.absoluteFilePath(), sourceRoot, destRoot, markerFile, markers))
                return false;
            QDir().rmdir(entry.absoluteFilePath());
            continue;
        }
        const QString name = entry.fileName();
        if (name.compare(QLatin1String("Tv2ShellExt.dll"), Qt::CaseInsensitive) == 0 ||
            name.compare(QLatin1String("Tv2ShellExt-x64.dll"), Qt::CaseInsensitive) == 0) {
            ProfileFile::writeString(QStringLiteral("Update"), name, QStringLiteral("NeedReboot"),
                                     markerFile);
            markers.append(name);
        }
        if (name == QLatin1String(kAuthHookName))
            StopAuthHook();
        if (copyOver(entry.absoluteFilePath(), dest))
            QFile::remove(entry.absoluteFilePath());
    }
    return true;
}

}  // namespace

UpdateState UpdateState::forRunningProgram(CLogWriter* logger) {
    UpdateState state;
    state.listFilePath = ProgramSettingsPath();
    state.programFolder = LocalAppData::programFolder();
    state.programFolderWritable = QFileInfo(state.programFolder).isWritable();
    state.ownFileName = QFileInfo(QStringLiteral("/proc/self/exe"))
                            .canonicalFilePath()
                            .section(QLatin1Char('/'), -1);
    if (!LocalAppData::baseFolder().isEmpty())
        state.dataFolder = LocalAppData::productFolder();
    state.logger = logger;
    return state;
}

UpdateState UpdateState::forClient(CLogWriter* logger) {
    UpdateState state = forRunningProgram(logger);
    state.installersAllowed = false;
    if (!state.dataFolder.isEmpty())
        for (const char* name : {"libeay32.dll", "ssleay32.dll"})
            QFile::remove(state.dataFolder + QLatin1Char('/') + QLatin1String(name));
    return state;
}

VersionParts ParseVersionText(const QString& text) {
    VersionParts parts{};
    const QStringList fields = text.split(QLatin1Char('.'));
    for (int i = 0; i < 4 && i < fields.size(); ++i)
        parts[i] = static_cast<quint16>(std::atoi(fields.at(i).toLatin1().constData()));
    return parts;
}

bool IsNewerVersion(const VersionParts& offered, const VersionParts& installed) {
    for (int i = 0; i < 4; ++i)
        if (offered[i] > installed[i])
            return true;
    return false;
}

QString AddOnInstallMarkerName() {
    return QStringLiteral("{90613E64-1DE3-4F19-855E-1DFE2F90C5E3}_is1");
}

int GetAddOnPlatformBits(const UpdateState& state) {
    const QString base = state.dataFolder.isEmpty() ? state.programFolder : state.dataFolder;
    if (!QFileInfo::exists(base + QLatin1Char('/') + kAddOnFolder + QLatin1Char('/') +
                           kAddOnClient))
        return 0;
    if (!QFileInfo::exists(state.programFolder + QLatin1Char('/') + kAddOnFolder +
                           QLatin1Char('/') + AddOnInstallMarkerName()))
        return 0;
    const QString cpu = QSysInfo::currentCpuArchitecture();
    return cpu == QLatin1String("i386") ? 32 : 64;
}

bool MoveExtractedTree(const QString& sourceRoot, const QString& destRoot,
                       const QString& markerFile) {
    QStringList markers;
    const bool ok = moveTree(sourceRoot, QDir::cleanPath(sourceRoot), QDir::cleanPath(destRoot),
                             markerFile, markers);
    // A package's own Version.ini replaces the marker file; the markers of
    // this move must survive it.
    for (const QString& name : markers)
        ProfileFile::writeString(QStringLiteral("Update"), name, QStringLiteral("NeedReboot"),
                                 markerFile);
    return ok;
}

void StopAuthHook() {
    ProcessTable::killAndWait(ProcessTable::findOwnByName(kAuthHookName));
}

bool IsSafeRelativePath(const QString& name) {
    if (name.isEmpty() || QDir::isAbsolutePath(name))
        return false;
    const QStringList parts = name.split(QLatin1Char('/'));
    for (const QString& part : parts)
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    return true;
}

bool SelectUpdateServer(UpdateState& state) {
    ProfileFile::flush(state.listFilePath);
    DownloadOptions options;
    options.caFile = ReadSetting(ProgramSettings::CAFile, state.listFilePath);
    options.section = kServer;
    options.key = QStringLiteral("Server1");
    options.cancel = state.cancel;
    // TLS settings belong to this computer's network (a proxy that
    // intercepts TLS): the list from the server must not drop them.
    options.keepFromTarget = {ProgramSettings::CAFile, ProgramSettings::InsecureTls};
    for (int n = 1; !cancelled(state); ++n) {
        QString base = listValue(state, kServer, QStringLiteral("Server%1").arg(n));
        const bool isDefault = base.isEmpty();
        if (isDefault) {
            log(state, CLogWriter::LogError,
                QStringLiteral("バージョン情報取得に有効なサーバが見つかりませんでした。"));
            log(state, CLogWriter::LogWarning, QStringLiteral("デフォルトサーバに接続します。"));
            base = DefaultDownloadServer();
        }
        QString error;
        if (DownloadFile(base + QStringLiteral("/Quillon.ini"), state.listFilePath, options,
                         &error)) {
            ProfileFile::flush(state.listFilePath);
            state.serverBaseUrl = base;
            log(state, CLogWriter::LogDebug, QStringLiteral("バージョン情報を取得しました。"));
            return true;
        }
        log(state, CLogWriter::LogDebug, error);
        if (isDefault) {
            if (!cancelled(state))
                log(state, CLogWriter::LogError, QStringLiteral("サーバ接続に失敗しました。"));
            return true;
        }
    }
    return true;
}

bool RunUpdate(UpdateState& state) {
    SelectUpdateServer(state);
    if (!state.programFolderWritable)
        return true;
    for (int n = 1;; ++n) {
        if (cancelled(state))
            return false;
        const QString name = listValue(state, kServer, QStringLiteral("File%1").arg(n));
        if (name.isEmpty())
            return true;
        const QString localPath = state.programFolder + QLatin1Char('/') + name;
        if (!IsSafeRelativePath(name)) {
            log(state, CLogWriter::LogError, localPath + kFailed);
            continue;
        }
        if (name == state.ownFileName)
            continue;
        const bool zip = !listValue(state, name, QStringLiteral("Zip")).isEmpty();
        const bool installer = !listValue(state, name, QStringLiteral("Installer")).isEmpty();
        if (installer && state.installersAllowed) {
            if (!runInstaller(state, name, localPath))
                return false;
        } else if (installer && !zip) {
            continue;
        } else if (zip) {
            if (!installPackage(state, name, localPath))
                return false;
        } else {
            installPlainFile(state, name, localPath);
        }
    }
}
