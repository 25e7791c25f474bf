// Logs COUNT information messages "<TAG><n>" through CLogWriter, as the
// other program sharing the event store would. Starts writing when its
// standard input ends, so that a test can start several at once. The exit
// code is the number of messages that could not be written.
#include "CLogWriter.h"

#include <QString>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: log_writer TAG COUNT\n");
        return 100;
    }
    const QString tag = QString::fromLocal8Bit(argv[1]);
    const int count = std::atoi(argv[2]);
    while (std::fgetc(stdin) != EOF) {
    }
    CLogWriter log;
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        if (!log.Log(CLogWriter::LogInfo, tag + QString::number(i)))
            ++failed;
    }
    return std::min(failed, 99);
}
