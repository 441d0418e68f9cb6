#include "app/paths.h"

#include "app/errreport.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QUrl>

namespace {

constexpr const char* kAppFolder = "spacevexlar";

// An XDG base folder: the variable when it holds an absolute path (the base
// directory rules ignore relative ones), else the fallback below the home folder.
QString xdgHome(const char* variable, const char* fallback) {
    const QString configured = qEnvironmentVariable(variable);
    const QString base = QDir::isAbsolutePath(configured) ? configured : QDir::home().filePath(QLatin1String(fallback));
    return QDir::cleanPath(base + QLatin1Char('/') + QLatin1String(kAppFolder));
}

QString configDirPath() {
    return xdgHome("XDG_CONFIG_HOME", ".config");
}

QString movedMarkerPath() {
    return configDirPath() + QStringLiteral("/moved-from-earlier-version");
}

// Byte-for-byte comparison, in chunks: a copy is trusted only once it reads back the same.
bool sameContent(const QString& a, const QString& b) {
    QFile fa(a);
    QFile fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size()) {
        return false;
    }
    constexpr qint64 kChunk = 1 << 20;
    while (!fa.atEnd()) {
        if (fa.read(kChunk) != fb.read(kChunk)) {
            return false;
        }
    }
    return fa.error() == QFileDevice::NoError && fb.error() == QFileDevice::NoError;
}

// Copies a regular file to a temporary beside the destination, compares it and
// renames it into place; the source is removed only after all that succeeded.
bool copyFileOver(const QString& from, const QString& to) {
    // Named for this process: a file that happens to exist there is never overwritten.
    const QString partial = to + QStringLiteral(".moving-%1").arg(QCoreApplication::applicationPid());
    if (QFileInfo::exists(partial) || !QFile::copy(from, partial)) {
        return false;
    }
    if (!sameContent(from, partial) || !QDir().rename(partial, to)) {
        QFile::remove(partial);
        return false;
    }
    return QFile::remove(from);
}

// Moves one entry of any kind. A destination that exists is never replaced:
// folders are merged entry by entry, anything else stays at its source.
bool moveEntry(const QString& from, const QString& to) {
    const QFileInfo source(from);
    if (!source.exists() && !source.isSymLink()) {
        return true;
    }
    const QFileInfo target(to);
    if (target.exists() || target.isSymLink()) {
        if (!source.isDir() || source.isSymLink() || !target.isDir() || target.isSymLink()) {
            qWarning("not moved, %s already exists: %s", qUtf8Printable(to), qUtf8Printable(from));
            return true;
        }
    } else {
        if (!QDir().mkpath(target.absolutePath())) {
            return false;
        }
        if (QDir().rename(from, to)) {
            return true;
        }
        // Another file system: copy, compare, then remove.
        if (source.isSymLink()) {
            return QFile::link(source.symLinkTarget(), to) && QFile::remove(from);
        }
        if (!source.isDir()) {
            return copyFileOver(from, to);
        }
        if (!QDir().mkdir(to)) {
            return false;
        }
    }
    bool moved = true;
    const QDir dir(from);
    const QStringList names = dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        moved = moveEntry(dir.filePath(name), QDir(to).filePath(name)) && moved;
    }
    // Only an emptied folder goes: one holding entries left beside existing ones stays.
    QDir().rmdir(from);
    return moved;
}

} // namespace

QString g_settingsFilePath() {
    return configDirPath() + QStringLiteral("/spacevexlar.conf");
}

QString g_resolveDataSaveDirPath() {
    return xdgHome("XDG_DATA_HOME", ".local/share");
}

QDir g_dataSaveDir() {
    static const QString path = g_resolveDataSaveDirPath();
    QDir().mkpath(path);
    return QDir(path);
}

QDir g_cacheDir() {
    const QString path = xdgHome("XDG_CACHE_HOME", ".cache");
    QDir().mkpath(path);
    return QDir(path);
}

QString g_logDirPath() {
    return xdgHome("XDG_STATE_HOME", ".local/state") + QStringLiteral("/logs");
}

QString g_backupDirPath() {
    const QString chosen =
        QSettings(g_settingsFilePath(), QSettings::IniFormat).value(QStringLiteral("backups/folder")).toString();
    if (QDir::isAbsolutePath(chosen)) {
        // A folder of its own: the backup root is emptied and deleted as a whole.
        return QDir::cleanPath(chosen) + QStringLiteral("/spacevexlar-backups");
    }
    return g_resolveDataSaveDirPath() + QStringLiteral("/backups");
}

void g_setBackupDirPath(const QString& path) {
    QSettings settings(g_settingsFilePath(), QSettings::IniFormat);
    if (path.isEmpty()) {
        settings.remove(QStringLiteral("backups/folder"));
    } else {
        settings.setValue(QStringLiteral("backups/folder"), QDir::cleanPath(path));
    }
}

namespace {
constexpr int kMostRestorePoints = 20;
const QLatin1String kRestorePointsKey("backups/restorePointsToKeep");
} // namespace

int g_restorePointsToKeep() {
    bool ok = false;
    const int count = QSettings(g_settingsFilePath(), QSettings::IniFormat).value(kRestorePointsKey).toInt(&ok);
    // A hand-edited setting out of range falls back rather than keeping none or filling the disk.
    return ok && count >= 1 && count <= kMostRestorePoints ? count : 1;
}

void g_setRestorePointsToKeep(int count) {
    QSettings(g_settingsFilePath(), QSettings::IniFormat)
        .setValue(kRestorePointsKey, qBound(1, count, kMostRestorePoints));
}

QString g_legacyDataDirPath() {
    const QString legacyBase = QDir::home().filePath(QStringLiteral("Library/Application Support/Quorvindale"));
    QString base = legacyBase;
    QFile redirect(QDir(legacyBase).absoluteFilePath(QLatin1String(kProductId) + QStringLiteral(".redirect")));
    if (redirect.open(QIODevice::ReadOnly)) {
        // A path, not a document: refuse to slurp an arbitrarily large file.
        constexpr qint64 kMaxRedirectBytes = 64 * 1024;
        const QString target = QString::fromUtf8(redirect.read(kMaxRedirectBytes)).trimmed();
        if (!target.isEmpty() && QFileInfo::exists(target)) {
            base = target;
        }
    }
    return QDir(base).absoluteFilePath(QLatin1String(kProductId));
}

bool g_moveLegacyFolders() {
    if (QFileInfo::exists(movedMarkerPath())) {
        return true;
    }
    const QString legacy = g_legacyDataDirPath();
    const QString data = g_resolveDataSaveDirPath();
    const QString cache = xdgHome("XDG_CACHE_HOME", ".cache");
    // The folders with a new home first; whatever else the data folder held follows it.
    const QList<QPair<QString, QString>> moves = {
        {legacy + QStringLiteral("/qlogs"), g_logDirPath()},
        {legacy + QStringLiteral("/ios_cache"), cache + QStringLiteral("/ios_cache")},
        {legacy + QStringLiteral("/itunes_cache"), cache + QStringLiteral("/itunes_cache")},
        {QDir::home().filePath(QStringLiteral("Documents/__quorvindale_iosbk_temp")), g_backupDirPath()},
        {legacy, data},
    };
    bool moved = true;
    for (const auto& [from, to] : moves) {
        moved = moveEntry(from, to) && moved;
    }
    if (!moved) {
        qWarning("some folders of the earlier version could not be moved; trying again at the next start");
        return false;
    }
    QDir().mkpath(configDirPath());
    QFile marker(movedMarkerPath());
    return marker.open(QIODevice::WriteOnly);
}

QString g_installedDeviceLibraryPath() {
    return QStringLiteral(VEXLAR_INSTALLED_DEVICE_LIBRARY);
}

QString g_installedBackupHelperPath() {
    return QStringLiteral(VEXLAR_INSTALLED_BACKUP_HELPER);
}

void g_delDirCascade(const QString& path) {
    QDir dir(path);
    if (path.isEmpty() || !dir.exists()) {
        return;
    }
    // System lists broken symbolic links too; hidden entries stay unlisted on purpose.
    const QFileInfoList entries =
        dir.entryInfoList(QDir::AllEntries | QDir::System | QDir::Drives | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo& entry : entries) {
        // A link to a folder is removed as a link: following it would delete data elsewhere.
        if (entry.isDir() && !entry.isSymLink()) {
            g_delDirCascade(entry.absoluteFilePath());
        } else {
            dir.remove(entry.fileName());
        }
    }
    dir.rmdir(dir.absolutePath());
}

QString g_formatFileName(const QString& name) {
    static const QRegularExpression unsafe(QStringLiteral("[\\\\/:*\\?\"<>|\\n\\r\\t]"));
    QString result = name;
    result.replace(unsafe, QString());
    return result.trimmed();
}

bool g_isSafeIdentifier(const QString& id, IdentifierKind kind) {
    static const QRegularExpression device(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9_-]{0,79}$"));
    static const QRegularExpression app(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._-]{0,254}$"));
    return (kind == IdentifierKind::Device ? device : app).match(id).hasMatch();
}

void g_openLink(const QString& target) {
    if (target.isEmpty()) {
        return;
    }
    // Local paths become file URLs; everything else is taken as the URL the user would type.
    const QUrl url = QFileInfo::exists(target) ? QUrl::fromLocalFile(QFileInfo(target).absoluteFilePath())
                                               : QUrl::fromUserInput(target);
    if (url.isValid()) {
        QDesktopServices::openUrl(url);
    }
}

QString formatSpaceShow(const long long& bytes) {
    const double k = static_cast<double>(bytes) / 1024;
    if (k < 1024) {
        return QStringLiteral("%1 KB").arg(k, 0, 'f', 1);
    }
    const double m = k / 1024;
    if (m < 1024) {
        return QStringLiteral("%1 MB").arg(m, 0, 'f', 1);
    }
    return QStringLiteral("%1 GB").arg(m / 1024, 0, 'f', 1);
}
