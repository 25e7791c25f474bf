#pragma once

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "EmulatorClient.h"

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

// The emulator started and the client pointed at it; false, with the reason
// on standard error, when either fails.
inline bool readyEmulator(const EmulatorProcess& emulator) {
    if (!emulator.started()) {
        std::fprintf(stderr, "emulator did not start: %s\n", emulator.firstLine().c_str());
        return false;
    }
    if (!PointClientAtEmulator(emulator)) {
        std::fprintf(stderr, "cannot write the settings files\n");
        return false;
    }
    return true;
}

}  // namespace bench
