#pragma once

#include <string>

// Makes a self-signed certificate for "localhost" and 127.0.0.1 (plus the bound address)
// so that clients can trust the emulator through a CA-file option with verification on.
class CertificateFactory {
public:
    // Writes PEM files; returns false with a message on failure.
    static bool writeSelfSigned(const std::string& certificatePath, const std::string& keyPath,
                                const std::string& address, std::string& error);
};
