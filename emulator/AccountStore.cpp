#include "AccountStore.h"

#include <fstream>

bool AccountStore::load(const std::string& path, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read accounts file " + path;
        return false;
    }
    std::map<std::string, int> portalIds;
    std::string line;
    int lineNumber = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line.front() == '#')
            continue;
        // User names never hold ":" (Basic authentication forbids it); passwords may.
        auto colon = line.find(':');
        auto at = line.find('@');
        if (colon == std::string::npos || at == std::string::npos || at > colon || at == 0 ||
            at + 1 == colon) {
            error = path + ":" + std::to_string(lineNumber) + ": expected user@portal:password";
            return false;
        }
        Account account;
        account.login = line.substr(0, colon);
        account.userCode = line.substr(0, at);
        account.portalCode = line.substr(at + 1, colon - at - 1);
        account.password = line.substr(colon + 1);
        auto [it, added] =
            portalIds.emplace(account.portalCode, static_cast<int>(portalIds.size()) + 1);
        account.portalId = it->second;
        account.userId = static_cast<int>(accounts_.size()) + 1;
        byLogin_[account.login] = accounts_.size();
        accounts_.push_back(std::move(account));
    }
    if (accounts_.empty()) {
        error = "no account in " + path;
        return false;
    }
    return true;
}

bool AccountStore::writeDefault(const std::string& path) {
    std::ofstream out(path);
    out << "# torval2-emulator accounts: user@portal:password\n"
        << "tester@velmora:tester-pass\n";
    return static_cast<bool>(out);
}

const Account* AccountStore::find(const std::string& login) const {
    auto it = byLogin_.find(login);
    return it == byLogin_.end() ? nullptr : &accounts_[it->second];
}
