#include "backup/backupjournal.h"

#include "backup/fileutil.h"

#include <QDeadlineTimer>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QThread>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcJournal, "vexlar.backup.journal")

namespace backupjournal {

namespace {

constexpr qint64 kMaxJournalSize = 16 * 1024 * 1024;
constexpr int kLockPollMs = 100;

[[noreturn]] void throwText(const QString& text) {
    throw std::runtime_error(text.toUtf8().toStdString());
}

QString journalPath(const QString& dirPath) {
    return dirPath + QLatin1Char('/') + QLatin1String(kJournalName);
}

quint64 inodeOf(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? quint64(st.st_ino) : 0;
}

bool isManifestName(const QString& name) {
    return name == QLatin1String("Manifest.db") || name == QLatin1String("Manifest.mbdb");
}

// The journal comes from the backup folder: a name must stay a plain name in it.
bool isDataName(const QString& name) {
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) && !name.contains(QChar(0));
}

bool isStamp(const QString& stamp) {
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,20}$"));
    return stamp.isEmpty() || digits.match(stamp).hasMatch();
}

// Where a data file lives: beside the manifest, or in a folder named by its first two characters.
QString dataPathOf(const QString& dirPath, const QString& manifestName, const QString& hashName) {
    if (manifestName == QLatin1String("Manifest.db")) {
        return dirPath + QLatin1Char('/') + hashName.left(2) + QLatin1Char('/') + hashName;
    }
    return dirPath + QLatin1Char('/') + hashName;
}

// A journal, or the temporary of its first write.
bool hasJournal(const QString& dirPath) {
    const QStringList names{QLatin1String(kJournalName) + QLatin1Char('*')};
    return !QDir(dirPath).entryList(names, QDir::Files | QDir::Hidden).isEmpty();
}

void removeThrow(const QString& path) {
    if (::unlink(QFile::encodeName(path).constData()) != 0 && errno != ENOENT) {
        throwText(QStringLiteral("can not remove %1. %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    }
}

} // namespace

// ---- the lock

FolderLock::FolderLock(const QString& dirPath, int waitMs) {
    // The folder itself is locked: no file of ours is added to the user's backup, and a read-only one locks too.
    m_fd = ::open(QFile::encodeName(dirPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_fd < 0) {
        throwText(QStringLiteral("Cannot lock the backup in %1 for changing it: %2")
                      .arg(dirPath, QString::fromLocal8Bit(std::strerror(errno))));
    }
    const QDeadlineTimer deadline(waitMs);
    while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if ((err != EWOULDBLOCK && err != EINTR) || deadline.hasExpired()) {
            ::close(m_fd);
            m_fd = -1;
            if (err != EWOULDBLOCK && err != EINTR) {
                throwText(QStringLiteral("Cannot lock the backup in %1 for changing it: %2")
                              .arg(dirPath, QString::fromLocal8Bit(std::strerror(err))));
            }
            throwText(QStringLiteral("Another program is changing the backup in %1 (a clean or a restore). Nothing "
                                     "was changed; try again when it has finished.")
                          .arg(dirPath));
        }
        QThread::msleep(kLockPollMs);
    }
}

FolderLock::~FolderLock() {
    if (m_fd >= 0) {
        ::close(m_fd); // releases the lock
    }
}

// ---- the journal

Journal::Journal(const QString& dirPath, const QString& manifestPath)
    : m_dirPath(dirPath), m_manifestName(QFileInfo(manifestPath).fileName()) {}

void Journal::addThrow(const QString& hashName, const QString& asideStamp) {
    if (!m_written) {
        m_manifestInode = inodeOf(m_dirPath + QLatin1Char('/') + m_manifestName);
        if (m_manifestInode == 0) {
            throwText(QStringLiteral("Cannot find %1 in %2.").arg(m_manifestName, m_dirPath));
        }
    }
    m_entries.append({hashName, asideStamp});
    QJsonArray files;
    for (const Entry& e : std::as_const(m_entries)) {
        files.append(QJsonObject{{QStringLiteral("name"), e.hashName}, {QStringLiteral("aside"), e.asideStamp}});
    }
    const QJsonObject root{{QStringLiteral("manifest"), m_manifestName},
                           {QStringLiteral("inode"), QString::number(m_manifestInode)},
                           {QStringLiteral("files"), files}};
    // Synced with its folder by the rename: it is on disk before any file it names changes.
    fileutil::replaceFileThrow(journalPath(m_dirPath), QJsonDocument(root).toJson(QJsonDocument::Compact));
    m_written = true;
    fileutil::testKillPoint("journal");
}

// ---- recovery

QString recoverThrow(const QString& dirPath) {
    if (!hasJournal(dirPath)) {
        return {}; // nothing was interrupted: no walk through a large backup
    }
    removeAbandonedTemporaries(dirPath);
    const QString path = journalPath(dirPath);
    QFile file(path);
    if (!file.exists()) {
        return {};
    }
    if (!file.open(QIODevice::ReadOnly)) {
        throwText(QStringLiteral("Cannot read %1: %2").arg(path, file.errorString()));
    }
    const QJsonObject root = QJsonDocument::fromJson(file.read(kMaxJournalSize + 1)).object();
    file.close();
    const QString manifestName = root.value(QStringLiteral("manifest")).toString();
    bool inodeOk = false;
    const quint64 recordedInode = root.value(QStringLiteral("inode")).toString().toULongLong(&inodeOk);
    const QJsonArray files = root.value(QStringLiteral("files")).toArray();
    struct Entry {
        QString dataPath, asidePath; // asidePath empty: the data file was new
    };
    QList<Entry> entries;
    bool valid = isManifestName(manifestName) && inodeOk && !files.isEmpty();
    for (const QJsonValue& v : files) {
        const QString name = v.toObject().value(QStringLiteral("name")).toString();
        const QString stamp = v.toObject().value(QStringLiteral("aside")).toString();
        valid = valid && isDataName(name) && isStamp(stamp);
        const QString data = dataPathOf(dirPath, manifestName, name);
        entries.append({data, stamp.isEmpty() ? QString() : data + QLatin1Char('-') + stamp});
    }
    if (!valid) {
        throwText(QStringLiteral("The journal of an interrupted change, %1, is damaged, so the backup cannot be "
                                 "trusted. Make a new backup.")
                      .arg(path));
    }

    // The manifest is only ever replaced by a rename, which gives it a new inode.
    const quint64 manifestInode = inodeOf(dirPath + QLatin1Char('/') + manifestName);
    const bool forward = manifestInode != 0 && manifestInode != recordedInode;
    for (qsizetype i = entries.size() - 1; i >= 0; --i) {
        const Entry& e = entries.at(i);
        if (forward) {
            if (!e.asidePath.isEmpty()) {
                removeThrow(e.asidePath);
            }
        } else if (e.asidePath.isEmpty()) {
            removeThrow(e.dataPath);
        } else if (const quint64 aside = inodeOf(e.asidePath); aside == inodeOf(e.dataPath) && aside != 0) {
            removeThrow(e.asidePath); // killed before the data file was replaced: rename(2) would keep both names
        } else if (aside != 0) {
            fileutil::renameOverThrow(e.asidePath, e.dataPath);
        }
        fileutil::testKillPoint("recovering");
    }
    removeThrow(path);
    fileutil::syncFolderOf(path);
    const QString note =
        forward ? QStringLiteral("An interrupted change to the backup in %1 was completed; the backup now holds it.")
                      .arg(dirPath)
                : QStringLiteral("An interrupted change to the backup in %1 was undone; the backup is as it was "
                                 "before.")
                      .arg(dirPath);
    return note;
}

QString recoverIfNeededThrow(const QString& dirPath) {
    if (!hasJournal(dirPath)) {
        return {};
    }
    FolderLock lock(dirPath);
    const QString note = recoverThrow(dirPath);
    if (!note.isEmpty()) {
        qCInfo(lcJournal).noquote() << note;
    }
    return note;
}

void removeAbandonedTemporaries(const QString& dirPath) {
    // SQLite's own log beside a manifest being edited goes with it.
    static const QRegularExpression temporary(QStringLiteral("\\.new-[0-9]+(-journal|-wal|-shm)?$"));
    QDirIterator it(dirPath, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (temporary.match(it.fileName()).hasMatch() && QFile::remove(path)) {
            qCInfo(lcJournal) << "removed the temporary file of an interrupted save:" << path;
        }
    }
}

} // namespace backupjournal
