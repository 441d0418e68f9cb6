#include "cleaners/iosclearsafarithread.h"

#include "backup/backupmanifest.h"
#include "sqlite/sqlite3db.h"

#include <QFileInfo>

namespace {

const QLatin1String kSafariDomain("AppDomain-com.apple.mobilesafari");

// The history database: in the browser's container on older systems, in the home domain on current ones.
const char* const kHistoryHashNames[] = {
    "e74113c185fd8297e140cfcf9c99436c5cc06b57", // AppDomain-com.apple.mobilesafari-Library/Safari/History.db
    "1a0e7afc19d307da602ccdcece51af33afe92c53", // HomeDomain-Library/Safari/History.db
};

const char* const kHistoryStatements[] = {
    "delete from history_items", "delete from history_tombstones",   "delete from history_visits",
    "delete from metadata",      "update sqlite_sequence set seq=0", "vacuum",
};

bool isBrowserData(const MBDBParser::_MBDBItem& r) {
    if (r.domain.toString().compare(kSafariDomain, Qt::CaseInsensitive) != 0) {
        return false;
    }
    const QString path = r.relativePath.toString();
    return path.startsWith(QLatin1String("Library/WebKit/WebsiteData/LocalStorage/")) ||
           path.startsWith(QLatin1String("Library/Safari/Thumbnails/")) ||
           path.startsWith(QLatin1String("Library/Safari/History.plist"));
}

} // namespace

IOSClearSafariThread::IOSClearSafariThread(BackupManifest& manifest, ProgressReporter& progress, QObject* parent)
    : BackupCleanerThread(manifest, progress, parent) {}

void IOSClearSafariThread::work() {
    m_progress.invokeUpdateProgress(scanOnly ? tr("IDS_SCANING_SAFARI") : tr("IDS_CLEARING_SAFARI_CACHE"), 0,
                                    QString());
    BackupEdit edit(m_manifest);
    QList<QPair<QString, QString>> edited; // hash name, working copy
    for (const char* name : kHistoryHashNames) {
        const QString hashName = QString::fromLatin1(name);
        const auto record = edit.records.constFind(hashName);
        if (record == edit.records.constEnd() || record->isFolder()) {
            continue;
        }
        const QString work = edit.copyOut(*record);
        const qint64 size = QFileInfo(work).size();
        foundBytes += size;
        if (scanOnly) {
            continue;
        }
        clearedBytes += size;
        Sqlite3DB db;
        devicedb::openThrow(db, work);
        for (const char* statement : kHistoryStatements) {
            db.executeThrow(statement);
        }
        devicedb::finishThrow(db);
        edited << qMakePair(hashName, work);
    }

    const QList<QString> names = edit.records.keys();
    const qsizetype n = names.size();
    for (qsizetype i = 1; i <= n; ++i) {
        checkCanceled();
        reportPercent(int(double(i) / double(n) * 100));
        const MBDBParser::_MBDBItem& record = edit.records[names.at(i - 1)];
        if (isBrowserData(record)) {
            const qint64 size = dropOnce(edit, names.at(i - 1));
            foundBytes += size;
            if (!scanOnly) {
                clearedBytes += size;
            }
        }
    }

    if (!scanOnly) {
        for (const auto& [hashName, work] : std::as_const(edited)) {
            edit.replace(hashName, work);
        }
        edit.commit();
    }
}
