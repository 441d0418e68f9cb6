#include "services/backup2tool.h"

#include "app/errreport.h"
#include "app/paths.h"

#include <QDeadlineTimer>
#include <QLoggingCategory>
#include <QProcess>
#include <QScopeGuard>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdexcept>
#include <sys/statvfs.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcBackup2tool, "vexlar.services.backup2tool")

namespace {

// What the log is given of a message: secrets (the restore password, keys) blanked.
QString xmlText(const CFType& message) {
    const CFType value = CFType::withSecretsBlanked(message);
    return QString::fromUtf8(value.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0));
}

CFType str(const QString& text) {
    return CFType::createCFString(text);
}

CFType strings(std::initializer_list<const char*> texts) {
    CFType array = CFType::createCFArray();
    for (const char* t : texts) {
        array.append(str(QString::fromLatin1(t)));
    }
    return array;
}

// A write to a pipe whose reader is gone raises SIGPIPE, which would end the
// whole program: keep it pending on this thread only and swallow it.
ssize_t writeNoSigpipe(int fd, const char* buffer, size_t n) {
    sigset_t pipeSet, old;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
    const ssize_t written = ::write(fd, buffer, n);
    const int savedErrno = errno;
    if (written < 0 && savedErrno == EPIPE) {
        const timespec zero{0, 0};
        while (sigtimedwait(&pipeSet, nullptr, &zero) == SIGPIPE) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = savedErrno;
    return written;
}

} // namespace

backup2tool::backup2tool(am_device* device, QString targetIdentifier, QDir rootDir, QObject* parent)
    : QObject(parent), m_device(device), m_targetIdentifier(std::move(targetIdentifier)),
      m_rootDir(std::move(rootDir)) {}

QString backup2tool::helperPath() {
    const QByteArray fromEnv = qgetenv("VEXLAR_BACKUP_HELPER");
    return fromEnv.isEmpty() ? g_installedBackupHelperPath() : QFile::decodeName(fromEnv);
}

quint64 backup2tool::get_freespace(const QDir& dir) {
    struct statvfs info {};
    if (::statvfs(QFile::encodeName(dir.absolutePath()).constData(), &info) != 0) {
        return ~quint64(0);
    }
    return quint64(info.f_bavail) * quint64(info.f_frsize);
}

QString backup2tool::errorText(int errorCode, backup2tool_op op) {
    const bool restore = (op == OP_RESTORE);
    switch (errorCode) {
    case -38:
        return tr("212 Unable to backup until Setup is finished (MBErrorDomain/212). Please Keep your iPhone "
                  "connected and active.");
    case -37:
        return tr("Please follow <a href=\"%1\">this tutorial</a> to disable \"Find my iPhone\" first and then "
                  "restart your iPhone to try again.")
            .arg(QStringLiteral("http://%1/disable_find_my_iphone.php").arg(webHost()));
    case -36:
        return restore ? tr("Insufficient free disk space on device to back up. Not enough free disk space on your "
                            "Device.")
                       : tr("Insufficient free disk space on drive to back up. Not enough free disk space on your "
                            "computer.");
    case -35:
        return tr("Could not connect to device because it's locked. Please restart your iPhone to try again.");
    case -30:
        return tr("104 Multiple errors uploading files. Please restart your iPhone to try again.");
    case -21:
        return tr("ERROR: Backup cancelled (MBErrorDomain/202), Pleae restart Quorvindale software to try again.");
    case -20:
        return restore ? tr("Restore message response: 205 Digest didn't match for some files, Please click "
                            "\"Tools\"-&gt;\"Clear cache files\" on Quorvindale software and then restart your "
                            "iPhone and computer to try again.")
                       : tr("205 Error creating backup directory. Please click \"Tools\"-&gt;\"Clear cache files\" "
                            "on Quorvindale software and then restart your iPhone and computer to try again.");
    case -19:
        return tr("Please go to iTunes to disable \"Automatically sync when this iPhone connected\". Then reconnect "
                  "your iPhone to try again.");
    case -10:
        return tr("Error attaching to device. Please Keep your iPhone connected and active.");
    case -2:
        return tr("Connecting to device failed: Unknown error. Please restart your iPhone to try again.");
    case -1:
        return tr("Please turn off Passcode on iPhone to try again.");
    default:
        return tr("Please restart your iPhone to try again.");
    }
}

CFType backup2tool::requestFor(const _backup2tool_req& req) const {
    const QString root = QDir::toNativeSeparators(m_rootDir.absolutePath());
    CFType request = CFType::createCFDictionary();
    request.put(QStringLiteral("AMSDeviceIdentifierKey"), str(QStringLiteral("-1")));
    request.put(QStringLiteral("AMSTargetIdentifierKey"), str(m_targetIdentifier));
    CFType options = CFType::createCFDictionary();
    options.put(QStringLiteral("RootDirectory"), str(root));
    if (req.op == OP_BACKUP) {
        request.put(QStringLiteral("AMSMessageSignatureKey"),
                    strings({"AMSDeviceIdentifierKey", "AMSTargetIdentifierKey", "AMSBackupOptionsKey"}));
        request.put(QStringLiteral("AMSRequestKey"), str(QStringLiteral("AMSBackupRequest")));
        request.put(QStringLiteral("AMSBackupOptionsKey"), options);
    } else {
        request.put(QStringLiteral("AMSMessageSignatureKey"),
                    strings({"AMSDeviceIdentifierKey", "AMSTargetIdentifierKey", "AMSSourceTargetIdentifierKey",
                             "AMSBackupApplicationsKey", "AMSRestoreRestoreOptionsKey"}));
        request.put(QStringLiteral("AMSRequestKey"), str(QStringLiteral("AMSRestoreWithApplicationsRequest")));
        request.put(QStringLiteral("AMSSourceTargetIdentifierKey"), str(m_targetIdentifier));
        options.put(QStringLiteral("RestoreDontCopyBackup"), CFType::createCFBoolean(true));
        if (!req.password.isEmpty()) {
            options.put(QStringLiteral("Password"), str(req.password));
        }
        request.put(QStringLiteral("AMSRestoreRestoreOptionsKey"), options);
    }
    return request;
}

bool backup2tool::cancelled() const {
    return m_cancelRequested.load() || (externalCancel && externalCancel->load());
}

backup2tool::Wait backup2tool::waitFor(int fd, bool forWrite) {
    // Short slices, so a cancel is seen within kSliceMs however long the helper is silent.
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (cancelled()) {
            return Wait::Cancelled;
        }
        const qint64 left = deadline.remainingTime();
        if (left <= 0) {
            return Wait::TimedOut;
        }
        pollfd p{fd, short(forWrite ? POLLOUT : POLLIN), 0};
        const int r = ::poll(&p, 1, int(qMin<qint64>(left, kSliceMs)));
        if (r > 0) {
            return Wait::Ready; // also for a hang-up: the read or write then tells what happened
        }
        if (r < 0 && errno != EINTR) {
            return Wait::Failed;
        }
    }
}

void backup2tool::closePipe(_PIPE& pipes) {
    for (int& fd : pipes.fd) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
}

bool backup2tool::startAppleMobileBackup(QProcess& process, _PIPE& pipes) {
    // Every end is close-on-exec from birth, so no other child started meanwhile inherits one.
    int a[2], b[2];
    if (::pipe2(a, O_CLOEXEC) != 0) {
        qCDebug(lcBackup2tool, "Error: pipe failed.");
        return false;
    }
    if (::pipe2(b, O_CLOEXEC) != 0) {
        ::close(a[0]);
        ::close(a[1]);
        qCDebug(lcBackup2tool, "Error: pipe failed.");
        return false;
    }
    pipes.fd[0] = a[0];
    pipes.fd[1] = a[1];
    pipes.fd[2] = b[0];
    pipes.fd[3] = b[1];
    // Our ends never block: a stuck helper must not hold the thread past a cancel.
    ::fcntl(pipes.replyRead(), F_SETFL, O_NONBLOCK);
    ::fcntl(pipes.requestWrite(), F_SETFL, O_NONBLOCK);

    const int helperWrite = pipes.replyWrite();
    const int helperRead = pipes.requestRead();
    process.setChildProcessModifier([helperWrite, helperRead] {
        // In the child, before exec: nothing of ours but the helper's two ends
        // survives (async-signal-safe calls only).
        ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
        ::fcntl(helperWrite, F_SETFD, 0);
        ::fcntl(helperRead, F_SETFD, 0);
    });
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(helperPath(), {QStringLiteral("--pipe"), QString::number(helperRead), QString::number(helperWrite)},
                  QIODevice::ReadWrite);
    const bool started = process.waitForStarted(30000);
    // The helper holds its own copies now; without ours, its exit reads as end of file.
    ::close(pipes.replyWrite());
    pipes.replyWrite() = -1;
    ::close(pipes.requestRead());
    pipes.requestRead() = -1;
    if (!started) {
        qCWarning(lcBackup2tool, "starting %s failed: %s", qPrintable(helperPath()), qPrintable(process.errorString()));
        closePipe(pipes);
    }
    return started;
}

int backup2tool::writePipe(const _PIPE& pipes, const char* buffer, int n, bool sync) {
    int done = 0;
    while (done < n) {
        if (waitFor(pipes.requestWrite(), true) != Wait::Ready) {
            return 0;
        }
        const ssize_t w = writeNoSigpipe(pipes.requestWrite(), buffer + done, size_t(n - done));
        if (w > 0) {
            done += int(w);
        } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
            return 0;
        }
    }
    if (sync) {
        ::fsync(pipes.requestWrite()); // a no-op on pipes on this platform; harmless
    }
    return done;
}

bool backup2tool::writePipeRequest(const _PIPE& pipes, const CFType& request) {
    const QByteArray body = request.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0);
    if (body.isEmpty() || body.size() > kMaxReply) {
        return false;
    }
    const qint32 length = qint32(body.size());
    char head[4];
    std::memcpy(head, &length, sizeof head);
    if (writePipe(pipes, head, 4, true) != 4) {
        return false;
    }
    return writePipe(pipes, body.constData(), int(body.size()), true) == body.size();
}

int backup2tool::readPipe(const _PIPE& pipes, char* buffer, int n) {
    int done = 0;
    while (done < n) {
        if (waitFor(pipes.replyRead(), false) != Wait::Ready) {
            break;
        }
        const ssize_t r = ::read(pipes.replyRead(), buffer + done, size_t(n - done));
        if (r > 0) {
            done += int(r);
        } else if (r == 0) {
            m_eof = true;
            break;
        } else if (errno != EAGAIN && errno != EINTR) {
            break;
        }
    }
    return done;
}

CFType backup2tool::readPipeReponse(const _PIPE& pipes) {
    m_eof = false;
    qint32 length = 0;
    char head[4];
    if (readPipe(pipes, head, 4) != 4) {
        return CFType();
    }
    std::memcpy(&length, head, sizeof length);
    if (length <= 0 || length > kMaxReply) {
        qCWarning(lcBackup2tool, "helper reply of length %d refused", int(length));
        return CFType();
    }
    QByteArray body(length, Qt::Uninitialized);
    if (readPipe(pipes, body.data(), length) != length) {
        return CFType();
    }
    return CFType::createCFPropertyList(body);
}

void backup2tool::runThrow(const _backup2tool_req& req) {
    m_cancelRequested.store(false);
    m_percentage = 0;
    if (req.op != OP_BACKUP && req.op != OP_RESTORE) {
        throw std::runtime_error("backup2tool::runThrow, unknown backup2tool_op.");
    }
    const CFType request = requestFor(req);

    QProcess process;
    _PIPE pipes;
    // Whatever way this ends, no descriptor and no child process outlive it.
    auto cleanup = qScopeGuard([&] {
        closePipe(pipes);
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    });
    // Closing our ends lets a well-behaved helper finish on its own; one that
    // does not is killed.
    auto finish = [&](int graceMs) {
        closePipe(pipes);
        if (!process.waitForFinished(graceMs)) {
            process.kill();
            process.waitForFinished(5000);
        }
    };

    if (!startAppleMobileBackup(process, pipes)) {
        throw std::runtime_error("startAppleMobileBackup failed.");
    }
    qCDebug(lcBackup2tool, "writePipeRequest: \n%s", qPrintable(xmlText(request)));
    if (!writePipeRequest(pipes, request)) {
        if (cancelled()) {
            finish(0);
            return;
        }
        throw std::runtime_error("writePipeRequest failed.");
    }

    const QString invalid = QStringLiteral("Invalid Response");
    const QString percentKey = QStringLiteral("AMSBackupPercentageKey");
    int errorCode = 0;
    QString deviceWords;
    for (;;) {
        if (cancelled()) {
            finish(0);
            return;
        }
        const CFType reply = readPipeReponse(pipes);
        if (cancelled()) {
            continue;
        }
        if (!reply.isCFDictionary()) {
            if (reply.isNull()) {
                qCDebug(lcBackup2tool, "readPipeReponse, null response.");
            } else {
                qCDebug(lcBackup2tool, "readPipeReponse(unknown CFType): \n%s", qPrintable(xmlText(reply)));
            }
            if (m_eof) {
                // Nobody can write to the pipe any more: the helper is gone,
                // and waiting on would spin on the closed pipe for ever.
                finish(2000);
                qCWarning(lcBackup2tool, "helper ended without an answer (exit status %d, code %d)",
                          int(process.exitStatus()), process.exitCode());
                throw std::runtime_error(tr("The backup helper ended unexpectedly. Please restart your iPhone to "
                                            "try again.")
                                             .toStdString());
            }
            emit update(m_percentage, invalid, invalid);
            continue;
        }
        if (reply.dict_size() == 1 && !reply.get(percentKey).isNull()) {
            const double value = reply.get(percentKey).CFNumberDouble(0);
            m_percentage = std::isfinite(value) ? std::trunc(qBound(0.0, value, 100.0)) : 0.0;
            emit update(m_percentage, QString(), QString());
            continue;
        }
        const CFType passcode = reply.get(QStringLiteral("AMSPasscodeRequestedKey"));
        if (reply.dict_size() == 1 && passcode.isCFBoolean()) {
            const QString ask = tr("Please unlock your iPhone and enter its passcode on it to let the backup begin.");
            emit update(m_percentage, passcode.CFNumberBool() ? ask : QString(), QString());
            continue;
        }
        if (reply.dict_size() == 0) {
            finish(2000);
            break;
        }
        qCDebug(lcBackup2tool, "readPipeReponse: \n%s", qPrintable(xmlText(reply)));
        const long long code = reply.get(QStringLiteral("errorCode")).CFNumberInt64(0);
        // A code outside int range is still a failure, never mistaken for success.
        errorCode = code == 0 ? 0 : int(std::clamp<long long>(code, INT_MIN, INT_MAX));
        if (errorCode == 0) {
            QString text;
            const CFType shown = CFType::withSecretsBlanked(reply);
            for (const CFType& key : shown.dict_keys()) {
                text += QStringLiteral(",%1:%2").arg(key.toString(), shown.get(key).toString());
            }
            emit update(m_percentage, QStringLiteral("Unknown Message"), text);
            continue;
        }
        deviceWords = reply.get(QStringLiteral("deviceErrorDescription")).CFStringQString().left(500);
        finish(2000);
        break;
    }
    closePipe(pipes);
    process.waitForFinished(5000);
    qCDebug(lcBackup2tool, "backup2tool ended:\n%s", "");
    if (errorCode != 0) {
        QString text = QStringLiteral("error code:%1. ").arg(errorCode) + errorText(errorCode, req.op);
        if (!deviceWords.isEmpty()) { // the device's own reason, as plain text in the rich-text box
            text += tr("<br/>The device said: %1").arg(deviceWords.toHtmlEscaped());
        }
        throw std::runtime_error(text.toStdString());
    }
}
