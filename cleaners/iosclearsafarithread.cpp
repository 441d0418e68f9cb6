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
    QList<QPair<QString, EmptyDatabase>> databases;
    for (const char* name : kHistoryHashNames) {
        databases.append({QString::fromLatin1(name), [](Sqlite3DB& db) {
                              for (const char* statement : kHistoryStatements) {
                                  db.executeThrow(statement);
                              }
                          }});
    }
    const QList<EditedDatabase> edited = emptyDatabasesThrow(edit, databases);

    dropAllThrow(edit, isBrowserData);
    if (!scanOnly) {
        writeBackThrow(edit, edited);
    }
}
