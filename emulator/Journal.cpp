#include "Journal.h"

#include <picojson.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <sstream>

namespace {

picojson::value Pairs(const std::vector<std::pair<std::string, std::string>>& pairs) {
    picojson::array out;
    for (const auto& [k, v] : pairs)
        out.emplace_back(picojson::array{picojson::value(k), picojson::value(v)});
    return picojson::value(out);
}

std::string NowText() {
    auto now = std::chrono::system_clock::now();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms.count()));
    return text;
}

}  // namespace

Journal::~Journal() {
    if (file_ != nullptr)
        std::fclose(file_);
}

bool Journal::open(const std::string& path) {
    path_ = path;
    file_ = std::fopen(path.c_str(), "w");
    return file_ != nullptr;
}

void Journal::write(const JournalEntry& entry) {
    picojson::object o;
    o["remote"] = picojson::value(entry.remote);
    o["method"] = picojson::value(entry.method);
    o["target"] = picojson::value(entry.target);
    o["path"] = picojson::value(entry.path);
    o["query"] = picojson::value(entry.query);
    o["params"] = Pairs(entry.params);
    o["headers"] = Pairs(entry.headers);
    o["headersOrdered"] = picojson::value(entry.headersOrdered);
    o["form"] = Pairs(entry.form);
    picojson::array parts;
    for (const auto& part : entry.parts) {
        picojson::object p;
        p["name"] = picojson::value(part.name);
        p["filename"] = picojson::value(part.filename);
        p["contentType"] = picojson::value(part.contentType);
        p["size"] = picojson::value(static_cast<double>(part.size));
        parts.emplace_back(p);
    }
    o["parts"] = picojson::value(parts);
    o["bodySize"] = picojson::value(static_cast<double>(entry.bodySize));
    o["status"] = picojson::value(static_cast<double>(entry.status));
    o["auth"] = picojson::value(entry.auth);
    o["user"] = picojson::value(entry.user);
    o["authFailure"] = picojson::value(entry.authFailure);
    o["fault"] = picojson::value(static_cast<double>(entry.fault));
    o["time"] = picojson::value(NowText());

    std::lock_guard lock(mutex_);
    o["seq"] = picojson::value(static_cast<double>(++sequence_));
    if (file_ == nullptr)
        return;
    std::string line = picojson::value(o).serialize();
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
}

std::string Journal::contents() {
    std::lock_guard lock(mutex_);
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void Journal::clear() {
    std::lock_guard lock(mutex_);
    if (file_ != nullptr)
        file_ = std::freopen(path_.c_str(), "w", file_);
}
