#pragma once

#include <QByteArray>
#include <QString>

#include "ConfigPaths.h"
#include "EmulatorProcess.h"
#include "ProfileFile.h"

// Points the client at a running emulator: the test account in
// QuillonConfig.ini, the API address and the emulator's certificate in
// Quillon.ini (both in the current data folder), and requests for the
// service's host and port 443 sent to the emulator's port. False when a
// settings file cannot be written.
inline bool PointClientAtEmulator(const EmulatorProcess& emulator) {
    qputenv("QUILLON_CONNECT_TO",
            QByteArray("localhost:443:127.0.0.1:") + QByteArray::number(emulator.port()));
    // Key by key: a batch written from a braced list trips GCC's
    // maybe-uninitialized warning in optimised builds (the benchmarks').
    const QString config = ConfigPath();
    const QString program = ProgramSettingsPath();
    const QString certificate = QString::fromStdString(emulator.certificate().string());
    return ProfileFile::writeString("Config", "ID", "taro", config) &&
           ProfileFile::writeString("Config", "PortalName", "velmora", config) &&
           ProfileFile::writeString("Config", "Password", "pa:ss word", config) &&
           ProfileFile::writeString("Host", "AutoUpload", "https://localhost/api/v1/", program) &&
           ProfileFile::writeString("AutoUpload", "CAFile", certificate, program);
}
