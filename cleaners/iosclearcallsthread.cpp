#include "cleaners/iosclearcallsthread.h"

#include "backup/backupmanifest.h"
#include "sqlite/sqlite3db.h"

#include <QFileInfo>

namespace {

struct CallStore {
    const char* hashName;
    const char* statements[4];
    const char* describe; // the calls, and their first and last date in Unix seconds
};

const CallStore kStores[] = {
    // WirelessDomain-Library/CallHistory/call_history.db
    {"2b2b0084a1bc3a5ac8c27afdf14afb42c61a19ca",
     {"delete from call", "update sqlite_sequence set seq=0", "vacuum", nullptr},
     "select count(*) as n, min(nullif(date, 0)) as first, max(nullif(date, 0)) as last from call"},
    // HomeDomain-Library/CallHistoryDB/CallHistory.storedata
    {"5a4935c78a5255723f707230a451d79c540d2741",
     {"delete from ZCALLRECORD", "delete from ZCALLDBPROPERTIES",
      "update Z_PRIMARYKEY set Z_MAX=0 where Z_NAME in ('CallDBProperties','CallRecord');", "vacuum"},
     // Core Data dates count seconds from 2001-01-01.
     "select count(*) as n, min(ZDATE) + 978307200 as first, max(ZDATE) + 978307200 as last from ZCALLRECORD"},
};

} // namespace

IOSClearCallsThread::IOSClearCallsThread(BackupManifest& manifest, ProgressReporter& progress, QObject* parent)
    : BackupCleanerThread(manifest, progress, parent) {}

void IOSClearCallsThread::work() {
    // No cancel checkpoint: the work is short and the caller discards a cancelled run.
    m_progress.invokeUpdateProgress(scanOnly ? tr("IDS_SCANING_CALLS") : tr("IDS_CLEARING_CALLS"), 0, QString());
    BackupEdit edit(m_manifest);
    QList<QPair<QString, EmptyDatabase>> databases;
    for (const CallStore& store : kStores) {
        databases.append({QString::fromLatin1(store.hashName), [&store](Sqlite3DB& db) {
                              for (const char* statement : store.statements) {
                                  if (statement) {
                                      db.executeThrow(statement);
                                  }
                              }
                          }});
    }
    details = {};
    const QList<EditedDatabase> edited =
        emptyDatabasesThrow(edit, databases, [this](const MBDBParser::_MBDBItem& record, qint64 bytes, Sqlite3DB& db) {
            addFileItem(record, bytes);
            for (const CallStore& store : kStores) {
                if (record.backupFileName() == QLatin1String(store.hashName)) {
                    Sqlite3Cursor c = db.queryThrow(store.describe);
                    if (c.moveNext()) {
                        details.itemCount += c.getInt64(QStringLiteral("n"));
                        cleandetails::widenRange(details, devicedb::unixTimeAt(c, QStringLiteral("first")),
                                                 devicedb::unixTimeAt(c, QStringLiteral("last")));
                    }
                }
            }
        });
    cleandetails::sortLargestFirst(details.items);
    if (!scanOnly) {
        writeBackThrow(edit, edited);
    }
}
