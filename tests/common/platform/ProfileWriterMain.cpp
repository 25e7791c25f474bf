// Writes COUNT keys "<PREFIX><n>" = n into section [Race] of FILE, one
// write call each, as a second program sharing the settings file would.
#include "ProfileFile.h"

#include <QString>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[]) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: profile_writer FILE PREFIX COUNT\n");
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    const QString prefix = QString::fromLocal8Bit(argv[2]);
    const int count = std::atoi(argv[3]);
    for (int i = 0; i < count; ++i) {
        if (!ProfileFile::writeString(QStringLiteral("Race"), prefix + QString::number(i),
                                      QString::number(i), path)) {
            std::fprintf(stderr, "write %d failed\n", i);
            return 1;
        }
    }
    return 0;
}
