#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include <cstdlib>
#include <ctime>

// Sets (or only remembers) one environment variable and restores it when the
// test ends; the C library reads TZ again both times.
class EnvGuard {
public:
    explicit EnvGuard(const char* name)
        : name_(name), had_(qEnvironmentVariableIsSet(name)), value_(qgetenv(name)) {}
    EnvGuard(const char* name, const QByteArray& value) : EnvGuard(name) {
        qputenv(name, value);
        tzset();
    }
    ~EnvGuard() {
        had_ ? qputenv(name_, value_) : qunsetenv(name_);
        tzset();
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

private:
    const char* name_;
    bool had_;
    QByteArray value_;
};

// A full disk for this process while the object lives: writes past `bytes`
// fail with EFBIG instead of raising SIGXFSZ.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        if (::getrlimit(RLIMIT_FSIZE, &saved_) != 0)
            return;
        signal_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        active_ = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() {
        if (active_)
            ::setrlimit(RLIMIT_FSIZE, &saved_);
        if (signal_ != SIG_ERR)
            std::signal(SIGXFSZ, signal_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool active() const { return active_; }

private:
    rlimit saved_{};
    void (*signal_)(int) = SIG_ERR;
    bool active_ = false;
};

// Points XDG_DATA_HOME (and XDG_CONFIG_HOME, where Qt's file picker keeps
// its history) at a fresh temporary folder for the life of the object, so
// the programs' data folder and settings files are a test's own.
class TempDataHome {
public:
    TempDataHome() { QDir().mkpath(productFolder()); }

    QString path() const { return dir_.path(); }
    QString productFolder() const {
        return dir_.path() + QStringLiteral("/Velmora KT/Torval2Quillon");
    }
    QString file(const QString& name) const { return productFolder() + QLatin1Char('/') + name; }

private:
    QTemporaryDir dir_;
    EnvGuard xdg_{"XDG_DATA_HOME", QFile::encodeName(dir_.path())};
    EnvGuard config_{"XDG_CONFIG_HOME", QFile::encodeName(dir_.path() + "/config")};
};

// A file's bytes, or "<missing>" when it cannot be read.
inline QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Writes a file whole, making its folder first.
inline bool putFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// A file's status (its mode, its inode), all zero when it cannot be read.
inline struct stat statOf(const QString& path) {
    struct stat st {};
    ::stat(QFile::encodeName(path).constData(), &st);
    return st;
}
