#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

// One torval2-emulator process on a free loopback port with its own data folder.
class EmulatorProcess {
public:
    static constexpr const char* kAccounts =
        "# test accounts\n"
        "taro@velmora:pa:ss word\n"
        "hanako@other:secret2\n";

    explicit EmulatorProcess(const std::string& authMode = "both",
                             const std::vector<std::string>& extraArgs = {});
    ~EmulatorProcess();
    EmulatorProcess(const EmulatorProcess&) = delete;
    EmulatorProcess& operator=(const EmulatorProcess&) = delete;

    bool started() const { return port_ > 0; }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    std::string baseUrl() const;
    std::filesystem::path dataFolder() const { return data_; }
    std::filesystem::path certificate() const { return data_ / "emulator-cert.pem"; }
    std::filesystem::path repository() const { return data_ / "repository"; }
    std::string firstLine() const { return firstLine_; }

    // Sends SIGTERM and waits (bounded); returns the exit code, or -1 when it did not exit
    // normally in time (it is then killed).
    int stop();

private:
    std::filesystem::path data_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::string firstLine_;
};
