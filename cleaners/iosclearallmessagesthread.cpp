#include "cleaners/iosclearallmessagesthread.h"

#include "backup/backupmanifest.h"
#include "sqlite/sqlite3db.h"

#include <QFileInfo>
#include <QLoggingCategory>

using namespace Qt::StringLiterals;

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

bool isNewerSchema(const QHash<QString, QString>& tables) {
    return std::all_of(std::begin(kNewerTables), std::end(kNewerTables),
                       [&tables](const char* table) { return tables.contains(QLatin1String(table)); });
}

void emptyMessagesThrow(Sqlite3DB& db) {
    const QHash<QString, QString> tables = devicedb::tablesThrow(db);
    QList<const char*> statements;
    if (isNewerSchema(tables)) {
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

QString folderOf(const QString& path) {
    return path.left(qMax<qsizetype>(0, path.lastIndexOf(QLatin1Char('/'))));
}

// Lower-case column names of a table.
QSet<QString> columnsThrow(Sqlite3DB& db, const QString& table) {
    QSet<QString> columns;
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select name from pragma_table_info(?)").addTextParam(table));
    while (c.moveNext()) {
        columns.insert(c.getText(QStringLiteral("name")).toLower());
    }
    return columns;
}

qint64 countThrow(Sqlite3DB& db, const QString& sql) {
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql(u"select count(*) as n from "_s + sql));
    return c.moveNext() ? c.getInt64(QStringLiteral("n")) : 0;
}

// The message files of the backup, found by what a row of the database names.
class MessageFiles {
public:
    struct File {
        QString hashName;
        qint64 size = 0;
    };

    explicit MessageFiles(const QHash<QString, MBDBParser::_MBDBItem>& records) {
        for (auto it = records.cbegin(); it != records.cend(); ++it) {
            if (it->isFolder() || it->deleted ||
                it->domain.toString().compare(QLatin1String("MediaDomain"), Qt::CaseInsensitive) != 0) {
                continue;
            }
            const QString path = it->relativePath.toString();
            const File file{it.key(), qMax<qint64>(0, it->size)};
            if (path.startsWith(QLatin1String("Library/SMS/Attachments/"))) {
                m_byFolder[folderOf(path)] << file;
            } else if (path.startsWith(QLatin1String("Library/SMS/Parts/"))) {
                m_parts.insert(path, file);
            } else {
                continue;
            }
            totalBytes += file.size;
        }
    }

    // An attachment row's file lies in a folder of its own with its previews: the folder's files go with it.
    // Empty for a name outside the attachments folder, right in it, or climbing out of it.
    static QString attachmentFolder(const QString& filename) {
        const qsizetype at = filename.indexOf(QLatin1String("Library/SMS/Attachments/"));
        const QString folder = at < 0 ? QString() : folderOf(filename.mid(at));
        return folder.count(QLatin1Char('/')) < 3 || folder.contains(QLatin1String("/..")) ? QString() : folder;
    }
    QList<File> inFolder(const QString& folder) const { return m_byFolder.value(folder); }

    // A part of a multimedia message of the older database, where the device keeps it.
    QList<File> part(qint64 groupId, qint64 messageId, qint64 partId, const QString& contentLoc) const {
        const auto it = m_parts.constFind(QStringLiteral("Library/SMS/Parts/%1/%2/%3-%4.%5")
                                              .arg(int(((groupId % 256) + 256) % 256), 2, 16, QLatin1Char('0'))
                                              .arg(int(((messageId % 16) + 16) % 16), 2, 10, QLatin1Char('0'))
                                              .arg(messageId)
                                              .arg(partId)
                                              .arg(QFileInfo(contentLoc).suffix()));
        return it == m_parts.constEnd() ? QList<File>() : QList<File>{*it};
    }

    qint64 totalBytes = 0;

private:
    QHash<QString, QList<File>> m_byFolder;
    QHash<QString, File> m_parts;
};

// The two database generations in the words the queries need: a conversation is a chat of the newer database and
// a msg_group of the older one; each message date in Unix seconds.
struct Schema {
    bool newer = true;
    QString conversation;         // the table
    QString unixDate;             // SQL of message m's date in Unix seconds
    QString pieceIsAttachment;    // SQL: a piece p of the older database that is an attachment, not the text
    bool madrid = false;          // older: madrid_attachment exists
    bool piecesHaveFiles = false; // older: msg_pieces names a file in content_loc

    Schema(Sqlite3DB& db, const QHash<QString, QString>& tables) : newer(isNewerSchema(tables)) {
        if (newer) {
            conversation = u"chat"_s;
            // Seconds since 2001 on the device, nanoseconds from iOS 11 on.
            unixDate = u"(case when m.date > 1000000000000 then m.date / 1000000000 else m.date end + 978307200)"_s;
            return;
        }
        conversation = u"msg_group"_s;
        madrid = tables.contains(u"madrid_attachment"_s);
        // SMS dates are Unix time; iMessages of this generation count from 2001.
        unixDate = columnsThrow(db, u"message"_s).contains(u"is_madrid"_s)
                       ? u"(m.date + case when m.is_madrid = 1 then 978307200 else 0 end)"_s
                       : u"m.date"_s;
        const QSet<QString> pieces = columnsThrow(db, u"msg_pieces"_s);
        piecesHaveFiles = pieces.contains(u"content_loc"_s);
        pieceIsAttachment =
            pieces.contains(u"content_type"_s) ? u"coalesce(p.content_type, '') not like 'text/%'"_s : u"1"_s;
    }
};

// ---- details

cleandetails::Category readDetailsThrow(Sqlite3DB& db, const Schema& s, const MessageFiles& files) {
    cleandetails::Category category;
    {
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql(
            u"select count(*) as n, min(case when m.date > 0 then %1 end) as first, max(case when m.date > 0 then %1 "
            "end) as last from message m"_s.arg(s.unixDate)));
        if (c.moveNext()) {
            category.itemCount = c.getInt64(u"n"_s);
            category.first = devicedb::unixTimeAt(c, u"first"_s);
            category.last = devicedb::unixTimeAt(c, u"last"_s);
        }
    }
    QHash<qint64, cleandetails::Item> items;
    QString conversations, attachments;
    if (s.newer) {
        const QSet<QString> chat = columnsThrow(db, u"chat"_s);
        conversations =
            u"select c.ROWID as id, c.guid as guid, %1 as name, %2 as ident, (select group_concat(h.id, ', ') from "
            "chat_handle_join j join handle h on h.ROWID = j.handle_id where j.chat_id = c.ROWID) as handles, (select "
            "count(*) from chat_message_join j join message m on m.ROWID = j.message_id where j.chat_id = c.ROWID) as "
            "messages, (select max(case when m.date > "
            "0 then %3 end) from chat_message_join j join message m on m.ROWID = j.message_id where j.chat_id = "
            "c.ROWID) as last from chat c"_s.arg(chat.contains(u"display_name"_s) ? u"c.display_name"_s : u"''"_s,
                                                 chat.contains(u"chat_identifier"_s) ? u"c.chat_identifier"_s : u"''"_s,
                                                 s.unixDate);
        attachments = u"select distinct j.chat_id as conversation, a.ROWID, a.filename as filename from "
                      "chat_message_join j join message m on m.ROWID = j.message_id join message_attachment_join ma "
                      "on ma.message_id = m.ROWID join attachment a on a.ROWID = ma.attachment_id"_s;
    } else {
        conversations =
            u"select g.ROWID as id, g.ROWID as guid, '' as name, '' as ident, (select "
            "group_concat(address, ', ') from group_member where group_id = g.ROWID) as handles, (select "
            "count(*) from message m where m.group_id = g.ROWID) as messages, (select max(case when m.date "
            "> 0 then %1 end) from message m where m.group_id = g.ROWID) as last from msg_group g"_s.arg(s.unixDate);
    }
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql(conversations));
    while (c.moveNext()) {
        cleandetails::Item item;
        item.id = c.getText(u"guid"_s);
        for (const QString& label : {c.getText(u"name"_s), c.getText(u"handles"_s), c.getText(u"ident"_s), item.id}) {
            if (item.label.isEmpty()) {
                item.label = label;
            }
        }
        item.count = c.getInt64(u"messages"_s);
        item.last = devicedb::unixTimeAt(c, u"last"_s);
        items.insert(c.getInt64(u"id"_s), item);
    }
    // Each file counts once per conversation, however many rows name it.
    QHash<qint64, QSet<QString>> seen;
    const auto add = [&](qint64 conversation, const QList<MessageFiles::File>& found, bool attachment) {
        const auto it = items.find(conversation);
        if (it == items.end()) {
            return;
        }
        it->attachmentCount += attachment;
        for (const MessageFiles::File& f : found) {
            if (!seen[conversation].contains(f.hashName)) {
                seen[conversation].insert(f.hashName);
                it->bytes += f.size;
                it->attachmentBytes += attachment ? f.size : 0;
            }
        }
    };
    if (s.newer) {
        c = db.queryThrow(Sqlite3Sql(attachments));
        while (c.moveNext()) {
            add(c.getInt64(u"conversation"_s), files.inFolder(MessageFiles::attachmentFolder(c.getText(u"filename"_s))),
                true);
        }
    } else {
        c = db.queryThrow(
            Sqlite3Sql(u"select m.group_id as conversation, p.message_id as message, p.part_id as part, "
                       "p.content_loc as loc, %1 as attachment from msg_pieces p join message m on "
                       "m.ROWID = p.message_id where coalesce(p.content_loc, '') != ''"_s.arg(s.pieceIsAttachment)));
        while (c.moveNext()) {
            const qint64 group = c.getInt64(u"conversation"_s);
            add(group, files.part(group, c.getInt64(u"message"_s), c.getInt64(u"part"_s), c.getText(u"loc"_s)),
                c.getInt(u"attachment"_s) != 0);
        }
        if (s.madrid) {
            c = db.queryThrow("select m.group_id as conversation, a.filename as filename from madrid_attachment a "
                              "join message m on m.ROWID = a.message_id");
            while (c.moveNext()) {
                add(c.getInt64(u"conversation"_s),
                    files.inFolder(MessageFiles::attachmentFolder(c.getText(u"filename"_s))), true);
            }
        }
    }
    category.items = items.values();
    cleandetails::sortLargestFirst(category.items);
    return category;
}

// ---- the selective clean

// Rows of other tables that pointed, by a declared foreign key, at a message, conversation, handle or attachment the
// clean removed (newer devices keep more such tables than the clean knows by name).
void dropDanglingRowsThrow(Sqlite3DB& db) {
    static const QHash<QString, QString> kSnapshots{{u"message"_s, u"was_message"_s},
                                                    {u"chat"_s, u"was_conversation"_s},
                                                    {u"msg_group"_s, u"was_conversation"_s},
                                                    {u"attachment"_s, u"was_attachment"_s},
                                                    {u"madrid_attachment"_s, u"was_attachment"_s}};
    const QStringList tables = devicedb::tablesThrow(db).keys();
    for (const QString& table : tables) {
        if (table.startsWith(u"sqlite_"_s)) {
            continue;
        }
        QList<QPair<QString, QString>> keys; // column, referenced table
        {
            Sqlite3Cursor c =
                db.queryThrow(Sqlite3Sql("select \"from\" as col, \"table\" as ref from pragma_foreign_key_list(?)")
                                  .addTextParam(table));
            while (c.moveNext()) {
                keys.append({c.getText(u"col"_s), c.getText(u"ref"_s).toLower()});
            }
        }
        for (const auto& [column, referenced] : std::as_const(keys)) {
            const QString snapshot = kSnapshots.value(referenced);
            if (snapshot.isEmpty() || !tables.contains(referenced) ||
                countThrow(db, u"sqlite_temp_master where name = '%1'"_s.arg(snapshot)) == 0) {
                continue;
            }
            const auto quoted = [](QString name) { return u"\""_s + name.replace(u'"', u"\"\""_s) + u"\""_s; };
            db.executeThrow(
                Sqlite3Sql(u"delete from main.%1 where %2 in (select id from temp.%3) and %2 not in (select "
                           "ROWID from main.%4)"_s.arg(quoted(table), quoted(column), snapshot, quoted(referenced))));
        }
    }
}

// Removes what the selection takes from the open working copy and tells what went, with the backup files that go
// with it. What went is judged by what the database no longer holds: the device's own triggers may take more rows
// with the ones deleted here.
cleandetails::MessageSummary removeSelectedThrow(Sqlite3DB& db, const Schema& s,
                                                 const cleandetails::MessageSelection& selection,
                                                 const MessageFiles& files, QSet<QString>& goneFiles) {
    const auto run = [&db](const QString& sql) { db.executeThrow(Sqlite3Sql(sql)); };
    const QSet<QString> messageColumns = columnsThrow(db, u"message"_s);
    run(u"pragma temp_store=memory"_s);
    // Real databases may come with rows that point nowhere; the clean must add none.
    const qint64 danglingBefore = countThrow(db, u"pragma_foreign_key_check"_s);
    run(u"create temp table chosen(id integer primary key)"_s);
    for (const QString& id : selection.conversations) {
        db.executeThrow(Sqlite3Sql(u"insert or ignore into temp.chosen select ROWID from %1 where %2 = ?"_s.arg(
                                       s.conversation, s.newer ? u"guid"_s : u"cast(ROWID as text)"_s))
                            .addTextParam(id));
    }
    QStringList conditions{u"1"_s};
    if (!selection.conversations.isEmpty()) {
        conditions << (s.newer ? u"m.ROWID in (select message_id from chat_message_join where chat_id in (select id "
                                 "from temp.chosen))"_s
                               : u"m.group_id in (select id from temp.chosen)"_s);
    }
    if (selection.olderThanDays > 0) {
        const qint64 cutoff = QDateTime::currentSecsSinceEpoch() - qint64(selection.olderThanDays) * 86400;
        conditions << u"m.date > 0 and %1 < %2"_s.arg(s.unixDate).arg(cutoff);
    }
    run(u"create temp table pick(id integer primary key)"_s);
    run(u"insert into temp.pick select m.ROWID from message m where "_s + conditions.join(u" and "_s));

    // What the database holds before.
    const QString otherHandle = messageColumns.contains(u"other_handle"_s) ? u"other_handle"_s : u"0"_s;
    run(u"create temp table was_conversation as select ROWID as id from "_s + s.conversation);
    if (s.newer) {
        run(u"create temp table was_message as select ROWID as id, handle_id, %1 as other_handle from message"_s.arg(
            otherHandle));
        run(u"create temp table was_attachment as select ROWID as id, filename from attachment"_s);
        run(u"create temp table was_attachment_join as select message_id, attachment_id from "
            "message_attachment_join"_s);
        run(u"create temp table was_chat_handle as select chat_id, handle_id from chat_handle_join"_s);
        run(u"create temp table was_chat_message as select chat_id, message_id from chat_message_join"_s);
    } else {
        run(u"create temp table was_message as select ROWID as id, group_id from message"_s);
        run(u"create temp table was_piece as select p.ROWID as id, p.message_id, p.part_id, p.content_loc, "
            "m.group_id, %1 as attachment from msg_pieces p left join message m on m.ROWID = p.message_id"_s.arg(
                s.pieceIsAttachment));
        run(s.madrid ? u"create temp table was_attachment as select ROWID as id, filename from madrid_attachment"_s
                     : u"create temp table was_attachment(id, filename)"_s);
    }
    const QString goneMessages = u"(select id from temp.was_message where id not in (select ROWID from message))"_s;

    if (selection.attachmentsOnly) {
        if (s.newer) {
            run(u"delete from message_attachment_join where message_id in (select id from temp.pick)"_s);
            if (messageColumns.contains(u"cache_has_attachments"_s)) {
                run(u"update message set cache_has_attachments = 0 where ROWID in (select id from temp.pick)"_s);
            }
        } else {
            // The text of a multimedia message is a piece too, and stays.
            run(u"delete from msg_pieces as p where p.message_id in (select id from temp.pick) and "
                "coalesce(p.content_loc, '') != '' and "_s +
                s.pieceIsAttachment);
            if (s.madrid) {
                run(u"delete from madrid_attachment where message_id in (select id from temp.pick)"_s);
            }
        }
    } else {
        run(u"delete from message where ROWID in (select id from temp.pick)"_s);
        // Conversations that may now be empty: the chosen ones, else those that lost a message.
        run(u"create temp table emptied(id integer primary key)"_s);
        if (!selection.conversations.isEmpty()) {
            run(u"insert into temp.emptied select id from temp.chosen"_s);
        } else if (s.newer) {
            run(u"insert or ignore into temp.emptied select chat_id from temp.was_chat_message where message_id in "_s +
                goneMessages);
        } else {
            run(u"insert or ignore into temp.emptied select group_id from temp.was_message where id in "_s +
                goneMessages);
        }
        if (s.newer) {
            run(u"delete from chat_message_join where message_id in "_s + goneMessages);
            run(u"delete from message_attachment_join where message_id in "_s + goneMessages);
            // A join row whose message is missing (real databases have them) keeps no conversation alive.
            run(u"delete from chat where ROWID in (select id from temp.emptied) and ROWID not in (select j.chat_id "
                u"from "
                "chat_message_join j join message m on m.ROWID = j.message_id)"_s);
            run(u"delete from chat_handle_join where chat_id in (select id from temp.was_conversation) and chat_id "
                "not in (select ROWID from chat)"_s);
            // A handle goes when nothing uses it any more.
            run(u"delete from handle where ROWID in (select handle_id from temp.was_message where id in %1 union "
                "select other_handle from temp.was_message where id in %1 union select handle_id from "
                "temp.was_chat_handle where chat_id not in (select ROWID from chat)) and ROWID not in (select "
                "handle_id from message) and ROWID not in (select %2 from message) and ROWID not in (select "
                "handle_id from chat_handle_join)"_s.arg(goneMessages, otherHandle));
        } else {
            run(u"delete from msg_pieces where message_id in "_s + goneMessages);
            if (s.madrid) {
                run(u"delete from madrid_attachment where message_id in "_s + goneMessages);
            }
            run(u"delete from msg_group where ROWID in (select id from temp.emptied) and ROWID not in (select "
                "group_id from message)"_s);
            run(u"delete from group_member where group_id in (select id from temp.was_conversation) and group_id "
                "not in (select ROWID from msg_group)"_s);
            if (columnsThrow(db, u"msg_group"_s).contains(u"newest_message"_s)) {
                run(u"update msg_group set newest_message = (select max(ROWID) from message where group_id = "
                    "msg_group.ROWID) where ROWID in (select id from temp.emptied)"_s);
            }
        }
    }
    if (s.newer) {
        // An attachment goes with the last message that shows it.
        run(u"delete from attachment where ROWID in (select attachment_id from temp.was_attachment_join) and ROWID "
            "not in (select attachment_id from message_attachment_join)"_s);
    }
    dropDanglingRowsThrow(db);
    if (countThrow(db, u"pragma_foreign_key_check"_s) > danglingBefore) {
        throw std::runtime_error("The edited message database has rows that point at removed ones.");
    }

    cleandetails::MessageSummary summary;
    summary.messages = countThrow(db, u"temp.was_message"_s) - countThrow(db, u"message"_s);
    summary.conversations = countThrow(db, u"temp.was_conversation"_s) - countThrow(db, s.conversation);
    const QString attachmentTable = s.newer ? u"attachment"_s : s.madrid ? u"madrid_attachment"_s : QString();
    // Attachment folders still in use keep their files.
    QSet<QString> keptFolders;
    if (!attachmentTable.isEmpty()) {
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql(u"select filename from "_s + attachmentTable));
        while (c.moveNext()) {
            keptFolders.insert(MessageFiles::attachmentFolder(c.getText(u"filename"_s)));
        }
    }
    const auto take = [&](const QList<MessageFiles::File>& found) {
        for (const MessageFiles::File& f : found) {
            if (!goneFiles.contains(f.hashName)) {
                goneFiles.insert(f.hashName);
                summary.attachmentBytes += f.size;
            }
        }
    };
    Sqlite3Cursor c = db.queryThrow(
        Sqlite3Sql(u"select filename from temp.was_attachment where id not in (select ROWID from %1)"_s.arg(
            attachmentTable.isEmpty() ? u"temp.was_attachment"_s : attachmentTable)));
    while (c.moveNext()) {
        const QString folder = MessageFiles::attachmentFolder(c.getText(u"filename"_s));
        ++summary.attachments;
        if (!keptFolders.contains(folder)) {
            take(files.inFolder(folder));
        }
    }
    if (!s.newer) {
        c = db.queryThrow("select message_id, part_id, content_loc, group_id, attachment from temp.was_piece where "
                          "id not in (select ROWID from msg_pieces) and coalesce(content_loc, '') != ''");
        while (c.moveNext()) {
            summary.attachments += c.getInt(u"attachment"_s) != 0;
            take(files.part(c.getInt64(u"group_id"_s), c.getInt64(u"message_id"_s), c.getInt64(u"part_id"_s),
                            c.getText(u"content_loc"_s)));
        }
    }
    return summary;
}

} // namespace

IOSClearAllMessagesThread::IOSClearAllMessagesThread(BackupManifest& manifest, ProgressReporter& progress,
                                                     QObject* parent)
    : BackupCleanerThread(manifest, progress, parent) {}

void IOSClearAllMessagesThread::work() {
    summary = {};
    details = {};
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
    // Scans edit the private copy too: what a clean would remove is what this one removed.
    const QString work = edit.copyOut(*sms);
    const qint64 databaseBytes = QFileInfo(work).size();
    Sqlite3DB db;
    devicedb::openThrow(db, work);
    const Schema schema(db, devicedb::tablesThrow(db));
    const MessageFiles files(edit.records);
    if (wantDetails) {
        // A database of an unknown layout still has its sizes measured and can be emptied whole.
        try {
            details = readDetailsThrow(db, schema, files);
        } catch (const std::runtime_error& e) {
            qCWarning(lcClearMessages) << "no details of the message database:" << e.what();
        }
    }
    checkCanceled();
    reportPercent(10);
    if (selection.all()) {
        summary.conversations = countThrow(db, schema.conversation);
        summary.messages = countThrow(db, u"message"_s);
        summary.attachments =
            schema.newer
                ? countThrow(db, u"attachment"_s)
                : (schema.piecesHaveFiles ? countThrow(db, u"msg_pieces where coalesce(content_loc, '') != ''"_s) : 0) +
                      (schema.madrid ? countThrow(db, u"madrid_attachment"_s) : 0);
        summary.attachmentBytes = files.totalBytes;
        foundBytes += databaseBytes;
        if (scanOnly) {
            db.close();
        } else {
            clearedBytes += databaseBytes;
            emptyMessagesThrow(db);
            devicedb::finishThrow(db);
        }
        dropAllThrow(edit, isMessageFile);
        if (!scanOnly) {
            writeBackThrow(edit, {{smsHash, work}});
        }
        return;
    }
    QSet<QString> goneFiles;
    summary = removeSelectedThrow(db, schema, selection, files, goneFiles);
    checkCanceled();
    reportPercent(60);
    db.executeThrow("vacuum");
    devicedb::finishThrow(db);
    // The database shrinks by what left it; the files go whole.
    foundBytes += qMax<qint64>(0, databaseBytes - QFileInfo(work).size());
    for (const QString& hashName : std::as_const(goneFiles)) {
        foundBytes += dropOnce(edit, hashName);
    }
    reportPercent(90);
    if (!scanOnly) {
        clearedBytes = foundBytes;
        writeBackThrow(edit, {{smsHash, work}});
    }
}
