// Save of a full job list followed by Load, against writing the same file
// once with QSaveFile. Prints times and their ratio; asserts nothing.
#include "CTorval2UploadList.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSaveFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main() {
    QTemporaryDir dir;
    const QString path = dir.filePath("QuillonConfig.ini");
    CTorval2UploadList list(path);
    for (int i = 0; i < CTorval2UploadList::kMaxJobs; ++i) {
        UploadJob j;
        j.Name = QStringLiteral("経理 バックアップ %1").arg(i);
        j.HotFolder = QStringLiteral("/home/user/書類/フォルダ%1").arg(i);
        j.OrrinPortalFolder = QStringLiteral("/Velmora/部署/%1").arg(i);
        j.SyncTime1Type = true;
        j.SyncTime1Week = QStringLiteral("1111100");
        list.AddJob(j);
    }
    list.Save();
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    const QByteArray bytes = f.readAll();
    f.close();

    const int rounds = 50;
    std::vector<double> saveLoad, baseline;
    for (int r = 0; r < rounds; ++r) {
        // Alternate a value so every Save really rewrites the file.
        list.GetJob(0)->Name = QStringLiteral("round %1").arg(r);
        QElapsedTimer t;
        t.start();
        if (!list.Save() || !list.Load()) {
            std::fprintf(stderr, "save/load failed\n");
            return 1;
        }
        saveLoad.push_back(t.nsecsElapsed() / 1e6);

        QElapsedTimer b;
        b.start();
        QSaveFile s(dir.filePath("baseline.ini"));
        s.open(QIODevice::WriteOnly);
        s.write(bytes);
        s.commit();
        baseline.push_back(b.nsecsElapsed() / 1e6);
    }
    const double a = median(saveLoad);
    const double base = median(baseline);
    std::printf("job list Save+Load of 20 jobs (%lld bytes): %.3f ms median of %d\n",
                static_cast<long long>(bytes.size()), a, rounds);
    std::printf("QSaveFile write of the same file:           %.3f ms median\n", base);
    std::printf("ratio: %.2fx (target <= 5x)\n", a / base);
    return 0;
}
