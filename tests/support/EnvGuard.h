#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <ctime>

// Sets (or only remembers) one environment variable and restores it when the
// test ends; the C library reads TZ again both times.
class EnvGuard {
public:
    explicit EnvGuard(const char* name)
        : name_(name), had_(qEnvironmentVariableIsSet(name)), value_(qgetenv(name)) {}
    EnvGuard(const char* name, const char* value) : EnvGuard(name) {
        qputenv(name, value);
        tzset();
    }
    ~EnvGuard() {
        if (had_)
            qputenv(name_, value_);
        else
            qunsetenv(name_);
        tzset();
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

private:
    const char* name_;
    bool had_;
    QByteArray value_;
};
