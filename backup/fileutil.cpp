#include "backup/fileutil.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <stdexcept>
#include <sys/file.h>
#include <sys/syscall.h>
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

// Private folders the signal handler removes. Filled outside the handler; the
// handler only reads slots whose state says they are complete.
enum SlotState { kFree, kFilling, kFolder };
constexpr int kSlotCount = 64;
constexpr qsizetype kSlotPathSize = 4096;
struct Slot {
    std::atomic<int> state{kFree};
    char path[kSlotPathSize];
};
Slot g_slots[kSlotCount];

int claimSlot(const QString& path) {
    const QByteArray bytes = QFile::encodeName(path);
    if (bytes.size() >= kSlotPathSize) {
        return -1;
    }
    for (int i = 0; i < kSlotCount; ++i) {
        int expected = kFree;
        if (g_slots[i].state.compare_exchange_strong(expected, kFilling)) {
            std::memcpy(g_slots[i].path, bytes.constData(), size_t(bytes.size()) + 1);
            g_slots[i].state.store(kFolder);
            return i;
        }
    }
    qCWarning(lcFileUtil) << "too many private folders to track for signal cleanup:" << path;
    return -1;
}

constexpr char kOwnerLock[] = "/.owner";
constexpr const char* kOwnerName = kOwnerLock + 1;

// The record getdents64 fills; glibc declares no type for it.
struct LinuxDirent64 {
    ino64_t d_ino;
    off64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[1];
};

// Empties a private folder and removes it, with async-signal-safe calls only:
// whatever was put in it goes, named or not. The owner file goes last, so that a
// folder that cannot be emptied is still known as ours to the next start-up sweep.
void removeFolderInHandler(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    // Other threads run on while the handler does: a file they make after a pass is found by the next one.
    constexpr int kPasses = 8;
    for (int pass = 0; pass < kPasses; ++pass) {
        bool emptied = true;
        alignas(LinuxDirent64) char buffer[4096];
        long n = 0;
        ::lseek(fd, 0, SEEK_SET);
        while ((n = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer)) > 0) {
            for (long offset = 0; offset < n;) {
                const auto* entry = reinterpret_cast<const LinuxDirent64*>(buffer + offset);
                offset += entry->d_reclen;
                const char* name = entry->d_name;
                if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 || std::strcmp(name, kOwnerName) == 0) {
                    continue;
                }
                if (::unlinkat(fd, name, 0) != 0 && ::unlinkat(fd, name, AT_REMOVEDIR) != 0) {
                    emptied = false;
                }
            }
        }
        if (!emptied || n != 0) {
            break; // the owner file stays: the next start-up sweep knows the folder as ours
        }
        ::unlinkat(fd, kOwnerName, 0);
        if (::rmdir(path) == 0) {
            break;
        }
        // Something appeared since the pass: the owner file comes back before the next one.
        const int owner = ::openat(fd, kOwnerName, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (owner >= 0) {
            ::close(owner);
        }
    }
    ::close(fd);
}

extern "C" void removePlainFilesAndReraise(int sig) {
    for (Slot& slot : g_slots) {
        if (slot.state.load() == kFolder) {
            removeFolderInHandler(slot.path);
        }
    }
    // SA_RESETHAND restored the default action: the signal ends the process once this returns.
    ::raise(sig);
}

// How long a folder may be without its owner file while the process that made it sets it up.
constexpr qint64 kSetUpGraceSeconds = 60;

bool lockFree(int fd) {
    return fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

// Folders of processes that died without removing them: nobody holds the folder's
// lock (nor, in folders of older builds, the owner file's). A folder without its
// owner file is ours only once it is older than any set-up: its owner died in a
// signal clean-up that could not empty it.
void removeAbandonedPlainDirs() {
    const QFileInfoList dirs = QDir(QDir::tempPath())
                                   .entryInfoList({QStringLiteral("vexlar-plain-*")},
                                                  QDir::Dirs | QDir::Hidden | QDir::NoSymLinks | QDir::NoDotAndDotDot);
    for (const QFileInfo& dir : dirs) {
        if (dir.ownerId() != ::getuid()) {
            continue;
        }
        const int dirFd =
            ::open(QFile::encodeName(dir.filePath()).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int ownerFd = ::open(QFile::encodeName(dir.filePath() + QLatin1String(kOwnerLock)).constData(),
                                   O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        const bool ownerGone =
            ownerFd < 0 && dir.lastModified().secsTo(QDateTime::currentDateTime()) > kSetUpGraceSeconds;
        if (lockFree(dirFd) && (lockFree(ownerFd) || ownerGone)) {
            qCInfo(lcFileUtil) << "removing plain copies left by a process that was killed:" << dir.filePath();
            QDir(dir.filePath()).removeRecursively();
        }
        for (int fd : {dirFd, ownerFd}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
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
    replaceFileWithThrow(path, [&bytes](QFile& out) { writeAllThrow(out, bytes); });
}

void replaceFileWithThrow(const QString& path, const std::function<void(QFile& out)>& write) {
    const QString tmp = path + QStringLiteral(".new-") + QString::number(QDateTime::currentMSecsSinceEpoch());
    const QFileDevice::Permissions perms = QFileInfo::exists(path)
                                               ? QFile::permissions(path)
                                               : (kOwnerOnly | QFileDevice::ReadGroup | QFileDevice::ReadOther);
    try {
        QFile out(tmp);
        if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered, perms)) {
            throwText(QStringLiteral("can not create %1. %2").arg(tmp, out.errorString()));
        }
        write(out);
        out.close();
        syncFileThrow(tmp);
        renameOverThrow(tmp, path);
    } catch (...) {
        QFile::remove(tmp);
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
    testKillPoint("renaming");
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0) {
        throwText(QStringLiteral("can not write %1. %2").arg(to, systemError()));
    }
    // Make the new name itself durable; a failure here loses nothing already written.
    syncFolderOf(to);
    testKillPoint("renamed");
}

void syncFolderOf(const QString& path) {
    const int dirFd =
        ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

void testKillPoint(const char* step) {
    static const QByteArray target = qgetenv("VEXLAR_TEST_KILL_AT");
    if (target.isEmpty()) {
        return;
    }
    static std::atomic<int> hits{0};
    const qsizetype colon = target.lastIndexOf(':');
    if (target.left(colon) == step && ++hits == target.mid(colon + 1).toInt()) {
        ::raise(SIGKILL);
    }
}

PrivateTempDir::PrivateTempDir() : m_dir(QDir::tempPath() + QStringLiteral("/vexlar-plain-XXXXXX")) {
    if (m_dir.isValid()) {
        m_slot = claimSlot(m_dir.path());
        // The folder's lock tells a sweep of another process that we live; the owner
        // file, made once the folder is locked, that the folder is one of ours.
        m_dirFd = ::open(QFile::encodeName(m_dir.path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (m_dirFd >= 0 && ::flock(m_dirFd, LOCK_EX) == 0) {
            const QString lock = m_dir.path() + QLatin1String(kOwnerLock);
            const int fd = ::open(QFile::encodeName(lock).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    static std::once_flag swept;
    std::call_once(swept, removeAbandonedPlainDirs);
}

PrivateTempDir::~PrivateTempDir() {
    m_dir.remove();
    if (m_dirFd >= 0) {
        ::close(m_dirFd);
    }
    if (m_slot >= 0) {
        g_slots[m_slot].state.store(kFree);
    }
}

QString PrivateTempDir::track(const QString& name) {
    return m_dir.filePath(name);
}

void installSignalCleanup() {
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        struct sigaction old {};
        ::sigaction(sig, nullptr, &old);
        if (old.sa_handler == SIG_IGN) {
            continue; // ignored by whoever started us: nothing will end the process there
        }
        struct sigaction action {};
        action.sa_handler = removePlainFilesAndReraise;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        ::sigaction(sig, &action, nullptr);
    }
}

} // namespace fileutil
