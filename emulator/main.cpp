// torval2-emulator: a local stand-in for the TORVAL2 storage service, for tests, benchmarks
// and demonstrations. See README.md beside this file.

#include "AccountStore.h"
#include "CertificateFactory.h"
#include "EmulatorOptions.h"
#include "StorageEmulator.h"

#include <pthread.h>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    std::string error;
    auto parsed = ParseEmulatorOptions(argc, argv, error);
    if (!parsed) {
        std::fprintf(stderr, "torval2-emulator: %s\n%s", error.c_str(), EmulatorUsage());
        return 2;
    }
    EmulatorOptions options = *parsed;
    if (options.help) {
        std::fputs(EmulatorHelp(), stdout);
        return 0;
    }

    // Block the stop signals before any thread starts, so only the waiter below gets them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A client that goes away mid-reply must not kill the server.
    std::signal(SIGPIPE, SIG_IGN);

    std::error_code ec;
    fs::create_directories(options.dataFolder, ec);
    if (ec) {
        std::fprintf(stderr, "torval2-emulator: cannot create %s: %s\n", options.dataFolder.c_str(),
                     ec.message().c_str());
        return 1;
    }
    const fs::path data(options.dataFolder);
    if (options.accountsPath.empty()) {
        options.accountsPath = (data / "accounts.txt").string();
        if (!fs::exists(options.accountsPath) &&
            !AccountStore::writeDefault(options.accountsPath)) {
            std::fprintf(stderr, "torval2-emulator: cannot write %s\n",
                         options.accountsPath.c_str());
            return 1;
        }
    }
    AccountStore accounts;
    if (!accounts.load(options.accountsPath, error)) {
        std::fprintf(stderr, "torval2-emulator: %s\n", error.c_str());
        return 1;
    }
    std::string certificate = options.certificatePath;
    std::string key = options.keyPath;
    if (certificate.empty()) {
        certificate = (data / "emulator-cert.pem").string();
        key = (data / "emulator-key.pem").string();
        if (!CertificateFactory::writeSelfSigned(certificate, key, options.address, error)) {
            std::fprintf(stderr, "torval2-emulator: %s\n", error.c_str());
            return 1;
        }
    }

    StorageEmulator emulator(options, accounts, certificate, key);
    if (!emulator.bind(error)) {
        std::fprintf(stderr, "torval2-emulator: %s\n", error.c_str());
        return 1;
    }
    std::printf("listening on %s:%d\ncertificate %s\nauth %s\n", options.address.c_str(),
                emulator.port(), certificate.c_str(), AuthModeName(options.authMode));
    std::fflush(stdout);

    std::thread waiter([&] {
        int received = 0;
        sigwait(&stopSignals, &received);
        emulator.stop();
    });
    bool served = emulator.run();
    // Wakes the waiter when the server ended on its own.
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    return served ? 0 : 1;
}
