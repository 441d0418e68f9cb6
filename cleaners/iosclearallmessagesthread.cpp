#include "cleaners/iosclearallmessagesthread.h"

#include "backup/backupmanifest.h"
#include "sqlite/sqlite3db.h"

#include <QFileInfo>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcClearMessages, "vexlar.cleaners.messages")

namespace {

const char* const kNewerTables[] = {"chat", "handle", "chat_handle_join", "message", "chat_message_join"};

bool isMessageFile(const MBDBParser::_MBDBItem& r) {
    const QString domain = r.domain.toString();
    const QString path = r.relativePath.toString();
    if (domain.compare(QLatin1String("MediaDomain"), Qt::CaseInsensitive) == 0) {
        return path.startsWith(QLatin1String("Library/SMS/Attachments/")) ||
               path.startsWith(QLatin1String("Library/SMS/Parts/"));
    }
    return domain.compare(QLatin1String("HomeDomain"), Qt::CaseInsensitive) == 0 &&
           path.startsWith(QLatin1String("Library/SMS/Drafts/"));
}

void emptyMessagesThrow(Sqlite3DB& db) {
    const QHash<QString, QString> tables = devicedb::tablesThrow(db);
    bool newer = true;
    for (const char* table : kNewerTables) {
        newer = newer && tables.contains(QLatin1String(table));
    }
    QList<const char*> statements;
    if (newer) {
        statements = {"delete from attachment",
                      "delete from chat",
                      "delete from handle",
                      "delete from message",
                      "delete from message_attachment_join",
                      "delete from chat_message_join",
                      "delete from chat_handle_join",
                      "update sqlite_sequence set seq=0 where name in ('handle', 'chat', 'message', 'attachment')"};
    } else {
        statements = {"delete from message", "delete from msg_pieces", "delete from group_member",
                      "delete from msg_group"};
        if (tables.contains(QStringLiteral("madrid_chat"))) {
            statements << "delete from madrid_chat";
        }
        if (tables.contains(QStringLiteral("madrid_attachment"))) {
            statements << "delete from madrid_attachment";
        }
        statements << "update sqlite_sequence set seq=0 where name in ('message', 'msg_pieces', 'group_member', "
                      "'msg_group', 'madrid_attachment', 'madrid_chat')";
    }
    statements << "vacuum";
    for (const char* statement : std::as_const(statements)) {
        db.executeThrow(statement);
    }
}

} // namespace

IOSClearAllMessagesThread::IOSClearAllMessagesThread(BackupManifest& manifest, ProgressReporter& progress,
                                                     QObject* parent)
    : BackupCleanerThread(manifest, progress, parent) {}

void IOSClearAllMessagesThread::work() {
    m_progress.invokeUpdateProgress(scanOnly ? tr("IDS_SCANING_MESSAGES") : tr("IDS_CLEARING_MESSAGES"), 0, QString());
    BackupEdit edit(m_manifest);
    if (!m_manifest.smsDb) {
        qCWarning(lcClearMessages, "IOSClearMMSAttaThread, could not find Library/SMS/sms.db.");
        return;
    }
    const QString smsHash = m_manifest.smsDb->item.backupFileName();
    const auto sms = edit.records.constFind(smsHash);
    if (sms == edit.records.constEnd()) {
        throw std::runtime_error("The message database is no longer in the backup's manifest.");
    }
    const QList<EditedDatabase> edited = emptyDatabasesThrow(edit, {{smsHash, emptyMessagesThrow}});

    dropAllThrow(edit, isMessageFile);
    if (!scanOnly) {
        writeBackThrow(edit, edited);
    }
}
