#pragma once

#include <QList>
#include <QString>

#include <memory>
#include <optional>

struct ProfileDocument;

// Stand-in for the Windows profile-string functions over ini files.
//
// Semantics kept from Windows: section and key names match without regard
// to case; the first occurrence of a section or key wins; blanks around
// names and values are ignored; one pair of matching quotes around a value
// is dropped on reading; a missing key yields the caller's default.
// Comments (";"), blank lines, unknown keys and lines this parser does not
// understand survive every write byte for byte.
//
// Files are read as UTF-8, or as UTF-16LE when they start with its
// byte-order mark; a rewrite keeps the file's encoding and line ends.
// Every write replaces the file atomically (it is never seen half-written)
// under an advisory lock shared with other threads and processes, and a
// file the class creates is readable and writable by its owner only.
class ProfileFile {
public:
    static constexpr int kDefaultBufferSize = 4096;

    // One key change of a batch; no value removes the key.
    struct Change {
        QString section;
        QString key;
        std::optional<QString> value;
    };

    // The value of key in section, cut to bufferSize - 1 characters, or
    // defaultValue (cut the same way) when the file, section or key is missing.
    static QString readString(const QString& section, const QString& key,
                              const QString& defaultValue, int bufferSize, const QString& path);
    static QString readString(const QString& section, const QString& key,
                              const QString& defaultValue, const QString& path) {
        return readString(section, key, defaultValue, kDefaultBufferSize, path);
    }

    // One version of a file for many reads: each read answers as readString
    // would have at the moment the snapshot was taken, without looking at
    // the file again.
    class Snapshot {
    public:
        QString readString(const QString& section, const QString& key, const QString& defaultValue,
                           int bufferSize = kDefaultBufferSize) const;

    private:
        friend class ProfileFile;
        explicit Snapshot(std::shared_ptr<const ProfileDocument> doc) : doc_(std::move(doc)) {}
        std::shared_ptr<const ProfileDocument> doc_;
    };
    static Snapshot snapshot(const QString& path);

    // The leading decimal number of the value; defaultValue when the key is
    // missing or its value does not start with a digit (a minus sign included).
    static quint32 readInt(const QString& section, const QString& key, quint32 defaultValue,
                           const QString& path);

    // Sets key to value; a new key goes at the end of its section, a new
    // section at the end of the file. False when the file cannot be replaced
    // or a name or value would break the line structure (line breaks, "=" in
    // a key, "]" in a section name).
    static bool writeString(const QString& section, const QString& key, const QString& value,
                            const QString& path);
    static bool removeKey(const QString& section, const QString& key, const QString& path);
    static bool removeSection(const QString& section, const QString& path);

    // Applies all changes as one atomic replace of the file's current content,
    // so keys that other writers changed meanwhile survive. On failure the
    // file is left as it was, and reason (when given) holds the system's
    // text for the error ("No space left on device").
    static bool apply(const QList<Change>& changes, const QString& path, QString* reason = nullptr);

    // Drops what this process remembers of the file (the Windows cache flush).
    static void flush(const QString& path);
};
