#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

// One login "user@portal" of the accounts file.
struct Account {
    std::string login;  // user@portal, as the client sends it
    std::string userCode;
    std::string portalCode;
    std::string password;
    int userId = 0;
    int portalId = 0;
};

// Accounts file: one "user@portal:password" per line; blank lines and lines starting
// with "#" are skipped. User and portal ids count from 1 in order of first appearance.
class AccountStore {
public:
    bool load(const std::string& path, std::string& error);
    // Writes a file with one default account, for a first start without --accounts.
    static bool writeDefault(const std::string& path);

    const Account* find(const std::string& login) const;
    const std::vector<Account>& accounts() const { return accounts_; }

private:
    std::vector<Account> accounts_;
    std::map<std::string, size_t> byLogin_;
};
