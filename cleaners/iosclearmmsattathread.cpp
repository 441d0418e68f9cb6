#include "cleaners/iosclearmmsattathread.h"

#include "backup/backupmanifest.h"
#include "sqlite/sqlite3db.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <QSet>

Q_LOGGING_CATEGORY(lcClearMmsAtta, "vexlar.cleaners.mmsatta")

namespace {

const char* const kNewerTables[] = {"chat", "handle", "chat_handle_join", "message", "chat_message_join"};

QString folderOf(const QString& path) {
    return path.left(qMax<qsizetype>(0, path.lastIndexOf(QLatin1Char('/'))));
}

} // namespace

IOSClearMMSAttaThread::IOSClearMMSAttaThread(BackupManifest& manifest, ProgressReporter& progress, QObject* parent)
    : BackupCleanerThread(manifest, progress, parent) {}

void IOSClearMMSAttaThread::work() {
    m_progress.invokeUpdateProgress(scanOnly ? tr("IDS_SCANING_MMS_ATTA") : tr("IDS_CLEARING_MMS_ATTA"), 0, QString());
    details = {};
    BackupEdit edit(m_manifest);
    if (!m_manifest.smsDb) {
        qCWarning(lcClearMmsAtta, "IOSClearMMSAttaThread, could not find Library/SMS/sms.db.");
        return;
    }
    const auto sms = edit.records.constFind(m_manifest.smsDb->item.backupFileName());
    if (sms == edit.records.constEnd()) {
        throw std::runtime_error("The message database is no longer in the backup's manifest.");
    }

    // Paths still referred to: attachment folders, and (older generation) whole part paths.
    QSet<QString> references;
    const auto addFolderOf = [&](const QString& filename) {
        const qsizetype at = filename.indexOf(QLatin1String("Library/SMS/"));
        if (at >= 0) {
            const QString folder = folderOf(filename.mid(at));
            qCDebug(lcClearMmsAtta) << "referenced folder" << folder;
            references.insert(folder);
        }
    };
    const auto readRows = [&](Sqlite3DB& db, const char* sql, int from, int span,
                              const std::function<void(Sqlite3Cursor&)>& row) {
        Sqlite3Cursor c = db.queryThrow(sql);
        const int n = c.count();
        for (int i = 1; c.moveNext(); ++i) {
            checkCanceled();
            reportPercent(from + int(double(i) / double(n) * span));
            row(c);
        }
    };
    {
        Sqlite3DB db;
        devicedb::openThrow(db, edit.copyOut(*sms));
        const QHash<QString, QString> tables = devicedb::tablesThrow(db);
        bool newer = true;
        for (const char* table : kNewerTables) {
            newer = newer && tables.contains(QLatin1String(table));
        }
        if (newer) {
            readRows(db,
                     "select a.filename from attachment as a inner join message_attachment_join as ma on "
                     "a.rowid=ma.attachment_id",
                     0, 50, [&](Sqlite3Cursor& c) { addFolderOf(c.getText(QStringLiteral("filename"))); });
        } else {
            if (tables.contains(QStringLiteral("madrid_attachment"))) {
                readRows(db, "select filename from madrid_attachment", 0, 25,
                         [&](Sqlite3Cursor& c) { addFolderOf(c.getText(QStringLiteral("filename"))); });
            }
            readRows(db,
                     "select p.message_id, p.part_id, p.content_loc, m.group_id from msg_pieces as p inner join "
                     "message as m  on p.message_id=m.rowid",
                     25, 25, [&](Sqlite3Cursor& c) {
                         const qint64 messageId = c.getInt64(QStringLiteral("message_id"));
                         const qint64 groupId = c.getInt64(QStringLiteral("group_id"));
                         const qint64 partId = c.getInt64(QStringLiteral("part_id"));
                         const QString contentLoc = c.getText(QStringLiteral("content_loc"));
                         if (contentLoc.trimmed().isEmpty()) {
                             return;
                         }
                         const QString part = QStringLiteral("Library/SMS/Parts/%1/%2/%3-%4.%5")
                                                  .arg(int(((groupId % 256) + 256) % 256), 2, 16, QLatin1Char('0'))
                                                  .arg(int(((messageId % 16) + 16) % 16), 2, 10, QLatin1Char('0'))
                                                  .arg(messageId)
                                                  .arg(partId)
                                                  .arg(QFileInfo(contentLoc).suffix());
                         qCDebug(lcClearMmsAtta) << "referenced part" << part;
                         references.insert(part);
                     });
        }
        db.close();
    }

    const QList<QString> names = edit.records.keys();
    const qsizetype n = names.size();
    for (qsizetype i = 1; i <= n; ++i) {
        checkCanceled();
        reportPercent(int(double(i) / double(n) * 50 + 50));
        const MBDBParser::_MBDBItem record = edit.records.value(names.at(i - 1));
        if (record.isFolder() ||
            record.domain.toString().compare(QLatin1String("MediaDomain"), Qt::CaseInsensitive) != 0) {
            continue;
        }
        const QString path = record.relativePath.toString();
        bool junk = false;
        if (path.startsWith(QLatin1String("Library/SMS/Attachments/"))) {
            junk = !references.contains(folderOf(path));
            if (junk) {
                qCDebug(lcClearMmsAtta, "invalid mms folder file: %s", qUtf8Printable(path));
            }
        } else if (path.startsWith(QLatin1String("Library/SMS/Parts/"))) {
            junk = !references.contains(path);
            if (junk) {
                qCDebug(lcClearMmsAtta, "invalid mms attachment: %s", qUtf8Printable(path));
            }
        }
        if (junk) {
            const qint64 size = dropOnce(edit, names.at(i - 1));
            foundBytes += size;
            if (!scanOnly) {
                clearedBytes += size;
            }
            if (wantDetails) {
                cleandetails::Item item;
                item.id = record.domain.toString() + QLatin1Char('-') + path;
                item.label = path;
                item.bytes = size;
                item.count = 1;
                details.items.append(item);
                ++details.itemCount;
            }
        }
    }
    cleandetails::sortLargestFirst(details.items);
    if (!scanOnly) {
        edit.commit();
    }
}
