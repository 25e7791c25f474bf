#pragma once

#include <picojson.h>

#include <fstream>
#include <string>
#include <vector>

#include "EmulatorProcess.h"

// The requests the emulator has handled so far, oldest first, one JSON
// object each (see emulator/README.md for the members).
inline std::vector<picojson::value> ReadJournal(const EmulatorProcess& emulator) {
    std::ifstream in(emulator.dataFolder() / "journal.jsonl");
    std::vector<picojson::value> entries;
    std::string line;
    while (std::getline(in, line)) {
        picojson::value v;
        if (picojson::parse(v, line).empty())
            entries.push_back(v);
    }
    return entries;
}
