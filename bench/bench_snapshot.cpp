// (1) The comparison of a run (read current, look up in the previous
// snapshot, decide unchanged, write result) per entry at 10,000, 100,000 and
// 1,000,000 entries, with the peak memory after the largest; (2) the walk and
// write of a 100,000-file tree against find(1) printing the same fields.
// Prints times and ratios; asserts nothing.
#include "LocalSnapshot.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace LocalSnapshot;

namespace {

const QString kHot = QStringLiteral("/home/user/データ/backup");

long peakKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

// Folders of 100 files each, as a walk would list them.
void generate(const QString& path, int entries) {
    Writer w(path);
    QString line;
    for (int i = 0; i < entries; ++i) {
        if (i % 100 == 0)
            line = QStringLiteral("0\t%1/folder%2\t0\t1700000000")
                       .arg(kHot)
                       .arg(i / 100, 5, 10, QLatin1Char('0'));
        else
            line = QStringLiteral("1\t%1/folder%2/document_%3.xlsx\t%4\t1700000000")
                       .arg(kHot)
                       .arg(i / 100, 5, 10, QLatin1Char('0'))
                       .arg(i, 7, 10, QLatin1Char('0'))
                       .arg(i * 37);
        w.write(line);
    }
    w.close();
}

// Returns the number of unchanged files, so nothing is optimised away.
qint64 compare(const QString& current, const QString& previous, const QString& result) {
    Reader reader(current);
    Writer writer(result);
    const PreviousIndex index(previous);
    QString line;
    qint64 unchanged = 0;
    while (reader.next(line)) {
        const std::optional<TreeEntry> e = ParseEntry(line, kHot, QStringLiteral("/backup"));
        if (!e)
            continue;
        if (IsUnchanged(*e, index, false)) {
            ++unchanged;
            writer.write(line);
        } else if (e->isFolder()) {
            writer.write(line);  // the folder request succeeded
        }
    }
    writer.close();
    return unchanged;
}

// Best total time of one comparison over a generated snapshot of entries lines.
double bestTotalNs(const QTemporaryDir& dir, int entries, int rounds) {
    const QString current = dir.filePath(QStringLiteral("current.csv"));
    const QString previous = dir.filePath(QStringLiteral("previous.csv"));
    const QString result = dir.filePath(QStringLiteral("result.csv"));
    generate(current, entries);
    QFile::remove(previous);
    QFile::copy(current, previous);
    double best = 1e300;
    for (int r = 0; r < rounds; ++r) {
        QElapsedTimer t;
        t.start();
        const qint64 unchanged = compare(current, previous, result);
        best = std::min(best, static_cast<double>(t.nsecsElapsed()));
        if (unchanged != entries - (entries + 99) / 100)
            std::fprintf(stderr, "unexpected count %lld\n", static_cast<long long>(unchanged));
    }
    return best;
}

// Cost per entry without the fixed cost of a run (opening, syncing and
// closing three files), which would otherwise dominate the smallest size.
double benchComparison(const QTemporaryDir& dir, int entries, int rounds, double fixedNs) {
    const double total = bestTotalNs(dir, entries, rounds);
    const double ns = std::max(0.0, total - fixedNs) / entries;
    std::printf("comparison %9d entries: %7.1f ns/entry (%.1f ms in all)\n", entries, ns,
                total / 1e6);
    std::fflush(stdout);
    return ns;
}

double seconds(const QElapsedTimer& t) {
    return static_cast<double>(t.nsecsElapsed()) / 1e9;
}

}  // namespace

int main() {
    QTemporaryDir dir(qEnvironmentVariable("BENCH_DIR", QStringLiteral("/tmp")) +
                      QStringLiteral("/bench_snapshot_XXXXXX"));
    if (!dir.isValid())
        return 1;

    // (1) comparison
    const double fixedNs = bestTotalNs(dir, 0, 20);
    std::printf("fixed cost of a comparison (no entries): %.2f ms\n", fixedNs / 1e6);
    const double small = benchComparison(dir, 10000, 10, fixedNs);
    const double middle = benchComparison(dir, 100000, 3, fixedNs);
    const double large = benchComparison(dir, 1000000, 1, fixedNs);
    const double lo = std::min({small, middle, large});
    const double hi = std::max({small, middle, large});
    std::printf("largest/smallest per-entry cost: %.2fx (target <= 1.5x)\n", hi / lo);
    std::printf("peak memory after 1,000,000 entries (VmHWM): %.1f MiB (target < 400 MiB)\n",
                peakKiB() / 1024.0);
    QFile::remove(dir.filePath(QStringLiteral("current.csv")));
    QFile::remove(dir.filePath(QStringLiteral("previous.csv")));
    QFile::remove(dir.filePath(QStringLiteral("result.csv")));

    // (2) walk: 100,000 files in 1,000 folders
    const QString tree = dir.filePath(QStringLiteral("tree"));
    for (int f = 0; f < 1000; ++f) {
        const QString folder = tree + QStringLiteral("/folder%1").arg(f, 4, 10, QLatin1Char('0'));
        QDir().mkpath(folder);
        for (int i = 0; i < 100; ++i) {
            const QByteArray name = QFile::encodeName(
                folder + QStringLiteral("/file_%1.dat").arg(i, 3, 10, QLatin1Char('0')));
            const int fd = ::open(name.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            if (fd >= 0) {
                ::write(fd, "data", static_cast<size_t>(i % 5));
                ::close(fd);
            }
        }
    }
    const QString findOut = dir.filePath(QStringLiteral("find.txt"));
    const QByteArray findCommand = "find '" + QFile::encodeName(tree) +
                                   "' -printf '%y\\t%p\\t%s\\t%T@\\n' > '" +
                                   QFile::encodeName(findOut) + "'";
    if (std::system(findCommand.constData()) != 0)  // warms the caches
        std::fprintf(stderr, "find failed\n");
    double walkBest = 1e300, findBest = 1e300;
    for (int r = 0; r < 5; ++r) {
        QElapsedTimer t;
        t.start();
        UploadTally tally;
        WriteSnapshot(dir.filePath(QStringLiteral("walk.csv")), tree, tally);
        walkBest = std::min(walkBest, seconds(t));
        if (tally.counters.filesTotal != 100000)
            std::fprintf(stderr, "walk counted %llu files\n",
                         static_cast<unsigned long long>(tally.counters.filesTotal));
        t.start();
        std::system(findCommand.constData());
        findBest = std::min(findBest, seconds(t));
    }
    std::printf("walk + write of 100,000 files: %.3f s; find: %.3f s; ratio %.2fx (target <= 3x)\n",
                walkBest, findBest, walkBest / findBest);
    dir.remove();
    return 0;
}
