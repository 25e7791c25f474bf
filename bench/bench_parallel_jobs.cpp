// Twenty jobs of 200 small files each, started by one scheduler tick of the
// tray window against the emulator, against the same twenty jobs started one
// after another through the same dispatch. Prints both times and the speed-up;
// asserts no time.
#include "CTrayWnd.h"

#include "ConfigPaths.h"
#include "ProfileFile.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "BenchSupport.h"
#include "EmulatorProcess.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

constexpr int kJobs = 20;
constexpr int kFiles = 200;
const QString kSucceeded = QStringLiteral("成功");

// The wall clock from a chosen moment on, so a tick falls in a chosen minute
// while start times still differ between runs.
class BenchClock : public Clock {
public:
    QDateTime now() const override { return base_.addMSecs(elapsed_.elapsed()); }
    void set(const QDateTime& base) {
        base_ = base;
        elapsed_.start();
    }

private:
    QDateTime base_ = QDateTime::currentDateTime();
    QElapsedTimer elapsed_;
};

class SilentPresenter : public TrayPresenter {
public:
    void setIcon(TrayIcon) override {}
    void showBalloon(const QString&) override {}
    void showMessage(const QString&) override {}
    bool ask(const QString&) override { return true; }
};

// Replaces the job list by twenty jobs due at 10:00 every day; each hot folder
// holds one sub-folder of small files, so each run also creates a folder.
bool writeJobs(const QString& root, const QString& phase, int jobs = kJobs) {
    CTorval2UploadList list(ConfigPath());
    if (!list.Load())
        return false;
    list.Clear();
    const QByteArray content(1024, 'q');
    for (int i = 0; i < jobs; ++i) {
        UploadJob job;
        job.Name = QStringLiteral("%1%2").arg(phase).arg(i + 1);
        job.HotFolder = root + QLatin1Char('/') + job.Name;
        const QString folder = job.HotFolder + QLatin1Char('/') + job.Name;
        QDir().mkpath(folder);
        for (int f = 0; f < kFiles; ++f) {
            QFile file(folder + QStringLiteral("/f%1.txt").arg(f));
            if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
                return false;
        }
        job.OrrinPortalFolder = QStringLiteral("/Velmora");
        job.SyncTime1Type = true;
        job.SyncTime1.hour = 10;
        job.SyncTime1Week = QStringLiteral("1111111");
        if (!list.AddJob(job))
            return false;
    }
    return list.Save();
}

// Runs the event loop until no run is under way (or ten minutes pass),
// without spinning: a busy wait would take a core from the runs it waits for.
bool waitForRuns(CTrayWnd& window) {
    QDeadlineTimer deadline(600000);
    // Sleeps until a result arrives; the timer only wakes it to see the deadline.
    QTimer wake;
    wake.start(1000);
    while (window.runsInUse() > 0 && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return window.runsInUse() == 0;
}

// Jobs that ended successfully, with all their files stored.
int finishedJobs(const EmulatorProcess& emulator, const QString& phase) {
    CTorval2UploadList list(ConfigPath());
    list.Load();
    int n = 0;
    for (int i = 0; UploadJob* job = list.GetJob(i); ++i) {
        const fs::path stored =
            emulator.repository() / "Velmora" / QString("%1%2").arg(phase).arg(i + 1).toStdString();
        std::error_code ec;
        int files = 0;
        for (auto it = fs::directory_iterator(stored, ec); !ec && it != fs::directory_iterator();
             it.increment(ec))
            ++files;
        n += job->LastUploadFlag == kSucceeded && !job->isUploading && files == kFiles;
    }
    return n;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    TempDataHome home;
    EmulatorProcess emulator("basic");
    if (!bench::readyEmulator(emulator))
        return 1;
    std::printf("== %d jobs of %d files of 1 KiB: one scheduler tick vs one after another\n", kJobs,
                kFiles);
    BenchClock clock;
    // A Monday, 10:00, the jobs' minute.
    const QDateTime due(QDate(2026, 1, 5), QTime(10, 0));
    clock.set(due);
    SilentPresenter presenter;
    CTrayWnd window(presenter, nullptr, clock);

    // One job first, so neither side meets a cold emulator or cold caches.
    if (!writeJobs(home.path(), QStringLiteral("warm"), 1) || !window.jobList().Load()) {
        std::fprintf(stderr, "cannot write the jobs\n");
        return 1;
    }
    window.StartUploadRun(*window.jobList().GetJob(0), 0);
    bool ended = waitForRuns(window);

    // One after another, each started as a tick would start it.
    if (!writeJobs(home.path(), QStringLiteral("seq")) || !window.jobList().Load()) {
        std::fprintf(stderr, "cannot write the jobs\n");
        return 1;
    }
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kJobs; ++i) {
        window.jobList().Load();
        UploadJob* job = window.jobList().GetJob(i);
        job->JobNumber = i + 1;
        window.StartUploadRun(*job, i);
        ended = waitForRuns(window) && ended;
    }
    const double oneByOne = bench::seconds(start);
    const int oneByOneDone = finishedJobs(emulator, QStringLiteral("seq"));

    // All in the same tick.
    if (!writeJobs(home.path(), QStringLiteral("tick"))) {
        std::fprintf(stderr, "cannot write the jobs\n");
        return 1;
    }
    clock.set(due.addDays(1));
    start = std::chrono::steady_clock::now();
    window.OnSchedulerTick();
    const int started = window.runsInUse();
    ended = waitForRuns(window) && ended;
    const double together = bench::seconds(start);
    const int togetherDone = finishedJobs(emulator, QStringLiteral("tick"));

    std::printf("  one after another: %6.2f s, %2d of %d jobs finished with all files\n", oneByOne,
                oneByOneDone, kJobs);
    std::printf(
        "  same tick:         %6.2f s, %2d of %d jobs finished with all files (%d started "
        "by the tick)\n",
        together, togetherDone, kJobs, started);
    std::printf("  speed-up: %.2fx\n", together > 0 ? oneByOne / together : 0.0);
    return ended && oneByOneDone == kJobs && togetherDone == kJobs ? 0 : 1;
}
