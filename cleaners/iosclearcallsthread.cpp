#include "cleaners/iosclearcallsthread.h"

#include "backup/backupmanifest.h"
#include "sqlite/sqlite3db.h"

#include <QFileInfo>

namespace {

struct CallStore {
    const char* hashName;
    const char* statements[4];
};

const CallStore kStores[] = {
    // WirelessDomain-Library/CallHistory/call_history.db
    {"2b2b0084a1bc3a5ac8c27afdf14afb42c61a19ca",
     {"delete from call", "update sqlite_sequence set seq=0", "vacuum", nullptr}},
    // HomeDomain-Library/CallHistoryDB/CallHistory.storedata
    {"5a4935c78a5255723f707230a451d79c540d2741",
     {"delete from ZCALLRECORD", "delete from ZCALLDBPROPERTIES",
      "update Z_PRIMARYKEY set Z_MAX=0 where Z_NAME in ('CallDBProperties','CallRecord');", "vacuum"}},
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
    const QList<EditedDatabase> edited = emptyDatabasesThrow(edit, databases);
    if (!scanOnly) {
        writeBackThrow(edit, edited);
    }
}
