// What the client costs while it waits: Quillon with 20 jobs, none due, next
// to a minimal tray program (one icon, a menu, two timers), both offscreen and
// measured in the same run. Prints peak resident memory and CPU seconds of
// each and their ratios; asserts no time.
//
// The window lasts QUILLON_BENCH_IDLE_SECONDS seconds, or the first argument,
// 300 by default.
#include "CTorval2UploadList.h"
#include "ConfigPaths.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "BenchSupport.h"
#include "EmulatorProcess.h"
#include "TestSupport.h"

namespace {

constexpr int kJobs = 20;

pid_t start(const char* program) {
    const pid_t pid = fork();
    if (pid == 0) {
        execl(program, program, static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// User plus system CPU seconds of a live process; -1 when unreadable.
double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i)
        fields >> skip;
    long long utime = 0, stime = 0;
    if (!(fields >> utime >> stime))
        return -1;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Outcome {
    bool alive = false;
    long peakKiB = -1;
    double cpuSettled = -1;  // CPU seconds after start-up settled
    double cpuTotal = -1;
};

// Ends the process and collects its peak memory and total CPU time.
Outcome finish(pid_t pid, double cpuSettled) {
    Outcome o;
    o.cpuSettled = cpuSettled;
    int status = 0;
    rusage usage{};
    o.alive = wait4(pid, &status, WNOHANG, &usage) == 0;
    if (o.alive) {
        kill(pid, SIGTERM);
        wait4(pid, &status, 0, &usage);
    }
    o.peakKiB = usage.ru_maxrss;
    o.cpuTotal = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return o;
}

// Twenty jobs with a few files each, scheduled twelve hours away, so none
// fires during the window.
bool writeJobs(const QString& root) {
    CTorval2UploadList list(ConfigPath());
    if (!list.Load())
        return false;
    const QDateTime later = QDateTime::currentDateTime().addSecs(12 * 3600);
    for (int i = 0; i < kJobs; ++i) {
        UploadJob job;
        job.Name = QStringLiteral("job%1").arg(i + 1);
        job.HotFolder = root + QStringLiteral("/hot%1").arg(i + 1);
        QDir().mkpath(job.HotFolder);
        for (int f = 0; f < 5; ++f) {
            QFile file(job.HotFolder + QStringLiteral("/f%1.txt").arg(f));
            if (!file.open(QIODevice::WriteOnly) || file.write("idle") != 4)
                return false;
        }
        job.OrrinPortalFolder = QStringLiteral("/Velmora");
        job.SyncTime1Type = true;
        job.SyncTime1.hour = static_cast<quint16>(later.time().hour());
        job.SyncTime1.minute = static_cast<quint16>(later.time().minute());
        job.SyncTime1Week = QStringLiteral("1111111");
        if (!list.AddJob(job))
            return false;
    }
    return list.Save();
}

int windowSeconds(int argc, char* argv[]) {
    const char* text = argc > 1 ? argv[1] : std::getenv("QUILLON_BENCH_IDLE_SECONDS");
    const int n = text ? std::atoi(text) : 300;
    return n > 0 ? n : 300;
}

}  // namespace

int main(int argc, char* argv[]) {
    const int window = windowSeconds(argc, argv);
    TempDataHome home;
    QTemporaryDir runtime;
    EmulatorProcess emulator("basic");
    if (!runtime.isValid() || !bench::readyEmulator(emulator))
        return 1;
    if (!writeJobs(home.path())) {
        std::fprintf(stderr, "cannot write the settings files\n");
        return 1;
    }
    QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    qputenv("QT_QPA_PLATFORM", "offscreen");

    std::printf("== idle for %d s with %d jobs configured, offscreen: Quillon vs %s\n", window,
                kJobs, IDLE_BASELINE);
    std::fflush(stdout);
    const pid_t client = start(QUILLON_PROGRAM);
    const pid_t baseline = start(IDLE_BASELINE);
    // Start-up (the first block and guest share checks) is over by then.
    const int settle = std::min(10, window / 3);
    std::this_thread::sleep_for(std::chrono::seconds(settle));
    const double clientAtSettle = cpuSeconds(client);
    const double baselineAtSettle = cpuSeconds(baseline);
    std::this_thread::sleep_for(std::chrono::seconds(window - settle));
    const double clientCpu = cpuSeconds(client) - clientAtSettle;
    const double baselineCpu = cpuSeconds(baseline) - baselineAtSettle;
    const Outcome c = finish(client, clientCpu);
    const Outcome b = finish(baseline, baselineCpu);

    const auto row = [](const char* who, const Outcome& o) {
        std::printf("  %-9s peak RSS %7.1f MiB, CPU %6.3f s in all, %6.3f s idle%s\n", who,
                    bench::mib(o.peakKiB), o.cpuTotal, o.cpuSettled,
                    o.alive ? "" : "  (EXITED EARLY)");
    };
    row("Quillon", c);
    row("baseline", b);
    std::printf("  peak memory ratio Quillon/baseline: %.2fx (target <= 1.5x)\n",
                b.peakKiB > 0 ? static_cast<double>(c.peakKiB) / b.peakKiB : 0.0);
    std::printf(
        "  idle CPU (after the first %d s): Quillon %.3f s, baseline %.3f s, "
        "difference %+.3f s over %d s (target: within noise)\n",
        settle, c.cpuSettled, b.cpuSettled, c.cpuSettled - b.cpuSettled, window - settle);
    std::printf("  CPU in all, start-up included: ratio %.2fx\n",
                b.cpuTotal > 0 ? c.cpuTotal / b.cpuTotal : 0.0);
    return c.alive && b.alive ? 0 : 1;
}
