#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cstdlib>

// Points XDG_DATA_HOME at a fresh temporary folder for the life of the
// object, so the programs' data folder and settings files are a test's own.
class TempDataHome {
public:
    TempDataHome()
        : saved_(qgetenv("XDG_DATA_HOME")), hadSaved_(qEnvironmentVariableIsSet("XDG_DATA_HOME")) {
        qputenv("XDG_DATA_HOME", QFile::encodeName(dir_.path()));
        QDir().mkpath(productFolder());
    }
    ~TempDataHome() {
        if (hadSaved_)
            qputenv("XDG_DATA_HOME", saved_);
        else
            qunsetenv("XDG_DATA_HOME");
    }
    TempDataHome(const TempDataHome&) = delete;
    TempDataHome& operator=(const TempDataHome&) = delete;

    QString path() const { return dir_.path(); }
    QString productFolder() const {
        return dir_.path() + QStringLiteral("/Velmora KT/Torval2Quillon");
    }
    QString file(const QString& name) const { return productFolder() + QLatin1Char('/') + name; }

private:
    QTemporaryDir dir_;
    QByteArray saved_;
    bool hadSaved_;
};
