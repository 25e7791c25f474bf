#include <QCoreApplication>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    // The update procedure comes later; until then there is nothing to run.
    return 0;
}
