// Once its standard input ends (so that a test can start several at once),
// writes COUNT entries "<TAG><n>", each as a debug message through CLogWriter
// and as key = n in section [Race] of the user's settings file, as another
// program sharing both would. The exit code is the number of failed writes.
#include "CLogWriter.h"
#include "ConfigPaths.h"
#include "ProfileFile.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: concurrent_writer TAG COUNT\n");
        return 100;
    }
    const QString tag = QString::fromLocal8Bit(argv[1]);
    const int count = std::atoi(argv[2]);
    while (std::fgetc(stdin) != EOF) {
    }
    CLogWriter log;
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        const QString n = QString::number(i);
        failed += !log.Log(CLogWriter::LogDebug, tag + n);
        failed += !ProfileFile::writeString("Race", tag + n, n, ConfigPath());
    }
    return std::min(failed, 99);
}
