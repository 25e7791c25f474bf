#pragma once

#include <QFile>
#include <QHash>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

#include "TreeEntry.h"
#include "UploadTally.h"

class CLogWriter;

// Snapshot files of a job's hot folder: the current listing, the result of
// the run (entries known to be in the storage) and the previous run's
// result. UTF-16LE with a byte-order mark, CR LF line ends, four TAB-separated
// fields: type, local path, size, time.
namespace LocalSnapshot {

struct Names {
    QString current;
    QString result;
    QString previous;
};

// The folder that holds the snapshot files: "Work" in the per-user data folder.
QString WorkFolder();
// "<work>/Torval2Quillon_LocalFiles_<uniqueId>_<sessionId>_current.csv",
// "..._result.csv" and "<work>/Torval2Quillon_LocalFiles_<uniqueId>_previous.csv".
Names MakeNames(const QString& workFolder, const QString& uniqueId, const QString& sessionId);

// Time field of a snapshot line for a last-write time in Unix seconds.
qint32 SnapshotTime(qint64 unixSeconds);

// The hot folder as the walk's prefix of each line's path: no trailing "/",
// and "" for "/".
QString WalkPrefix(QString folder);

// Writes the current file for hotFolder (pre-order walk, the hot folder itself
// gets no line) and counts folders, files and sizes into tally. When the file
// cannot be created, runs TallyTree in failure mode and returns false.
bool WriteSnapshot(const QString& currentPath, const QString& hotFolder, UploadTally& tally);

// An entry whose status cannot be read, that carries the temporary attribute,
// or that lies in a recycle bin or trash folder is not uploaded.
bool IsExcluded(const QString& localPath);

// A snapshot line (without its line end) as an entry; nothing for a line that
// is not one (fewer fields, a size or time that is not a number, a path
// outside the hot folder).
std::optional<TreeEntry> ParseEntry(const QString& line, const QString& hotFolder,
                                    const QString& destination);

// Reads a snapshot file line by line. A missing or unreadable file reads as
// no lines; a line that is not valid UTF-16 or runs past a sane length is
// returned as an empty line (which ParseEntry refuses) rather than stopping.
class Reader {
public:
    explicit Reader(const QString& path);
    ~Reader();
    bool isOpen() const;
    // The next line without its line end; false at the end of the file.
    bool next(QString& line);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// Writes a snapshot file: byte-order mark first, then each line with CR LF.
class Writer {
public:
    explicit Writer(const QString& path);
    ~Writer();
    bool isOpen() const;
    bool write(const QString& line);
    bool close();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// The previous run's lines by type and local path, first line winning: the
// same answers as scanning the file from the start for each lookup, in O(1).
class PreviousIndex {
public:
    explicit PreviousIndex(const QString& previousPath);
    // The matching previous line's time field, or nothing.
    std::optional<qint32> find(const QString& type, const QString& localPath) const;

private:
    // All paths back to back and an open-addressing table over them: no
    // allocation per line, so a million lines stay compact and fast.
    struct Line {
        quint64 start;
        quint32 length;
        qint32 time;
        bool folder;
    };
    struct Slot {
        quint32 hash;
        quint32 line;  // index + 1; 0 is an empty slot
    };
    std::vector<char16_t> paths_;
    std::vector<Line> lines_;
    std::vector<Slot> slots_;

    static quint32 hashOf(QStringView path, bool folder);
    const Line* lookup(QStringView path, bool folder, quint32 hash) const;
};

// A file is unchanged when a previous line exists with the same time and the
// server did not ask for everything again. Folders never are.
bool IsUnchanged(const TreeEntry& entry, const PreviousIndex& previous, bool resendAll);

// After an early stop: every line left in current (excluded ones passed
// over) goes to the failure list; unchanged files are counted as skipped and
// written to result, other files counted as interrupted.
void DrainRemaining(Reader& current, Writer& result, const PreviousIndex& previous, bool resendAll,
                    const QString& hotFolder, const QString& destination, UploadTally& tally);

// The result becomes the previous file (atomically replacing it) and the
// current file is deleted; failures are logged and return false.
bool RotateSnapshots(const Names& names, CLogWriter& logger);

// Walks folder without writing anything: every path goes to the success or
// failure list, every file counts in files total and size total and in the
// succeeded or failed counters.
void TallyTree(const QString& folder, bool success, UploadTally& tally);

// Parts of IsExcluded.
// "@:\RECYCLED\", "@:\RECYCLER\" or "@:\$RECYCLE.BIN\" at the start, any drive letter, any case.
bool IsRecycleBinPath(const QString& localPath);
// ".Trash" or ".Trash-" followed by a user id.
bool IsTrashFolderName(QStringView name);
// True when a folder that localPath lies in is a trash folder at the top of a
// mounted volume.
bool IsInTrashFolder(const QString& localPath);

// Moves snapshot files left beside the program or in the temporary folder
// into the work folder.
void GatherStraySnapshots();

}  // namespace LocalSnapshot
