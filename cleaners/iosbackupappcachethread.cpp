#include "cleaners/iosbackupappcachethread.h"

#include "backup/backupmanifest.h"

#include <QFile>
#include <QLoggingCategory>
#include <QSet>

Q_LOGGING_CATEGORY(lcBackupAppCache, "vexlar.cleaners.backupappcache")

namespace {

const QLatin1String kAppDomain("AppDomain-");
const QLatin1String kCacheFolders[] = {QLatin1String("Library/Caches/"), QLatin1String("Library/tmp/"),
                                       QLatin1String("tmp/")};
constexpr quint16 kModeTypeMask = 0xF000;
constexpr quint16 kModeRegular = 0x8000;

} // namespace

IOSBackupAppCacheThread::IOSBackupAppCacheThread(BackupManifest& manifest, QList<_IOSAppInfo> const& apps,
                                                 ProgressReporter& progress, QObject* parent)
    : BackupCleanerThread(manifest, progress, parent), m_apps(apps) {}

QString IOSBackupAppCacheThread::cacheOwner(const MBDBParser::_MBDBItem& record) {
    const QString domain = record.domain.toString();
    const QString path = record.relativePath.toString();
    if (!domain.startsWith(kAppDomain)) {
        return QString();
    }
    for (const QLatin1String& folder : kCacheFolders) {
        // Strictly below: the folder itself stays, as on the live road.
        if (path.size() > folder.size() && path.startsWith(folder)) {
            return domain.mid(kAppDomain.size());
        }
    }
    return QString();
}

void IOSBackupAppCacheThread::work() {
    appCacheBytes.clear();
    m_progress.invokeUpdateProgress(scanOnly ? tr("IDS_SCAN_IOS_APP_CACHE") : tr("IDS_CLEAR_IOS_APP_CACHE"), 0,
                                    QString());
    QSet<QString> chosen;
    for (const _IOSAppInfo& app : m_apps) {
        chosen.insert(app.appId);
        appCacheBytes.insert(app.appId, 0);
    }
    BackupEdit edit(m_manifest);
    QStringList dataFiles; // of dropped regular files, removed after the save
    const QList<QString> names = edit.records.keys();
    const qsizetype n = names.size();
    for (qsizetype i = 0; i < n; ++i) {
        checkCanceled();
        reportPercent(int(double(i) / double(n) * 100));
        const MBDBParser::_MBDBItem& record = edit.records[names.at(i)];
        const QString app = cacheOwner(record);
        if (app.isEmpty() || !chosen.contains(app)) {
            continue;
        }
        const bool regular = (record.mode & kModeTypeMask) == kModeRegular;
        const qint64 size = regular ? qMax<qint64>(0, record.size) : 0;
        appCacheBytes[app] += size;
        foundBytes += size;
        if (!scanOnly) {
            edit.drop(names.at(i));
            clearedBytes += size;
            if (regular) {
                dataFiles << MBDBParser::getBKFilePath(m_manifest.dir, names.at(i), false);
            }
        }
    }
    if (scanOnly) {
        return;
    }
    checkCanceled();
    edit.commit();
    // The manifest no longer lists them: a crash from here on leaves only unlisted files behind.
    for (const QString& path : std::as_const(dataFiles)) {
        if (QFile::exists(path) && !QFile::remove(path)) {
            qCWarning(lcBackupAppCache, "could not remove %s", qPrintable(path));
        }
    }
}
