// Memory of one process that runs the same job 200 times in a row against the
// emulator, each run sending three changed files: resident memory after a
// warm-up against the end, so a leak per run shows as growth. Asserts no time.
#include "CLogWriter.h"
#include "UploadTask.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdio>

#include "BenchSupport.h"
#include "EmulatorProcess.h"
#include "TestSupport.h"

namespace {

constexpr int kRuns = 200;
constexpr int kWarmUp = 10;
constexpr int kFiles = 3;

// New content and a new time for every file, so each run sends them all.
bool touchFiles(const QString& folder, int run) {
    const QDateTime when = QDateTime(QDate(2026, 1, 5), QTime(9, 0)).addSecs(run);
    for (int f = 0; f < kFiles; ++f) {
        QFile file(folder + QStringLiteral("/f%1.txt").arg(f));
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(QByteArray("run ") + QByteArray::number(run)) < 0 || !file.flush() ||
            !file.setFileTime(when, QFileDevice::FileModificationTime))
            return false;
    }
    return true;
}

struct Memory {
    long rssKiB;
    size_t heapBytes;  // allocated and not freed, as malloc counts it
};

Memory memoryNow() {
    return {bench::statusKiB("VmRSS"), mallinfo2().uordblks};
}

}  // namespace

int main() {
    TempDataHome home;
    EmulatorProcess emulator("basic");
    if (!bench::readyEmulator(emulator))
        return 1;
    UploadJob job;
    job.Name = QStringLiteral("repeat");
    job.HotFolder = home.path() + QStringLiteral("/hot");
    job.OrrinPortalFolder = QStringLiteral("/Velmora");
    job.UniqueId = QStringLiteral("1700000000_000_7");
    job.JobNumber = 1;
    QDir().mkpath(job.HotFolder);

    std::printf("== %d upload runs of one job (%d changed files each) in one process\n", kRuns,
                kFiles);
    std::atomic<int> stop{0};
    CLogWriter logger;
    int failed = 0;
    int empty = 0;
    Memory warm{};
    const auto start = std::chrono::steady_clock::now();
    double warmSeconds = 0;
    for (int run = 1; run <= kRuns; ++run) {
        if (!touchFiles(job.HotFolder, run)) {
            std::fprintf(stderr, "cannot write the hot folder\n");
            return 1;
        }
        const TaskBlock block = RunUploadAndWait(job, 0, stop, logger);
        failed += !block.job || block.job->LastUploadFlag != QStringLiteral("成功");
        empty += block.filesFlag == 0;
        if (run == kWarmUp) {
            warm = memoryNow();
            warmSeconds = bench::seconds(start);
        }
    }
    const Memory end = memoryNow();
    const double perRun = (bench::seconds(start) - warmSeconds) / (kRuns - kWarmUp);
    const double growth = bench::mib(end.rssKiB - warm.rssKiB);
    const double heapGrowth = (static_cast<double>(end.heapBytes) - warm.heapBytes) / (1 << 20);
    std::printf("  %d failed, %d sent nothing; %.0f ms per run\n", failed, empty, perRun * 1000);
    std::printf("  resident after run %d: %.1f MiB, after run %d: %.1f MiB\n", kWarmUp,
                bench::mib(warm.rssKiB), kRuns, bench::mib(end.rssKiB));
    std::printf(
        "  growth over %d runs: %.2f MiB resident (target < 5 MiB), %.2f MiB heap in use, "
        "%.1f KiB heap per run\n",
        kRuns - kWarmUp, growth, heapGrowth, heapGrowth * 1024 / (kRuns - kWarmUp));
    return failed == 0 && empty == 0 ? 0 : 1;
}
