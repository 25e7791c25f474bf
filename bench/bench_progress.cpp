// What progress reporting costs an upload run: a first run of 10,000 files
// of 1 KiB and a first run of one 1 GiB file, each with a progress record
// read twice a second as the tray reads it, against the same run without a
// record, in one build on one emulator. Prints times and ratios; asserts no
// time. The ratios are only as steady as the machine: on a busy one, run it
// again.
#include "CLogWriter.h"
#include "UploadTask.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "EmulatorProcess.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

constexpr int kSmallFiles = 10000;
constexpr int kSmallSize = 1024;
constexpr int kFolders = 100;

// Reads the record every 500 ms and formats its line, as the tray does.
class TrayReader {
public:
    explicit TrayReader(TaskProgress* progress) : progress_(progress) {
        if (progress_)
            thread_ = std::thread([this] { loop(); });
    }
    ~TrayReader() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }
    int reads() const { return reads_; }

private:
    void loop() {
        std::unique_lock lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::milliseconds(500), [this] { return done_; })) {
            lengths_ += ProgressLine(QStringLiteral("bench"), progress_->snapshot()).size();
            ++reads_;
        }
    }
    TaskProgress* progress_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::atomic<int> reads_{0};
    qsizetype lengths_ = 0;
    std::thread thread_;
};

struct Outcome {
    double seconds = 0;
    bool ok = false;
};

// A first run of job into a destination of its own: a new unique id, so no
// previous snapshot exists and every file is sent.
Outcome firstRun(const EmulatorProcess& emulator, UploadJob job, int run, bool progress,
                 const std::atomic<int>& stop, CLogWriter& logger, quint64 expectedFiles) {
    const QString folder = QStringLiteral("run%1").arg(run);
    fs::create_directories(emulator.repository() / "Velmora" / folder.toStdString());
    job.OrrinPortalFolder = QStringLiteral("/Velmora/") + folder;
    job.UniqueId = QStringLiteral("1700000000_%1_7").arg(run, 3, 10, QLatin1Char('0'));
    auto record = progress ? std::make_shared<TaskProgress>() : nullptr;
    Outcome out;
    {
        TrayReader reader(record.get());
        const auto start = std::chrono::steady_clock::now();
        const TaskBlock block =
            RunUploadAndWait(job, 0, stop, logger, nullptr, Clock::system(), record);
        out.seconds = bench::seconds(start);
        out.ok = block.job && block.job->LastUploadFlag == QStringLiteral("成功");
    }
    if (record) {
        const ProgressSnapshot s = record->snapshot();
        out.ok = out.ok && s.filesDone == expectedFiles && s.filesTotal == expectedFiles;
    }
    // The stored copies go at once to bound disk use.
    std::error_code ec;
    fs::remove_all(emulator.repository() / "Velmora" / folder.toStdString(), ec);
    return out;
}

// A warm-up run, then kPairs pairs of runs, the order flipping from pair to
// pair so drift in the machine's load and caches falls on both sides alike.
// Prints each run, the ratio of the best with reporting to the best without
// and the median of the pairs' ratios.
constexpr int kPairs = 4;

bool compare(const char* title, const EmulatorProcess& emulator, const UploadJob& job, int& run,
             CLogWriter& logger, quint64 files) {
    std::printf("== %s\n", title);
    std::atomic<int> stop{0};
    bool ok = firstRun(emulator, job, ++run, false, stop, logger, files).ok;
    double best[2] = {1e300, 1e300};
    std::vector<double> ratios;
    for (int pair = 0; pair < kPairs; ++pair) {
        double pairTime[2] = {0, 0};
        for (const bool progress : {pair % 2 == 1, pair % 2 == 0}) {
            const Outcome o = firstRun(emulator, job, ++run, progress, stop, logger, files);
            ok = ok && o.ok;
            pairTime[progress] = o.seconds;
            best[progress] = std::min(best[progress], o.seconds);
            std::printf("  %-13s %8.2f s%s\n", progress ? "progress:" : "no progress:", o.seconds,
                        o.ok ? "" : " FAILED");
        }
        ratios.push_back(pairTime[1] / pairTime[0]);
    }
    std::sort(ratios.begin(), ratios.end());
    const double median = (ratios[kPairs / 2 - 1] + ratios[kPairs / 2]) / 2;
    std::printf("  best of %d each: %.2f s without, %.2f s with; ratio %.3fx (target <= 1.03x)\n",
                kPairs, best[0], best[1], best[1] / best[0]);
    std::printf("  median ratio of the %d pairs: %.3fx\n", kPairs, median);
    return ok;
}

}  // namespace

int main() {
    TempDataHome home;
    EmulatorProcess emulator("basic");
    if (!bench::readyEmulator(emulator))
        return 1;
    CLogWriter logger;
    int run = 0;

    UploadJob job;
    job.Name = QStringLiteral("progress");
    job.JobNumber = 1;
    job.HotFolder = home.path() + QStringLiteral("/small");
    const QByteArray content(kSmallSize, 'x');
    for (int i = 0; i < kSmallFiles; ++i) {
        const QString dir = job.HotFolder + QStringLiteral("/d%1").arg(i % kFolders);
        QDir().mkpath(dir);
        QFile f(dir + QStringLiteral("/f%1.bin").arg(i));
        if (!f.open(QIODevice::WriteOnly) || f.write(content) != kSmallSize) {
            std::fprintf(stderr, "cannot write the hot folder\n");
            return 1;
        }
    }
    bool ok =
        compare("first run of 10,000 files of 1 KiB", emulator, job, run, logger, kSmallFiles);
    QDir(job.HotFolder).removeRecursively();

    // Sparse: quick to make, and the disk is spared a write on this side.
    job.HotFolder = home.path() + QStringLiteral("/large");
    QDir().mkpath(job.HotFolder);
    const std::string big = (job.HotFolder + QStringLiteral("/large.bin")).toStdString();
    std::error_code ec;
    const fs::space_info space = fs::space(home.path().toStdString(), ec);
    off_t size = off_t{1} << 30;
    if (ec || space.available < (uintmax_t{3} << 30)) {
        size = off_t{256} << 20;
        std::printf("less than 3 GiB free: using 256 MiB instead of 1 GiB\n");
    }
    const int fd = ::open(big.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    if (fd < 0 || ::ftruncate(fd, size) != 0) {
        std::fprintf(stderr, "cannot create %s\n", big.c_str());
        return 1;
    }
    ::close(fd);
    ok = compare("first run of one file of 1 GiB", emulator, job, run, logger, 1) && ok;
    fs::remove(big, ec);
    return ok ? 0 : 1;
}
