#include "EmulatorProcess.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

EmulatorProcess::EmulatorProcess(const std::string& authMode,
                                 const std::vector<std::string>& extraArgs) {
    std::string pattern = (fs::temp_directory_path() / "torval2-emulator-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        return;
    data_ = pattern;
    const fs::path accounts = data_ / "test-accounts.txt";
    std::ofstream(accounts) << kAccounts;

    std::vector<std::string> args = {
        TORVAL2_EMULATOR, "--data",     data_.string(),    "--port", "0",     "--address",
        "127.0.0.1",      "--accounts", accounts.string(), "--auth", authMode};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    int out[2];
    if (pipe(out) != 0)
        return;
    pid_ = fork();
    if (pid_ == 0) {
        // A test that crashes must not leave its emulator behind.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    // Sanitizer builds start slowly on a busy machine; the bound only catches a hang.
    // The emulator writes its first line whole, or ends (end of file).
    pollfd ready{out[0], POLLIN, 0};
    FILE* output = fdopen(out[0], "r");
    char line[256] = "";
    if (poll(&ready, 1, 30000) == 1 && std::fgets(line, sizeof line, output) != nullptr)
        firstLine_ = std::string(line, std::strcspn(line, "\n"));
    std::fclose(output);
    const std::string prefix = "listening on 127.0.0.1:";
    if (firstLine_.rfind(prefix, 0) == 0)
        port_ = std::atoi(firstLine_.c_str() + prefix.size());
}

EmulatorProcess::~EmulatorProcess() {
    stop();
    std::error_code ec;
    if (!data_.empty())
        fs::remove_all(data_, ec);
}

std::string EmulatorProcess::baseUrl() const {
    return "https://127.0.0.1:" + std::to_string(port_);
}

int EmulatorProcess::stop() {
    if (pid_ <= 0)
        return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 1500 && (done = waitpid(pid_, &status, WNOHANG)) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (done != pid_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
    const bool exited = done == pid_ && WIFEXITED(status);
    pid_ = -1;
    return exited ? WEXITSTATUS(status) : -1;
}
