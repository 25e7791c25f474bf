#include "StorageEmulatorCall.h"

#include <picojson.h>

using namespace emulator_detail;

void StorageEmulator::control(Call& call) {
    const auto& req = call.req;
    const std::string what = req.path.substr(std::string(kControlPrefix).size());
    const std::string& method = req.method;
    std::string body;
    if (call.reader != nullptr)
        consumeBody(call, &body);
    else
        body = req.body;
    auto reply = [&](int status, const std::string& text, const char* type = kJsonType) {
        call.res.status = status;
        if (status != 204)
            call.res.set_content(text, type);
    };
    auto bad = [&](const std::string& message) {
        picojson::object o;
        o["error"] = picojson::value(message);
        reply(400, picojson::value(o).serialize());
    };

    if (what == "journal" && method == "GET")
        return reply(200, journal_.contents(), "application/x-ndjson");
    if (what == "journal" && method == "DELETE") {
        journal_.clear();
        return reply(204, "");
    }
    if (what == "faults" && method == "GET")
        return reply(200, faults_.describe());
    if (what == "faults" && method == "DELETE") {
        faults_.clear();
        return reply(204, "");
    }
    if (what == "faults" && method == "POST") {
        std::vector<int> ids;
        std::string error;
        if (!faults_.add(body, ids, error))
            return bad(error);
        picojson::array list;
        for (int id : ids)
            list.emplace_back(static_cast<double>(id));
        picojson::object o;
        o["ids"] = picojson::value(list);
        return reply(200, picojson::value(o).serialize());
    }
    if (what == "permissions" && method == "POST") {
        picojson::value v;
        std::string error = picojson::parse(v, body);
        if (!error.empty() || !v.is<picojson::object>() || !v.get("path").is<std::string>())
            return bad(error.empty() ? "expected {\"path\": ..., \"canCreate\": ...}" : error);
        Permissions p;
        auto flag = [&](const char* key, bool& out) {
            if (v.get(key).is<bool>())
                out = v.get(key).get<bool>();
        };
        flag("canCreate", p.canCreate);
        flag("canRead", p.canRead);
        flag("canUpdate", p.canUpdate);
        flag("canDelete", p.canDelete);
        flag("canAdminister", p.canAdminister);
        repository_.setPermissions(
            Repository::text(SplitNonEmpty(v.get("path").get<std::string>(), '/')), p);
        return reply(204, "");
    }
    if (what == "permissions" && method == "DELETE") {
        repository_.clearPermissions();
        return reply(204, "");
    }
    if (what == "shares" && method == "GET") {
        std::lock_guard lock(sharesMutex_);
        std::string out = "[";
        for (size_t i = 0; i < shares_.size(); ++i)
            out += (i ? "," : "") + shares_[i];
        return reply(200, out + "]");
    }
    reply(404, R"({"error":"unknown control path"})");
}
