#include "backup/fileutil.h"

#include <QDateTime>
#include <QFileInfo>
#include <QLoggingCategory>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcFileUtil, "vexlar.backup.files")

namespace fileutil {

namespace {

constexpr qint64 kCopyChunk = 8192;
constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

[[noreturn]] void throwText(const QString& text) {
    throw std::runtime_error(text.toUtf8().toStdString());
}

QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

bool openPrivateForWrite(QFile& file) {
    // A planted link would send a user's plain data wherever it points.
    if (QFileInfo(file.fileName()).isSymLink()) {
        return false;
    }
    if (QFileInfo::exists(file.fileName()) && !file.setPermissions(kOwnerOnly)) {
        return false;
    }
    // Unbuffered: a buffered QFile reports a failed write only at flush, without the reason.
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered, kOwnerOnly);
}

QString openError(const QFile& file) {
    return QFileInfo(file.fileName()).isSymLink() ? QStringLiteral("It is a symbolic link.") : file.errorString();
}

void writeAllThrow(QFile& out, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const qint64 n = out.write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0) {
            throwText(QStringLiteral("can not write %1. %2").arg(out.fileName(), out.errorString()));
        }
        done += n;
    }
}

void replaceFileThrow(const QString& path, const QByteArray& bytes) {
    const QString tmp = path + QStringLiteral(".new-") + QString::number(QDateTime::currentMSecsSinceEpoch());
    const QFileDevice::Permissions perms = QFileInfo::exists(path)
                                               ? QFile::permissions(path)
                                               : (kOwnerOnly | QFileDevice::ReadGroup | QFileDevice::ReadOther);
    try {
        QFile out(tmp);
        if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered, perms)) {
            throwText(QStringLiteral("can not create %1. %2").arg(tmp, out.errorString()));
        }
        writeAllThrow(out, bytes);
        out.close();
        syncFileThrow(tmp);
        renameOverThrow(tmp, path);
    } catch (...) {
        QFile::remove(tmp);
        throw;
    }
}

void copyNewFileThrow(const QString& src, const QString& dst) {
    QFile in(src);
    if (!in.open(QIODevice::ReadOnly)) {
        throwText(QStringLiteral("can not write %1. %2").arg(dst, in.errorString()));
    }
    QFile out(dst);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
        throwText(QStringLiteral("can not write %1. %2").arg(dst, out.errorString()));
    }
    try {
        QByteArray buffer;
        while (!(buffer = in.read(kCopyChunk)).isEmpty()) {
            writeAllThrow(out, buffer);
        }
        if (in.error() != QFileDevice::NoError) {
            throwText(QStringLiteral("can not write %1. %2").arg(dst, in.errorString()));
        }
    } catch (...) {
        out.close();
        QFile::remove(dst);
        throw;
    }
}

void copyPrivateThrow(const QString& src, const QString& dst) {
    QFile in(src);
    if (!in.open(QIODevice::ReadOnly)) {
        throwText(QStringLiteral("can not open %1. %2").arg(src, in.errorString()));
    }
    QFile out(dst);
    if (!openPrivateForWrite(out)) {
        throwText(QStringLiteral("can not create %1. %2").arg(dst, openError(out)));
    }
    QByteArray buffer;
    while (!(buffer = in.read(kCopyChunk)).isEmpty()) {
        writeAllThrow(out, buffer);
    }
    if (in.error() != QFileDevice::NoError) {
        throwText(QStringLiteral("can not open %1. %2").arg(src, in.errorString()));
    }
}

void syncFileThrow(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throwText(QStringLiteral("can not open %1. %2").arg(path, systemError()));
    }
    const int rc = ::fsync(fd);
    const int err = errno;
    ::close(fd);
    if (rc != 0) {
        errno = err;
        throwText(QStringLiteral("can not write %1. %2").arg(path, systemError()));
    }
}

void keepCopy(const QString& path, const QString& keepPath) {
    if (::link(QFile::encodeName(path).constData(), QFile::encodeName(keepPath).constData()) == 0) {
        return;
    }
    if (!QFile::copy(path, keepPath)) {
        qCWarning(lcFileUtil) << "could not keep a copy of" << path << "as" << keepPath;
    }
}

void renameOverThrow(const QString& from, const QString& to) {
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0) {
        throwText(QStringLiteral("can not write %1. %2").arg(to, systemError()));
    }
    // Make the new name itself durable; a failure here loses nothing already written.
    const int dirFd =
        ::open(QFile::encodeName(QFileInfo(to).absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

} // namespace fileutil
