// Throughput of the file logger: one open/write/close per line, from one
// thread and from eight at once, next to the bare system calls doing the same
// (open, append and close one line of the same length) as the yardstick.
// Prints lines per second; fails when either side lost or split a line.
//   bench_logsaver [--smoke] [lines per thread]

#include "app/logsaver.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <unistd.h>

namespace {
const QString kText = QStringLiteral("bench line with a typical length of a protocol trace message ").repeated(2);

double run(int threads, int linesPerThread, const std::function<void()>& writeLine) {
    QList<QThread*> workers;
    for (int t = 0; t < threads; ++t) {
        workers << QThread::create([&] {
            for (int i = 0; i < linesPerThread; ++i) {
                writeLine();
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

// Whole lines ending in the text, over every file of dir; -1 when one is torn.
qint64 wholeLines(const QString& dir) {
    const QByteArray tail = kText.toUtf8();
    qint64 n = 0;
    for (const QString& name : QDir(dir).entryList(QDir::Files)) {
        QFile f(dir + QLatin1Char('/') + name);
        if (!f.open(QIODevice::ReadOnly)) {
            return -1;
        }
        const QList<QByteArray> lines = f.readAll().split('\n');
        for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
            if (!lines[i].endsWith(tail)) {
                return -1;
            }
            ++n;
        }
        if (!lines.last().isEmpty()) {
            return -1;
        }
    }
    return n;
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int lines = 20000;
    for (int i = 1; i < argc; ++i) {
        if (QByteArray(argv[i]) == "--smoke") {
            lines = 500;
        } else {
            lines = QString::fromLocal8Bit(argv[i]).toInt();
        }
    }
    QTemporaryDir logDir, plainDir;
    logsaver_install_msghandler(logDir.path(), 10);
    qInstallMessageHandler(nullptr); // log_output is called directly; keep Qt's own output on stderr
    // The yardstick line: the logger's prefix "(W hh:mm:ss) " and the text.
    const QByteArray plainLine = "(W 00:00:00) " + kText.toUtf8() + '\n';
    const QByteArray plainPath = QFile::encodeName(plainDir.path() + QStringLiteral("/plain.txt"));

    std::atomic<int> shortWrites{0};
    qint64 expected = 0;
    // cost: how many times longer a logged line takes than the bare calls.
    std::printf("%-24s %14s %14s %7s\n", "", "logger", "open+write", "cost");
    for (int threads : {1, 8}) {
        const double ours = run(threads, lines, [] { log_output(QtWarningMsg, QMessageLogContext(), kText); });
        const double ref = run(threads, lines, [&] {
            const int fd = ::open(plainPath.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
            if (fd >= 0) {
                if (::write(fd, plainLine.constData(), size_t(plainLine.size())) != plainLine.size()) {
                    ++shortWrites;
                }
                ::close(fd);
            } else {
                ++shortWrites;
            }
        });
        std::printf("%d thread(s) x %6d lines %10.0f/s %12.0f/s %7.2f\n", threads, lines, ours, ref,
                    ours > 0 ? ref / ours : 0.0);
        expected += qint64(threads) * lines;
    }
    const qint64 logged = wholeLines(logDir.path());
    const qint64 plain = wholeLines(plainDir.path());
    if (shortWrites > 0 || logged != expected || plain != expected) {
        std::fprintf(stderr, "bench_logsaver: %lld lines expected, the logger wrote %lld, the yardstick %lld\n",
                     static_cast<long long>(expected), static_cast<long long>(logged), static_cast<long long>(plain));
        return 1;
    }
    return 0;
}
