#pragma once

// What the emulator's request handlers, spread over several files by the
// area they serve, share: the call being answered and a few text helpers.

#include "StorageEmulator.h"

#include <httplib.h>
#include <openssl/rand.h>

#include <cstdio>
#include <string>
#include <vector>

namespace emulator_detail {

inline constexpr const char* kBasePath = "/api/v1";
inline constexpr const char* kControlPrefix = "/_emulator/";
inline constexpr const char* kFilesPrefix = "/files/";
inline constexpr const char* kJsonType = "application/json;charset=UTF-8";

inline std::vector<std::string> SplitNonEmpty(const std::string& text, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(sep, start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

inline bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

inline std::string RandomHex(size_t bytes) {
    std::vector<unsigned char> raw(bytes);
    RAND_bytes(raw.data(), static_cast<int>(bytes));
    std::string out;
    char two[3];
    for (auto b : raw) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

inline std::string FormValue(const std::vector<std::pair<std::string, std::string>>& form,
                             const std::string& key, bool& present) {
    for (const auto& [k, v] : form)
        if (k == key) {
            present = true;
            return v;
        }
    present = false;
    return {};
}

}  // namespace emulator_detail

struct StorageEmulator::Call {
    const httplib::Request& req;
    httplib::Response& res;
    const httplib::ContentReader* reader;
    JournalEntry entry;
    const Account* account = nullptr;
    bool bodyConsumed = false;
    std::vector<std::string> segments;  // escaped names of the path below the base path
};
