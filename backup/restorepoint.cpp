#include "backup/restorepoint.h"

#include "backup/backupjournal.h"
#include "backup/fileutil.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcRestorePoint, "vexlar.backup.restorepoint")

namespace restorepoint {

namespace {

const QLatin1String kAbout("about.json");
const QLatin1String kStampFormat("yyyyMMdd-HHmmss-zzz");

[[noreturn]] void throwText(const QString& text) {
    throw std::runtime_error(text.toUtf8().toStdString());
}

QByteArray enc(const QString& path) {
    return QFile::encodeName(path);
}

QString pointsFolder(const QString& backupDir) {
    return QDir::cleanPath(QFileInfo(backupDir).absoluteFilePath()) + QStringLiteral(".restore-points");
}

// Data files are named by the SHA-1 of their domain and path; everything else
// (manifests, property lists) may be rewritten in place and is copied.
bool isDataFile(const QString& name) {
    static const QRegularExpression hashName(QStringLiteral("^[0-9a-f]{40}$"));
    return hashName.match(name).hasMatch();
}

struct FileState {
    qint64 size = -1;
    qint64 mtimeNs = -1;
    bool operator==(const FileState&) const = default;
};

FileState stateOf(const QString& path) {
    struct stat st {};
    if (::lstat(enc(path).constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return {};
    }
    return {qint64(st.st_size), qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

// Copies content, permissions and modification time.
void copyFileThrow(const QString& src, const QString& dst) {
    struct stat st {};
    if (::lstat(enc(src).constData(), &st) != 0) {
        throwText(QStringLiteral("Cannot read %1: %2").arg(src, QString::fromLocal8Bit(std::strerror(errno))));
    }
    fileutil::copyPrivateThrow(src, dst);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (::chmod(enc(dst).constData(), st.st_mode & 07777) != 0 ||
        ::utimensat(AT_FDCWD, enc(dst).constData(), times, AT_SYMLINK_NOFOLLOW) != 0) {
        throwText(QStringLiteral("Cannot copy %1: %2").arg(src, QString::fromLocal8Bit(std::strerror(errno))));
    }
}

qint64 folderBytes(const QString& dir) {
    qint64 total = 0;
    for (QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories); it.hasNext();) {
        it.next();
        total += it.fileInfo().size();
    }
    return total;
}

void syncFolder(const QString& dir) {
    const int fd = ::open(enc(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
    }
}

Info readPoint(const QString& pointPath, const QString& folderName, QJsonObject* about = nullptr) {
    Info info;
    QFile f(QDir(pointPath).filePath(kAbout));
    if (f.size() > 256 * 1024 * 1024 || !f.open(QIODevice::ReadOnly)) {
        return info;
    }
    const QJsonObject o = QJsonDocument::fromJson(f.readAll()).object();
    info.made = QDateTime::fromString(o.value(QStringLiteral("made")).toString(), Qt::ISODateWithMs);
    const QString folder = QDir(pointPath).filePath(folderName);
    if (!info.made.isValid() || !QFileInfo(folder).isDir() || QFileInfo(folder).isSymLink()) {
        return Info();
    }
    info.path = pointPath;
    info.folder = folder;
    for (const QJsonValue& v : o.value(QStringLiteral("cleaned")).toArray()) {
        info.cleaned << v.toString();
    }
    for (QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
         it.hasNext();) {
        struct stat st {};
        if (::lstat(enc(it.next()).constData(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) {
            info.ownBytes += st.st_size;
        }
    }
    if (about) {
        *about = o;
    }
    return info;
}

} // namespace

Info makeThrow(const QString& backupDir, const QStringList& cleaned, bool copyIfNoLinks) {
    const QString source = QDir::cleanPath(QFileInfo(backupDir).absoluteFilePath());
    if (!QFileInfo(source).isDir() || QFileInfo(source).isSymLink()) {
        throwText(QStringLiteral("%1 is not a backup folder.").arg(backupDir));
    }
    // The folder as no writer is changing it, with any edit a killed clean left finished first.
    const backupjournal::FolderLock lock(source);
    backupjournal::recoverThrow(source);
    const QString base = pointsFolder(source);
    // Under the lock no other restore point of this folder is being made: one without its about.json was cut short.
    for (const QString& stamp : QDir(base).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (readPoint(QDir(base).filePath(stamp), QFileInfo(source).fileName()).path.isEmpty()) {
            QDir(QDir(base).filePath(stamp)).removeRecursively();
        }
    }
    QDateTime made = QDateTime::currentDateTime();
    while (QFileInfo::exists(QDir(base).filePath(made.toString(kStampFormat)))) {
        made = made.addMSecs(1);
    }
    const QString point = QDir(base).filePath(made.toString(kStampFormat));
    const QString target = QDir(point).filePath(QFileInfo(source).fileName());
    // The user's data, kept out of other users' reach whatever the backup folder's own mode.
    constexpr QFileDevice::Permissions kOwnerOnly =
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    if (!QDir().mkpath(target) || !QFile::setPermissions(base, kOwnerOnly) ||
        !QFile::setPermissions(point, kOwnerOnly)) {
        QDir(point).removeRecursively();
        throwText(QStringLiteral("Cannot create the restore point %1.").arg(point));
    }
    bool copying = false;
    try {
        QJsonObject linked;
        for (QDirIterator it(source, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                             QDirIterator::Subdirectories);
             it.hasNext();) {
            const QString path = it.next();
            const QString rel = QDir(source).relativeFilePath(path);
            const QString dst = QDir(target).filePath(rel);
            const QFileInfo fi = it.fileInfo();
            if (fi.isSymLink()) {
                // A backup holds none; kept as the link it is, never followed.
                if (!QFile::link(fi.symLinkTarget(), dst)) {
                    throwText(QStringLiteral("Cannot keep the link %1.").arg(path));
                }
            } else if (fi.isDir()) {
                if (!QDir().mkpath(dst)) {
                    throwText(QStringLiteral("Cannot create %1.").arg(dst));
                }
            } else if (isDataFile(fi.fileName()) && !copying) {
                if (::link(enc(path).constData(), enc(dst).constData()) == 0) {
                    const FileState s = stateOf(path);
                    linked.insert(rel, QJsonArray{double(s.size), QString::number(s.mtimeNs)});
                    continue;
                }
                if (errno != EPERM && errno != EOPNOTSUPP && errno != EXDEV && errno != EMLINK) {
                    throwText(QStringLiteral("Cannot link %1 into the restore point: %2")
                                  .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
                }
                if (!copyIfNoLinks) {
                    throw NoHardLinks(QStringLiteral("The disk of %1 cannot keep a restore point without copying "
                                                     "the whole backup (it has no hard links).")
                                          .arg(backupDir)
                                          .toStdString());
                }
                struct statvfs vfs {};
                const qint64 need = folderBytes(source);
                if (::statvfs(enc(base).constData(), &vfs) != 0 || qint64(vfs.f_bavail) * qint64(vfs.f_frsize) < need) {
                    throwText(QStringLiteral("There is no room for a copy of the backup as a restore point."));
                }
                copying = true;
                copyFileThrow(path, dst);
            } else {
                copyFileThrow(path, dst);
            }
        }
        const QJsonObject about{{QStringLiteral("made"), made.toString(Qt::ISODateWithMs)},
                                {QStringLiteral("cleaned"), QJsonArray::fromStringList(cleaned)},
                                {QStringLiteral("linked"), linked}};
        // Written last and in place: the folder is new, and one without a whole about.json is no restore point.
        QFile aboutFile(QDir(point).filePath(kAbout));
        if (!aboutFile.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
            throwText(QStringLiteral("Cannot write %1: %2").arg(aboutFile.fileName(), aboutFile.errorString()));
        }
        fileutil::writeAllThrow(aboutFile, QJsonDocument(about).toJson(QJsonDocument::Compact));
        aboutFile.close();
        syncFolder(point);
    } catch (...) {
        QDir(point).removeRecursively();
        QDir().rmdir(base);
        throw;
    }
    qCDebug(lcRestorePoint) << "kept the backup as it was in" << point;
    return readPoint(point, QFileInfo(source).fileName());
}

QList<Info> list(const QString& backupDir) {
    QList<Info> points;
    const QString name = QFileInfo(QDir::cleanPath(QFileInfo(backupDir).absoluteFilePath())).fileName();
    const QDir base(pointsFolder(backupDir));
    for (const QString& stamp : base.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::Reversed)) {
        const Info info = readPoint(base.filePath(stamp), name);
        if (!info.path.isEmpty()) {
            points << info;
        }
    }
    return points;
}

bool remove(const Info& point) {
    const QString base = QFileInfo(point.path).absolutePath();
    const bool removed = QDir(point.path).removeRecursively();
    QDir().rmdir(base); // only when it was the last one
    return removed;
}

void prune(const QString& backupDir, int keep) {
    const QList<Info> points = list(backupDir);
    for (qsizetype i = qMax(0, keep); i < points.size(); ++i) {
        if (!remove(points.at(i))) {
            qCWarning(lcRestorePoint) << "could not remove the restore point" << points.at(i).path;
        }
    }
}

Info undoThrow(const QString& backupDir) {
    const QString folder = QDir::cleanPath(QFileInfo(backupDir).absoluteFilePath());
    const QList<Info> points = list(folder);
    if (points.isEmpty()) {
        throwText(QStringLiteral("%1 has no restore point.").arg(backupDir));
    }
    const Info& point = points.first();
    std::unique_ptr<backupjournal::FolderLock> lock;
    if (QFileInfo(folder).isDir()) {
        lock = std::make_unique<backupjournal::FolderLock>(folder);
    }
    QJsonObject about;
    readPoint(point.path, QFileInfo(folder).fileName(), &about);
    const QJsonObject linked = about.value(QStringLiteral("linked")).toObject();
    for (auto it = linked.constBegin(); it != linked.constEnd(); ++it) {
        const QJsonArray kept = it.value().toArray();
        const FileState want{qint64(kept.at(0).toDouble()), kept.at(1).toString().toLongLong()};
        if (stateOf(QDir(point.folder).filePath(it.key())) != want) {
            throwText(QStringLiteral("The restore point of %1 made %2 was changed since (%3): it cannot bring the "
                                     "backup back.")
                          .arg(backupDir, point.made.toString(Qt::ISODate), it.key()));
        }
    }
    // One atomic swap where the file system allows it: the folder is always either as it is or as it was.
    if (QFileInfo::exists(folder) &&
        ::renameat2(AT_FDCWD, enc(point.folder).constData(), AT_FDCWD, enc(folder).constData(), RENAME_EXCHANGE) != 0) {
        const QString aside = point.path + QStringLiteral("/replaced");
        if (::rename(enc(folder).constData(), enc(aside).constData()) != 0) {
            throwText(
                QStringLiteral("Cannot put %1 back: %2").arg(backupDir, QString::fromLocal8Bit(std::strerror(errno))));
        }
        if (::rename(enc(point.folder).constData(), enc(folder).constData()) != 0) {
            const int error = errno;
            ::rename(enc(aside).constData(), enc(folder).constData());
            throwText(
                QStringLiteral("Cannot put %1 back: %2").arg(backupDir, QString::fromLocal8Bit(std::strerror(error))));
        }
    } else if (!QFileInfo::exists(folder) && ::rename(enc(point.folder).constData(), enc(folder).constData()) != 0) {
        throwText(
            QStringLiteral("Cannot put %1 back: %2").arg(backupDir, QString::fromLocal8Bit(std::strerror(errno))));
    }
    syncFolder(folder);
    if (!remove(point)) {
        qCWarning(lcRestorePoint) << "could not remove the used restore point" << point.path;
    }
    qCDebug(lcRestorePoint) << "put back" << folder << "as it was on" << point.made;
    return point;
}

} // namespace restorepoint
