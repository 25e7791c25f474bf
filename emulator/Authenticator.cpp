#include "Authenticator.h"

#include "ErrorReply.h"

#include <httplib.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cctype>
#include <cstdio>

namespace {

// A nonce older than this is answered with stale=true, so clients retry without asking
// the user again.
constexpr auto kNonceLifetime = std::chrono::minutes(5);
constexpr size_t kNoncePruneThreshold = 10000;

std::string Hex(const unsigned char* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 0xf]);
    }
    return out;
}

std::string Md5Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(text.data(), text.size(), digest, &size, EVP_md5(), nullptr);
    return Hex(digest, size);
}

std::string RandomHex(size_t bytes) {
    std::string raw(bytes, '\0');
    RAND_bytes(reinterpret_cast<unsigned char*>(raw.data()), static_cast<int>(bytes));
    return Hex(reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
}

bool DecodeBase64(const std::string& in, std::string& out) {
    if (in.empty() || in.size() % 4 != 0)
        return false;
    out.assign(in.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(in.data()),
                            static_cast<int>(in.size()));
    if (n < 0)
        return false;
    // EVP_DecodeBlock counts the padding as zero bytes.
    size_t padding = (in.back() == '=') + (in.size() > 1 && in[in.size() - 2] == '=');
    out.resize(static_cast<size_t>(n) - padding);
    return true;
}

// auth-param list of RFC 7235: name=token or name="quoted string", comma separated.
std::map<std::string, std::string> ParseAuthParams(const std::string& text) {
    std::map<std::string, std::string> params;
    size_t i = 0;
    auto skipBlanks = [&] {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == ','))
            ++i;
    };
    while (true) {
        skipBlanks();
        size_t nameStart = i;
        while (i < text.size() && text[i] != '=' && text[i] != ',' && text[i] != ' ')
            ++i;
        if (i >= text.size() || text[i] != '=')
            break;
        std::string name = text.substr(nameStart, i - nameStart);
        for (auto& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        ++i;
        std::string value;
        if (i < text.size() && text[i] == '"') {
            ++i;
            while (i < text.size() && text[i] != '"') {
                if (text[i] == '\\' && i + 1 < text.size())
                    ++i;
                value.push_back(text[i++]);
            }
            ++i;
        } else {
            while (i < text.size() && text[i] != ',' && text[i] != ' ' && text[i] != '\t')
                value.push_back(text[i++]);
        }
        params[name] = value;
    }
    return params;
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

}  // namespace

Authenticator::Authenticator(AuthMode mode,
                             const std::vector<std::pair<std::string, AuthMode>>& pathModes,
                             const AccountStore& accounts)
    : mode_(mode), accounts_(accounts), opaque_(RandomHex(16)) {
    for (const auto& [pattern, pathMode] : pathModes)
        pathModes_.emplace_back(std::regex(pattern, std::regex::ECMAScript), pathMode);
}

AuthMode Authenticator::modeFor(const std::string& path) const {
    for (const auto& [pattern, mode] : pathModes_)
        if (std::regex_search(path, pattern))
            return mode;
    return mode_;
}

AuthOutcome Authenticator::check(const httplib::Request& req, const HeaderList& headers) {
    const AuthMode mode = modeFor(req.path);
    if (mode == AuthMode::None) {
        AuthOutcome outcome;
        outcome.account = &accounts_.accounts().front();
        outcome.scheme = "none";
        return outcome;
    }
    const std::string* found = nullptr;
    for (const auto& [name, value] : headers)
        if (StartsWithNoCase(name, "Authorization") && name.size() == 13)
            found = &value;
    if (found == nullptr) {
        AuthOutcome outcome;
        outcome.failure = "missing";
        return outcome;
    }
    const std::string header = *found;
    if (StartsWithNoCase(header, "Basic ")) {
        if (mode == AuthMode::Digest) {
            AuthOutcome outcome;
            outcome.failure = "scheme not offered";
            return outcome;
        }
        return checkBasic(header.substr(6));
    }
    if (StartsWithNoCase(header, "Digest ")) {
        if (mode == AuthMode::Basic) {
            AuthOutcome outcome;
            outcome.failure = "scheme not offered";
            return outcome;
        }
        return checkDigest(req, header.substr(7));
    }
    AuthOutcome outcome;
    outcome.failure = "unknown scheme";
    return outcome;
}

AuthOutcome Authenticator::checkBasic(const std::string& credentials) {
    AuthOutcome outcome;
    outcome.scheme = "basic";
    std::string decoded;
    auto colon = std::string::npos;
    if (!DecodeBase64(credentials, decoded) || (colon = decoded.find(':')) == std::string::npos) {
        outcome.failure = "malformed credentials";
        return outcome;
    }
    const Account* account = accounts_.find(decoded.substr(0, colon));
    std::string password = decoded.substr(colon + 1);
    if (account == nullptr || account->password.size() != password.size() ||
        CRYPTO_memcmp(account->password.data(), password.data(), password.size()) != 0) {
        outcome.failure = "wrong user or password";
        return outcome;
    }
    outcome.account = account;
    return outcome;
}

AuthOutcome Authenticator::checkDigest(const httplib::Request& req, const std::string& text) {
    AuthOutcome outcome;
    outcome.scheme = "digest";
    auto params = ParseAuthParams(text);
    auto get = [&](const char* name) {
        auto it = params.find(name);
        return it == params.end() ? std::string() : it->second;
    };
    const std::string nonce = get("nonce");
    const std::string nc = get("nc");
    const std::string algorithm = get("algorithm");
    if (get("realm") != kRealm || get("qop") != "auth" || get("opaque") != opaque_ ||
        (!algorithm.empty() && algorithm != "MD5") || nc.size() != 8 || get("cnonce").empty()) {
        outcome.failure = "malformed digest parameters";
        return outcome;
    }
    // The digest covers the request target; a mismatch would let a response be replayed
    // against another path.
    if (get("uri") != req.target) {
        outcome.failure = "digest uri does not match the request";
        return outcome;
    }
    unsigned long long count = 0;
    if (std::sscanf(nc.c_str(), "%8llx", &count) != 1 || count == 0) {
        outcome.failure = "bad nonce count";
        return outcome;
    }
    const Account* account = accounts_.find(get("username"));
    if (account == nullptr) {
        outcome.failure = "wrong user or password";
        return outcome;
    }
    const std::string ha1 = Md5Hex(account->login + ":" + kRealm + ":" + account->password);
    const std::string ha2 = Md5Hex(req.method + ":" + req.target);
    const std::string expected =
        Md5Hex(ha1 + ":" + nonce + ":" + nc + ":" + get("cnonce") + ":auth:" + ha2);
    const std::string response = get("response");
    if (response.size() != expected.size() ||
        CRYPTO_memcmp(response.data(), expected.data(), expected.size()) != 0) {
        outcome.failure = "wrong user or password";
        return outcome;
    }
    std::lock_guard lock(mutex_);
    auto it = nonces_.find(nonce);
    if (it == nonces_.end()) {
        outcome.failure = "unknown nonce";
        outcome.staleNonce = true;
        return outcome;
    }
    if (std::chrono::steady_clock::now() - it->second.issued > kNonceLifetime) {
        nonces_.erase(it);
        outcome.failure = "nonce expired";
        outcome.staleNonce = true;
        return outcome;
    }
    if (count <= it->second.lastCount) {
        outcome.failure = "nonce count replayed";
        return outcome;
    }
    it->second.lastCount = count;
    outcome.account = account;
    return outcome;
}

std::string Authenticator::issueNonce() {
    std::string nonce = RandomHex(16);
    auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex_);
    if (nonces_.size() > kNoncePruneThreshold) {
        std::erase_if(
            nonces_, [&](const auto& entry) { return now - entry.second.issued > kNonceLifetime; });
    }
    nonces_[nonce] = NonceState{now, 0};
    return nonce;
}

void Authenticator::challenge(const httplib::Request& req, httplib::Response& res,
                              const AuthOutcome& outcome) {
    SetErrorReply(res, 401, "AUTHENTICATION_FAILED", "認証に失敗しました。");
    const AuthMode mode = modeFor(req.path);
    if (mode == AuthMode::Digest || mode == AuthMode::Both) {
        std::string value = std::string("Digest realm=\"") + kRealm +
                            "\", qop=\"auth\", algorithm=MD5, nonce=\"" + issueNonce() +
                            "\", opaque=\"" + opaque_ + "\"";
        if (outcome.staleNonce)
            value += ", stale=true";
        res.headers.emplace("WWW-Authenticate", value);
    }
    if (mode == AuthMode::Basic || mode == AuthMode::Both) {
        res.headers.emplace("WWW-Authenticate",
                            std::string("Basic realm=\"") + kRealm + "\", charset=\"UTF-8\"");
    }
}
