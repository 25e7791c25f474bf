#include "EmulatorOptions.h"

#include <charconv>
#include <regex>
#include <string_view>

namespace {

bool ParseInt(const std::string& text, int low, int high, int& out) {
    int value = 0;
    const auto* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || value < low || value > high)
        return false;
    out = value;
    return true;
}

}  // namespace

const char* EmulatorUsage() {
    return "usage: torval2-emulator --data DIR [--address ADDR] [--port N] [--cert FILE --key "
           "FILE]\n"
           "                        [--accounts FILE] [--auth basic|digest|both|none] [--threads "
           "N]\n"
           "                        [--files DIR]\n"
           "                        [--auth-path PATTERN=basic|digest|both|none]...\n";
}

const char* EmulatorHelp() {
    static const std::string help =
        std::string(EmulatorUsage()) +
        "\n"
        "A local HTTPS stand-in for the TORVAL2 storage service, for tests and demos.\n"
        "\n"
        "Accounts: one per line of the accounts file, user@portal:password, read at\n"
        "start. Without --accounts it is DIR/accounts.txt, written with the account\n"
        "tester@velmora:tester-pass when missing; add lines there and start again.\n"
        "\n"
        "Certificate: without --cert and --key a self-signed pair for localhost and\n"
        "the address is written at every start to DIR/emulator-cert.pem and\n"
        "DIR/emulator-key.pem; clients trust DIR/emulator-cert.pem as their CA file\n"
        "(CAFile in [AutoUpload] of Quillon.ini, curl --cacert).\n"
        "\n"
        "Output: \"listening on ADDR:PORT\", \"certificate FILE\", \"auth MODE\".\n"
        "SIGTERM or SIGINT stops it.\n";
    return help.c_str();
}

const char* AuthModeName(AuthMode mode) {
    switch (mode) {
        case AuthMode::Basic:
            return "basic";
        case AuthMode::Digest:
            return "digest";
        case AuthMode::Both:
            return "both";
        case AuthMode::None:
            return "none";
    }
    return "?";
}

std::optional<AuthMode> ParseAuthMode(const std::string& name) {
    for (AuthMode mode : {AuthMode::Basic, AuthMode::Digest, AuthMode::Both, AuthMode::None})
        if (name == AuthModeName(mode))
            return mode;
    return std::nullopt;
}

std::optional<EmulatorOptions> ParseEmulatorOptions(int argc, char** argv, std::string& error) {
    EmulatorOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        // Both "--name value" and "--name=value".
        if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
            return options;
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            error = "missing value for " + arg;
            return std::nullopt;
        }
        if (arg == "--data") {
            options.dataFolder = value;
        } else if (arg == "--address") {
            options.address = value;
        } else if (arg == "--port") {
            if (!ParseInt(value, 0, 65535, options.port)) {
                error = "bad port: " + value;
                return std::nullopt;
            }
        } else if (arg == "--cert") {
            options.certificatePath = value;
        } else if (arg == "--key") {
            options.keyPath = value;
        } else if (arg == "--files") {
            options.filesFolder = value;
        } else if (arg == "--accounts") {
            options.accountsPath = value;
        } else if (arg == "--threads") {
            if (!ParseInt(value, 2, 1024, options.threads)) {
                error = "bad thread count: " + value;
                return std::nullopt;
            }
        } else if (arg == "--auth") {
            const auto mode = ParseAuthMode(value);
            if (!mode) {
                error = "bad auth mode: " + value;
                return std::nullopt;
            }
            options.authMode = *mode;
        } else if (arg == "--auth-path") {
            const auto eq = value.rfind('=');
            const auto mode =
                eq == std::string::npos ? std::nullopt : ParseAuthMode(value.substr(eq + 1));
            bool valid = mode && eq > 0;
            try {
                if (valid)
                    std::regex(value.substr(0, eq), std::regex::ECMAScript);
            } catch (const std::regex_error&) {
                valid = false;
            }
            if (!valid) {
                error = "bad auth path rule: " + value;
                return std::nullopt;
            }
            options.authPaths.emplace_back(value.substr(0, eq), *mode);
        } else {
            error = "unknown option " + arg;
            return std::nullopt;
        }
    }
    if (options.dataFolder.empty()) {
        error = "--data is required";
        return std::nullopt;
    }
    if (options.certificatePath.empty() != options.keyPath.empty()) {
        error = "--cert and --key go together";
        return std::nullopt;
    }
    return options;
}
