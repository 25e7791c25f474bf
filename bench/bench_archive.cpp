// Archive build of a ~200 MB mixed tree (compressible text, random bytes,
// many small files, a few large ones) against `zip -r -q` of the same tree.
// Prints the median times and their ratio; asserts nothing.
#include "ArchiveBuilder.h"
#include "CLogWriter.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool put(const QString& path, const QByteArray& data) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

QByteArray randomBytes(QRandomGenerator& rng, qsizetype size) {
    QByteArray b(size, Qt::Uninitialized);
    rng.fillRange(reinterpret_cast<quint32*>(b.data()), size / 4);
    return b;
}

// Lines of words drawn from a small vocabulary: compresses like real text.
QByteArray text(QRandomGenerator& rng, qsizetype size) {
    static const char* words[] = {"invoice",  "総務部", "report",  "2024", "quarterly", "見積書",
                                  "customer", "total",  "amount",  "承認", "draft",     "final",
                                  "meeting",  "notes",  "project", "予算"};
    QByteArray out;
    out.reserve(size + 64);
    while (out.size() < size) {
        for (int w = 0; w < 12; ++w) {
            out += words[rng.bounded(16)];
            out += ' ';
        }
        out += QByteArray::number(rng.bounded(100000)) + "\n";
    }
    out.truncate(size);
    return out;
}

bool makeTree(const QString& root) {
    QRandomGenerator rng(20240607);
    bool ok = true;
    for (int d = 0; d < 40; ++d) {
        const QString dir = root + QStringLiteral("/docs/d%1").arg(d);
        ok = ok && QDir().mkpath(dir);
        for (int i = 0; i < 2; ++i)  // 80 x 1.1 MB of text
            ok = ok && put(dir + QStringLiteral("/report%1.txt").arg(i), text(rng, 1100 * 1024));
        for (int i = 0; i < 100; ++i)  // 4000 small files, half text, half binary
            ok = ok && put(dir + QStringLiteral("/.s%1").arg(i),
                           i % 2 ? text(rng, 2000) : randomBytes(rng, 2000));
    }
    ok = ok && QDir().mkpath(root + "/media/empty");
    for (int i = 0; i < 10; ++i)  // 10 x 4 MB of incompressible data
        ok = ok &&
             put(root + QStringLiteral("/media/photo%1.jpg").arg(i), randomBytes(rng, 4 << 20));
    for (int i = 0; i < 2; ++i)  // two large files: 25 MB random, 25 MB text
        ok = ok && put(root + QStringLiteral("/large%1.bin").arg(i),
                       i ? text(rng, 25 << 20) : randomBytes(rng, 25 << 20));
    return ok;
}

qint64 treeSize(const QString& root) {
    qint64 total = 0;
    QProcess du;
    du.start("du", {"-sb", root});
    if (du.waitForFinished(-1))
        total = du.readAllStandardOutput().split('\t').value(0).toLongLong();
    return total;
}

}  // namespace

int main() {
    TempDataHome home;  // the logger's store is the benchmark's own
    QTemporaryDir dir;
    const QString tree = dir.filePath("tree");
    const QString work = dir.filePath("tmp");
    QDir().mkpath(work);
    qputenv("TMPDIR", QFile::encodeName(work));
    if (!makeTree(tree)) {
        std::fprintf(stderr, "could not write the tree\n");
        return 1;
    }
    if (QStandardPaths::findExecutable("zip").isEmpty()) {
        std::fprintf(stderr, "zip is not installed (scripts/install-deps)\n");
        return 1;
    }

    UploadJob job;
    job.HotFolder = tree;
    job.CompressionFilename = "bench";
    CLogWriter logger(home.file("QuillonConfig.ini"));

    const int rounds = 3;
    std::vector<double> ours, zipTimes;
    qint64 ourSize = 0, zipSize = 0;
    for (int r = 0; r <= rounds; ++r) {  // round 0 warms the page cache
        QElapsedTimer t;
        t.start();
        const auto archive = ArchiveBuilder::BuildArchive(job, logger, nullptr);
        const double ms = t.nsecsElapsed() / 1e6;
        if (!archive) {
            std::fprintf(stderr, "BuildArchive failed\n");
            return 1;
        }
        ourSize = QFileInfo(archive->path).size();
        ArchiveBuilder::Cleanup(*archive);

        const QString zipPath = work + "/baseline.zip";
        QProcess zip;
        zip.setWorkingDirectory(tree);
        t.restart();
        zip.start("zip", {"-r", "-q", zipPath, "."});
        const bool zipOk = zip.waitForFinished(-1) && zip.exitCode() == 0;
        const double zipMs = t.nsecsElapsed() / 1e6;
        if (!zipOk) {
            std::fprintf(stderr, "zip failed\n");
            return 1;
        }
        zipSize = QFileInfo(zipPath).size();
        QFile::remove(zipPath);
        if (r > 0) {
            ours.push_back(ms);
            zipTimes.push_back(zipMs);
        }
    }
    const double a = median(ours), b = median(zipTimes);
    std::printf("tree: %.1f MB\n", treeSize(tree) / 1e6);
    std::printf("BuildArchive: %.0f ms, archive %.1f MB\n", a, ourSize / 1e6);
    std::printf("zip -r -q:    %.0f ms, archive %.1f MB\n", b, zipSize / 1e6);
    std::printf("ratio: %.2fx (target <= 1.5x)\n", a / b);
    QDir(tree).removeRecursively();
    return 0;
}
