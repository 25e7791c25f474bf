#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

enum class AuthMode { Basic, Digest, Both, None };

// Command line of torval2-emulator.
struct EmulatorOptions {
    std::string dataFolder;
    std::string address = "127.0.0.1";
    int port = 0;  // 0: the system picks a free port, printed on the first output line
    std::string certificatePath;  // both empty: a self-signed pair is made in the data folder
    std::string keyPath;
    std::string accountsPath;  // empty: <data>/accounts.txt, created with a default account
    AuthMode authMode = AuthMode::Both;
    // Paths (ECMAScript pattern searched in the decoded path) challenged with another
    // mode than authMode, as a front end of its own would; the first match counts.
    std::vector<std::pair<std::string, AuthMode>> authPaths;
    int threads = 64;
    std::string filesFolder;  // served without authentication below /files/; empty: none
    bool help = false;        // --help: print EmulatorHelp() and end, nothing else is read
};

// Parses argv; on a usage error returns nothing and fills the message.
std::optional<EmulatorOptions> ParseEmulatorOptions(int argc, char** argv, std::string& error);
const char* EmulatorUsage();
// The usage followed by how accounts are made and where the certificate goes.
const char* EmulatorHelp();
const char* AuthModeName(AuthMode mode);
std::optional<AuthMode> ParseAuthMode(const std::string& name);
