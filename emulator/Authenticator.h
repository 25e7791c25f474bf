#pragma once

#include "AccountStore.h"
#include "EmulatorOptions.h"
#include "HeaderCapture.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

struct AuthOutcome {
    const Account* account = nullptr;  // set when the request is authenticated
    std::string scheme;                // "basic", "digest", "none" or empty
    std::string failure;               // why it was refused, for the journal
    bool staleNonce = false;
};

// HTTP Basic and Digest (RFC 7616: MD5, qop=auth) against the accounts file. Digest
// nonces are issued here and checked for age and replayed counts.
class Authenticator {
public:
    static constexpr const char* kRealm = "TORVAL2";

    // pathModes: patterns searched in the decoded path whose requests are challenged and
    // checked with their own mode instead of mode.
    Authenticator(AuthMode mode, const std::vector<std::pair<std::string, AuthMode>>& pathModes,
                  const AccountStore& accounts);

    // `headers` are the lines as sent: the library percent-decodes header values, which
    // would change the Digest uri that the response hash covers.
    AuthOutcome check(const httplib::Request& req, const HeaderList& headers);
    // Fills a 401 with the challenges of the mode and an error body.
    void challenge(const httplib::Request& req, httplib::Response& res, const AuthOutcome& outcome);

private:
    AuthOutcome checkBasic(const std::string& credentials);
    AuthOutcome checkDigest(const httplib::Request& req, const std::string& params);

    std::string issueNonce();
    AuthMode modeFor(const std::string& path) const;

    struct NonceState {
        std::chrono::steady_clock::time_point issued;
        uint64_t lastCount = 0;
    };

    AuthMode mode_;
    std::vector<std::pair<std::regex, AuthMode>> pathModes_;
    const AccountStore& accounts_;
    std::string opaque_;
    std::mutex mutex_;
    std::map<std::string, NonceState> nonces_;
};
