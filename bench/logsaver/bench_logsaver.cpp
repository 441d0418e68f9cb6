// Throughput of the file logger: one open/write/close per line, from one
// thread and from eight at once. Prints lines per second.
//   bench_logsaver [lines per thread]

#include "app/logsaver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>

namespace {
double run(int threads, int linesPerThread) {
    const QString text = QStringLiteral("bench line with a typical length of a protocol trace message ").repeated(2);
    QList<QThread*> workers;
    for (int t = 0; t < threads; ++t) {
        workers << QThread::create([&] {
            for (int i = 0; i < linesPerThread; ++i) {
                log_output(QtWarningMsg, QMessageLogContext(), text);
            }
        });
    }
    QElapsedTimer timer;
    timer.start();
    for (QThread* w : std::as_const(workers)) {
        w->start();
    }
    for (QThread* w : std::as_const(workers)) {
        w->wait();
        delete w;
    }
    return double(threads) * linesPerThread / (double(timer.nsecsElapsed()) / 1e9);
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int lines = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 20000;
    QTemporaryDir dir;
    logsaver_install_msghandler(dir.path(), 10);
    qInstallMessageHandler(nullptr); // log_output is called directly; keep Qt's own output on stderr
    for (int threads : {1, 8}) {
        std::printf("%d thread(s) x %d lines: %.0f lines/s\n", threads, lines, run(threads, lines));
    }
    return 0;
}
