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
    return ProfileFile::apply({{"Config", "ID", QString("taro")},
                               {"Config", "PortalName", QString("velmora")},
                               {"Config", "Password", QString("pa:ss word")}},
                              ConfigPath()) &&
           ProfileFile::apply(
               {{"Host", "AutoUpload", QString("https://localhost/api/v1/")},
                {"AutoUpload", "CAFile", QString::fromStdString(emulator.certificate().string())}},
               ProgramSettingsPath());
}
