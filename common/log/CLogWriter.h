#pragma once

#include <QString>

// The logger of both programs. Each message becomes one event of source
// "TORVAL クライアントツール" in the event store (EventLog); the log viewer
// reads them back newest first. Objects are cheap and hold no state between
// calls: construct one wherever it is needed.
class CLogWriter {
public:
    enum Level {
        LogError = 0,
        LogWarning = 1,
        LogInfo = 2,
        LogDebug = 3,
    };

    // Reads the debug switch from QuillonConfig.ini.
    CLogWriter();
    // Reads the debug switch (`Debug` of section `Config`) from settingsPath.
    explicit CLogWriter(QString settingsPath);

    // Writes message as one event. True when written, or skipped because it
    // is a debug message and the debug switch is not "ON"; false when every
    // attempt failed and the failure was handed to the system log instead.
    // Callers are free to ignore the result.
    bool Log(int level, const QString& message);

    // The events of this logger, newest first, as one text for the viewer;
    // empty when the store cannot be read.
    QString ReadLogText() const;

    const QString& settingsPath() const { return settingsPath_; }

    static int eventType(int level);
    static QString typeLabel(int eventType);

private:
    QString settingsPath_;
};
