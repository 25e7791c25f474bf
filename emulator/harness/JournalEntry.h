#pragma once

#include <picojson.h>
#include <strings.h>

#include <string>
#include <utility>
#include <vector>

// Readers of one emulator journal entry (see emulator/README.md).
inline std::string Str(const picojson::value& e, const char* key) {
    return e.get(key).to_str();
}

// A member holding [name, value] pairs in wire order: headers, form, params.
inline std::vector<std::pair<std::string, std::string>> Pairs(const picojson::value& e,
                                                              const char* key) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& pair : e.get(key).get<picojson::array>()) {
        const auto& a = pair.get<picojson::array>();
        out.emplace_back(a[0].get<std::string>(), a[1].get<std::string>());
    }
    return out;
}

// The header's value, its name matched without regard to case.
inline std::string Header(const picojson::value& e, const std::string& name) {
    for (const auto& [n, v] : Pairs(e, "headers"))
        if (strcasecmp(n.c_str(), name.c_str()) == 0)
            return v;
    return "<none>";
}
