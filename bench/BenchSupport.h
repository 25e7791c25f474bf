#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <fstream>
#include <string>

#include "ConfigPaths.h"
#include "EmulatorProcess.h"
#include "ProfileFile.h"

// Small measuring helpers shared by the benchmarks.
namespace bench {

inline double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// One "Vm…:" line of /proc/<pid>/status in KiB ("self" for this process); -1 when unreadable.
inline long statusKiB(const std::string& field, const std::string& pid = "self") {
    std::ifstream in("/proc/" + pid + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

inline double mib(long kib) {
    return kib / 1024.0;
}

// Points the client at a running emulator: the test account, the API address
// and the emulator's certificate in the current data folder, and requests for
// port 443 sent to the emulator's port. (The tests' helper does the same with
// a change list that optimised builds warn about.)
inline bool pointClientAtEmulator(const EmulatorProcess& emulator) {
    qputenv("QUILLON_CONNECT_TO",
            QByteArray("localhost:443:127.0.0.1:") + QByteArray::number(emulator.port()));
    const QString config = ConfigPath();
    const QString program = ProgramSettingsPath();
    const QString certificate = QString::fromStdString(emulator.certificate().string());
    return ProfileFile::writeString("Config", "ID", "taro", config) &&
           ProfileFile::writeString("Config", "PortalName", "velmora", config) &&
           ProfileFile::writeString("Config", "Password", "pa:ss word", config) &&
           ProfileFile::writeString("Host", "AutoUpload", "https://localhost/api/v1/", program) &&
           ProfileFile::writeString("AutoUpload", "CAFile", certificate, program);
}

}  // namespace bench
