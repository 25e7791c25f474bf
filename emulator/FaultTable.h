#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <vector>

enum class FaultKind {
    Respond,   // the given status, headers and body instead of the normal reply
    Delay,     // wait, then handle the request normally
    Stall,     // send nothing for stallMs, then drop the connection
    Drop,      // close the connection without a reply
    Truncate,  // announce the whole body, send half of it, close the connection
};

struct FaultAction {
    int id = 0;
    FaultKind kind = FaultKind::Respond;
    int status = 200;
    std::string body;
    std::string contentType = "application/json";
    std::map<std::string, std::string> headers;
    int delayMs = 0;
    bool afterBody = false;  // a delay waits after the request is handled, before the reply
    int stallMs = 120000;
};

// Faults that tests install through the control endpoint. Each rule counts the requests
// that match its method and path pattern; it fires from its nth match on, `times` times
// (0: until cleared), and then disappears.
class FaultTable {
public:
    // Accepts one rule object, an array of them, or {"faults": [...]}.
    bool add(const std::string& json, std::vector<int>& ids, std::string& error);
    std::optional<FaultAction> match(const std::string& method, const std::string& path);
    std::string describe();
    void clear();

private:
    struct Rule {
        FaultAction action;
        std::string method;
        std::string pattern;
        std::regex path;
        int nth = 1;
        int remaining = 1;  // -1: unlimited
        int seen = 0;
    };

    std::mutex mutex_;
    std::vector<Rule> rules_;
    int nextId_ = 1;
};
