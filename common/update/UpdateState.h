#pragma once

#include <QString>

#include <array>
#include <atomic>
#include <optional>

class CLogWriter;
class UpdatePrompter;

using VersionParts = std::array<quint16, 4>;

// One run of the update check and install procedure.
struct UpdateState {
    // The local "Quillon.ini" holding the server list.
    QString listFilePath;
    // Base URL of the server that answered; empty until then.
    QString serverBaseUrl;
    bool installersAllowed = true;
    // Set when the add-on installer ran successfully in this run.
    bool addOnInstalled = false;

    // Folder of the running program, which receives the updates.
    QString programFolder;
    // File name of the running program: its own entry is never replaced
    // while it runs.
    QString ownFileName;
    // False when this user cannot write the program folder (a system-wide
    // installation, updated by its package manager): the list is still
    // fetched, as it carries the client's host settings, but no file of the
    // installation is checked or replaced.
    bool programFolderWritable = true;
    // Data folder (for the add-on client); empty when it cannot be found.
    QString dataFolder;
    // Asked before an installer runs; without one the answer is No.
    UpdatePrompter* prompter = nullptr;
    // Logs the progress; without one nothing is logged.
    CLogWriter* logger = nullptr;
    // Set by another thread to end the run: a transfer ends at once and no
    // further entry or server is tried. Without one the run is never cancelled.
    const std::atomic<bool>* cancel = nullptr;

    // The state of this installation: the list file from the settings
    // paths, the running program's folder and name.
    static UpdateState forRunningProgram(CLogWriter* logger);
    // The client's copy: installers never run, and the TLS libraries an
    // older installation left in the data folder are removed.
    static UpdateState forClient(CLogWriter* logger);
};

// Fetches the list file from the first listed server that serves a valid
// one, else from the default server; always true. The local TLS settings
// (CAFile, InsecureTls) are kept where the server's list leaves them out.
bool SelectUpdateServer(UpdateState& state);
// Works through the list (unless the program folder is not writable);
// false when an installer or a package installation
// failed or the run was cancelled (the remaining entries are then not
// processed).
bool RunUpdate(UpdateState& state);

// Four numbers separated by "."; each part read with the C rules for leading
// digits (a non-number gives 0) and kept as an unsigned 16-bit value.
VersionParts ParseVersionText(const QString& text);
// True when at least one of the offered numbers is greater than the same
// number of the installed version, each position on its own.
bool IsNewerVersion(const VersionParts& offered, const VersionParts& installed);

// 64 or 32 when the add-on is installed (its client in the data folder and
// its installation marker in the program folder), else 0.
int GetAddOnPlatformBits(const UpdateState& state);
// Name of the installation marker of the add-on inside "FAddOn" of the
// program folder; the add-on's installer creates it, its uninstaller removes it.
QString AddOnInstallMarkerName();

// Moves every file below sourceRoot to the same place below destRoot,
// replacing files there; writes the NeedReboot markers of the shell
// extension into markerFile. False when a sub-folder cannot be worked through.
bool MoveExtractedTree(const QString& sourceRoot, const QString& destRoot,
                       const QString& markerFile);

// Ends the add-on companion processes of this user and waits for them.
void StopAuthHook();

// A file name of the list that stays inside the program folder: relative,
// without "." or ".." parts.
bool IsSafeRelativePath(const QString& name);
