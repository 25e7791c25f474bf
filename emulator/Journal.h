#pragma once

#include "HeaderCapture.h"

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// One handled request as tests see it.
struct JournalEntry {
    struct Part {
        std::string name;
        std::string filename;
        std::string contentType;
        uint64_t size = 0;
    };
    std::string remote;  // peer address:port; one port per connection
    std::string method;
    std::string target;                                       // as sent, escaped, with the query
    std::string path;                                         // decoded path
    std::string query;                                        // as sent, without "?"
    std::vector<std::pair<std::string, std::string>> params;  // decoded query
    HeaderList headers;
    bool headersOrdered = false;
    std::vector<std::pair<std::string, std::string>> form;  // urlencoded body, decoded
    std::vector<Part> parts;                                // multipart body
    uint64_t bodySize = 0;
    int status = 0;    // 0 when the connection was dropped or stalled
    std::string auth;  // "basic", "digest", "none" or empty
    std::string user;
    std::string authFailure;
    int fault = 0;  // id of the injected fault that answered, 0 for none
};

// JSON lines file "journal.jsonl" in the data folder, one object per request, written
// before the reply leaves, so a client that got its reply finds the request there.
class Journal {
public:
    ~Journal();
    bool open(const std::string& path);
    void write(const JournalEntry& entry);
    std::string contents();
    void clear();

private:
    std::mutex mutex_;
    std::string path_;
    FILE* file_ = nullptr;
    uint64_t sequence_ = 0;
};
