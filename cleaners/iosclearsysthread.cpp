#include "cleaners/iosclearsysthread.h"

namespace {

enum class SystemFile { None, Cache, Temp };

SystemFile systemFileKind(const MBDBParser::_MBDBItem& r) {
    const QString domain = r.domain.toString();
    if (r.isFolder() || (domain.compare(QLatin1String("RootDomain"), Qt::CaseInsensitive) != 0 &&
                         domain.compare(QLatin1String("HomeDomain"), Qt::CaseInsensitive) != 0)) {
        return SystemFile::None;
    }
    const QString path = r.relativePath.toString();
    if (path.startsWith(QLatin1String("Library/Caches/"), Qt::CaseInsensitive)) {
        return SystemFile::Cache;
    }
    return path.startsWith(QLatin1String("tmp/"), Qt::CaseInsensitive) ? SystemFile::Temp : SystemFile::None;
}

} // namespace

IOSClearSysThread::IOSClearSysThread(BackupManifest& manifest, ProgressReporter& progress, QObject* parent)
    : BackupCleanerThread(manifest, progress, parent) {}

void IOSClearSysThread::work() {
    cacheBytes = 0;
    tempBytes = 0;
    m_progress.invokeUpdateProgress(scanOnly ? tr("IDS_SCANING_SYS_CACHE") : tr("IDS_CLEARING_SYS_CACHE"), 0,
                                    QString());
    details = {};
    BackupEdit edit(m_manifest);
    QHash<QString, cleandetails::Item> byDomain;
    const QList<QString> names = edit.records.keys();
    const qsizetype n = names.size();
    for (qsizetype i = 0; i < n; ++i) {
        checkCanceled();
        reportPercent(int(double(i) / double(n) * 100));
        const MBDBParser::_MBDBItem& record = edit.records[names.at(i)];
        const SystemFile kind = systemFileKind(record);
        if ((kind == SystemFile::Cache && caches) || (kind == SystemFile::Temp && temps)) {
            const qint64 size = dropOnce(edit, names.at(i));
            (kind == SystemFile::Cache ? cacheBytes : tempBytes) += size;
            foundBytes += size;
            clearedBytes += size;
            if (wantDetails) {
                const QString domain = record.domain.toString();
                cleandetails::Item& item = byDomain[domain];
                item.id = domain;
                item.label = domain.startsWith(QLatin1String("AppDomain-")) ? domain.mid(10) : domain;
                item.bytes += size;
                ++item.count;
                ++details.itemCount;
            }
        }
    }
    details.items = byDomain.values();
    cleandetails::sortLargestFirst(details.items);
    if (!scanOnly) {
        edit.commit();
    }
}
