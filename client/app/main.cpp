#include <QCoreApplication>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    // The tray window comes with the tray client; until then there is nothing to run.
    return 0;
}
