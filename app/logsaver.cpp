#include "app/logsaver.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Written once at installation, before the handler can run; read-only afterwards.
QString g_logDir;

void writeWhole(int fd, const QByteArray& bytes) {
    // One call per line keeps lines whole between threads; only EINTR is retried.
    ssize_t r;
    do {
        r = ::write(fd, bytes.constData(), static_cast<size_t>(bytes.size()));
    } while (r < 0 && errno == EINTR);
}

// Logs name devices and paths: owner only, whatever the umask or an older file's mode.
constexpr mode_t kFileMode = 0600;
constexpr mode_t kDirMode = 0700;

int openAppend(const QByteArray& path) {
    int fd;
    do {
        fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kFileMode);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        ::fchmod(fd, kFileMode);
    }
    return fd;
}

// Creates the folder and its missing parents owner-only, and tightens the folder itself.
void makeLogDir(const QString& dir) {
    const QString clean = QDir::cleanPath(QDir(dir).absolutePath());
    qsizetype slash = 0;
    while ((slash = clean.indexOf(QLatin1Char('/'), slash + 1)) > 0) {
        ::mkdir(QFile::encodeName(clean.left(slash)).constData(), kDirMode);
    }
    const QByteArray path = QFile::encodeName(clean);
    ::mkdir(path.constData(), kDirMode);
    ::chmod(path.constData(), kDirMode);
}

const char* prefixFor(QtMsgType type) {
    switch (type) {
    case QtDebugMsg:
        return "D ";
    case QtWarningMsg:
        return "W ";
    case QtCriticalMsg:
        return "C ";
    case QtFatalMsg:
        return "F ";
    default:
        return "";
    }
}
} // namespace

QString logsaver_dir() {
    return g_logDir;
}

void logsaver_install_msghandler(const QString& dir, int maxFiles) {
    g_logDir = dir;
    QDir logDir(dir);
    if (logDir.exists()) {
        ::chmod(QFile::encodeName(dir).constData(), kDirMode);
    }
    const QStringList files = logDir.entryList(QDir::Files, QDir::Name);
    const qsizetype excess = files.size() - qMax(maxFiles, 0);
    for (qsizetype i = 0; i < excess; ++i) {
        logDir.remove(files.at(i));
    }
    qInstallMessageHandler(log_output);
}

void log_output(QtMsgType type, const QMessageLogContext&, const QString& msg) {
    const QByteArray text = msg.toUtf8();
    if (type == QtDebugMsg) {
        writeWhole(STDOUT_FILENO, text + '\n');
    }

    if (!g_logDir.isEmpty()) {
        const QString dir = g_logDir;
        // One reading of the clock, so a line written at midnight names the day of its file.
        const QDateTime now = QDateTime::currentDateTime();
        const QByteArray path =
            QFile::encodeName(dir + QStringLiteral("/log-%1.txt").arg(now.date().toString(u"yyyyMMdd")));
        const QByteArray line =
            QByteArray("(") + prefixFor(type) + now.time().toString(u"hh:mm:ss").toLatin1() + ") " + text + '\n';
        int fd = openAppend(path);
        if (fd < 0 && errno == ENOENT) {
            makeLogDir(dir);
            fd = openAppend(path);
        }
        if (fd >= 0) {
            writeWhole(fd, line);
            ::close(fd);
        }
    }

    if (type == QtFatalMsg) {
        std::abort();
    }
}
