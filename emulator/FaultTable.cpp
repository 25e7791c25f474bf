#include "FaultTable.h"

#include <picojson.h>

namespace {

std::string Text(const picojson::object& o, const char* key, const std::string& fallback = {}) {
    auto it = o.find(key);
    return it != o.end() && it->second.is<std::string>() ? it->second.get<std::string>() : fallback;
}

int Number(const picojson::object& o, const char* key, int fallback) {
    auto it = o.find(key);
    return it != o.end() && it->second.is<double>() ? static_cast<int>(it->second.get<double>())
                                                    : fallback;
}

bool Has(const picojson::object& o, const char* key) {
    return o.find(key) != o.end();
}

// Defaults first, then the caller's members on top.
picojson::object Merge(picojson::object defaults, const picojson::value& given) {
    if (given.is<picojson::object>())
        for (const auto& [k, v] : given.get<picojson::object>())
            defaults[k] = v;
    return defaults;
}

bool ParseRule(const picojson::object& o, FaultAction& action, std::string& method,
               std::string& pattern, int& nth, int& times, std::string& error) {
    method = Text(o, "method");
    pattern = Text(o, "path");
    nth = Number(o, "nth", 1);
    times = Number(o, "times", 1);
    action.delayMs = Number(o, "delayMs", 0);
    action.stallMs = Number(o, "stallMs", action.stallMs);
    if (auto it = o.find("afterBody"); it != o.end())
        action.afterBody = it->second.evaluate_as_boolean();
    if (nth < 1 || times < 0 || action.delayMs < 0 || action.stallMs < 0) {
        error = "nth must be >= 1; times, delayMs and stallMs >= 0";
        return false;
    }
    if (auto it = o.find("headers"); it != o.end() && it->second.is<picojson::object>())
        for (const auto& [k, v] : it->second.get<picojson::object>())
            action.headers[k] = v.to_str();

    const std::string kind = Text(o, "kind");
    const bool hasReply = Has(o, "status") || Has(o, "body") || Has(o, "json") ||
                          Has(o, "errorCode") || Has(o, "autoBlock") || Has(o, "pragma");
    if (kind == "stall") {
        action.kind = FaultKind::Stall;
    } else if (kind == "drop") {
        action.kind = FaultKind::Drop;
    } else if (kind == "truncate" || kind == "notJson" || kind == "respond" ||
               (kind.empty() && hasReply)) {
        action.kind = kind == "truncate" ? FaultKind::Truncate : FaultKind::Respond;
    } else if (kind == "delay" || (kind.empty() && action.delayMs > 0)) {
        action.kind = FaultKind::Delay;
    } else {
        error = kind.empty() ? "a fault needs a kind, a reply or delayMs" : "unknown kind " + kind;
        return false;
    }

    action.status = Number(o, "status", Has(o, "errorCode") ? 500 : 200);
    action.contentType = Text(o, "contentType", "application/json");
    if (auto it = o.find("json"); it != o.end()) {
        action.body = it->second.serialize();
    } else if (Has(o, "body")) {
        action.body = Text(o, "body");
    } else if (kind == "notJson") {
        action.body = "<html><body><h1>503 Service Temporarily Unavailable</h1></body></html>";
        action.contentType = Text(o, "contentType", "text/html");
    } else if (Has(o, "errorCode") || action.status >= 400) {
        picojson::array params;
        if (auto it = o.find("errorParameters"); it != o.end() && it->second.is<picojson::array>())
            params = it->second.get<picojson::array>();
        picojson::object body;
        body["statusCode"] = picojson::value(static_cast<double>(action.status));
        body["errorCode"] = picojson::value(Text(o, "errorCode", "EMULATED_ERROR"));
        body["errorMessage"] = picojson::value(Text(o, "errorMessage"));
        body["errorParameters"] = picojson::value(params);
        body["resultDetails"] = picojson::value(Text(o, "resultDetails"));
        action.body = picojson::value(body).serialize();
    } else if (auto it = o.find("autoBlock"); it != o.end()) {
        picojson::object reason;
        reason["blockCount"] = picojson::value(1.0);
        reason["blocked"] = picojson::value(true);
        reason["duration"] = picojson::value(600.0);
        reason["userAgent"] = picojson::value(std::string("Microsoft-WebDAV-MiniRedir/10.0"));
        reason["userCode"] = picojson::value(std::string("tester"));
        reason["inSize"] = picojson::value(0.0);
        reason["outSize"] = picojson::value(1048576.0);
        reason["when"] = picojson::value(std::string("2024-02-08T10:00:00.000+09:00"));
        reason["path"] = picojson::value(std::string("/"));
        reason["method"] = picojson::value(std::string("PROPFIND"));
        reason["from"] = picojson::value(std::string("127.0.0.1"));
        reason["uri"] = picojson::value(std::string("/webdav/"));
        picojson::object body;
        body["reason"] = picojson::value(Merge(reason, it->second));
        action.body = picojson::value(body).serialize();
        if (pattern.empty())
            pattern = "/autoBlock$";
    } else if (auto it = o.find("pragma"); it != o.end()) {
        picojson::object pragma;
        pragma["retransmission"] = picojson::value(true);
        pragma["files"] = picojson::value(picojson::array{});
        action.body = picojson::value(Merge(pragma, it->second)).serialize();
        if (pattern.empty())
            pattern = "pragma\\.cgi$";
    }
    return true;
}

}  // namespace

bool FaultTable::add(const std::string& json, std::vector<int>& ids, std::string& error) {
    picojson::value root;
    error = picojson::parse(root, json);
    if (!error.empty())
        return false;
    picojson::array list;
    if (root.is<picojson::array>())
        list = root.get<picojson::array>();
    else if (root.is<picojson::object>() && root.contains("faults") &&
             root.get("faults").is<picojson::array>())
        list = root.get("faults").get<picojson::array>();
    else
        list.push_back(root);

    std::vector<Rule> parsed;
    for (const auto& item : list) {
        if (!item.is<picojson::object>()) {
            error = "a fault is a JSON object";
            return false;
        }
        Rule rule;
        int times = 1;
        if (!ParseRule(item.get<picojson::object>(), rule.action, rule.method, rule.pattern,
                       rule.nth, times, error))
            return false;
        try {
            rule.path = std::regex(rule.pattern, std::regex::ECMAScript);
        } catch (const std::regex_error& e) {
            error = "bad path pattern: " + std::string(e.what());
            return false;
        }
        rule.remaining = times == 0 ? -1 : times;
        parsed.push_back(std::move(rule));
    }
    std::lock_guard lock(mutex_);
    for (auto& rule : parsed) {
        rule.action.id = nextId_++;
        ids.push_back(rule.action.id);
        rules_.push_back(std::move(rule));
    }
    return true;
}

std::optional<FaultAction> FaultTable::match(const std::string& method, const std::string& path) {
    std::lock_guard lock(mutex_);
    std::optional<FaultAction> fired;
    for (auto it = rules_.begin(); it != rules_.end();) {
        if ((!it->method.empty() && it->method != method) ||
            (!it->pattern.empty() && !std::regex_search(path, it->path))) {
            ++it;
            continue;
        }
        ++it->seen;
        if (!fired && it->seen >= it->nth) {
            fired = it->action;
            if (it->remaining > 0 && --it->remaining == 0) {
                it = rules_.erase(it);
                continue;
            }
        }
        ++it;
    }
    return fired;
}

std::string FaultTable::describe() {
    std::lock_guard lock(mutex_);
    picojson::array list;
    for (const auto& rule : rules_) {
        picojson::object o;
        o["id"] = picojson::value(static_cast<double>(rule.action.id));
        o["method"] = picojson::value(rule.method);
        o["path"] = picojson::value(rule.pattern);
        o["nth"] = picojson::value(static_cast<double>(rule.nth));
        o["remaining"] = picojson::value(static_cast<double>(rule.remaining));
        o["seen"] = picojson::value(static_cast<double>(rule.seen));
        o["status"] = picojson::value(static_cast<double>(rule.action.status));
        list.emplace_back(o);
    }
    picojson::object root;
    root["faults"] = picojson::value(list);
    return picojson::value(root).serialize();
}

void FaultTable::clear() {
    std::lock_guard lock(mutex_);
    rules_.clear();
}
