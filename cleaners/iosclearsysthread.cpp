#include "cleaners/iosclearsysthread.h"

namespace {

bool isSystemCache(const MBDBParser::_MBDBItem& r) {
    const QString domain = r.domain.toString();
    return (domain.compare(QLatin1String("RootDomain"), Qt::CaseInsensitive) == 0 ||
            domain.compare(QLatin1String("HomeDomain"), Qt::CaseInsensitive) == 0) &&
           !r.isFolder() && r.relativePath.toString().startsWith(QLatin1String("Library/Caches/"), Qt::CaseInsensitive);
}

} // namespace

IOSClearSysThread::IOSClearSysThread(BackupManifest& manifest, ProgressReporter& progress, QObject* parent)
    : BackupCleanerThread(manifest, progress, parent) {}

void IOSClearSysThread::work() {
    m_progress.invokeUpdateProgress(scanOnly ? tr("IDS_SCANING_SYS_CACHE") : tr("IDS_CLEARING_SYS_CACHE"), 0,
                                    QString());
    BackupEdit edit(m_manifest);
    const QList<QString> names = edit.records.keys();
    const qsizetype n = names.size();
    for (qsizetype i = 0; i < n; ++i) {
        checkCanceled();
        reportPercent(int(double(i) / double(n) * 100));
        if (isSystemCache(edit.records.value(names.at(i)))) {
            const qint64 size = edit.drop(names.at(i));
            foundBytes += size;
            clearedBytes += size;
        }
    }
    if (!scanOnly) {
        edit.commit();
    }
}
