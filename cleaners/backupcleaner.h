#pragma once

// What the workers that edit a full backup share: the thread shape (scan or
// clear, the two byte counters, one report at the end) and BackupEdit, which
// copies device databases out of the backup into a private folder and puts
// the edited copies back without ever leaving a record without its data.

#include "app/progressreporter.h"
#include "backup/mbdbparser.h"
#include "cleaners/cleandetails.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QThread>
#include <functional>
#include <memory>

class BackupEdit;
class BackupManifest;
class Sqlite3Cursor;
class Sqlite3DB;

namespace fileutil {
class PrivateTempDir;
}
namespace backupjournal {
class FolderLock;
class Journal;
} // namespace backupjournal

class BackupCleanerThread : public QThread {
    Q_OBJECT
public:
    bool scanOnly = false;   // set before start: measure only, change nothing
    qint64 foundBytes = 0;   // bytes of what was found; read after the thread ended
    qint64 clearedBytes = 0; // bytes removed (0 in a scan, except where a worker's own rule says otherwise)
    // Set before start when several workers run on one backup: the files an earlier one counted. A file two
    // categories would remove (a junk attachment is also a message's) counts once, with the first, as a clean
    // that runs them in the same order removes it once; otherwise a scan would promise more than the clean frees.
    QSet<QString>* countedFiles = nullptr;
    bool wantDetails = false;       // set before start: also fill `details` (costs a pass over the databases)
    cleandetails::Category details; // read after the thread ended

protected:
    BackupCleanerThread(BackupManifest& manifest, ProgressReporter& progress, QObject* parent);

    // Resets the counters, runs work() and ends with exactly one report, or none after a cancel.
    void run() final;
    virtual void work() = 0;

    // Throws the int -1 when the user cancelled.
    void checkCanceled() const;
    // BackupEdit::drop, counting 0 for a file an earlier worker of the same run counted.
    qint64 dropOnce(BackupEdit& edit, const QString& hashName);

    // Drops every record `matches` selects, counting it as found and, unless scanning, as cleared. Returns the
    // files among them, as they were counted.
    struct DroppedFile {
        MBDBParser::_MBDBItem record;
        qint64 bytes = 0;
    };
    QList<DroppedFile> dropAllThrow(BackupEdit& edit, const std::function<bool(const MBDBParser::_MBDBItem&)>& matches);

    // The device databases a worker empties, by backup file name, each with what empties it.
    using EmptyDatabase = std::function<void(Sqlite3DB&)>;
    struct EditedDatabase {
        QString hashName;
        QString workPath;
    };
    // Copies out each database the backup holds and counts its size as found; unless scanning, empties the copy,
    // checks it and counts it as cleared. Returns the copies to hand to writeBackThrow(). When details are wanted,
    // `describe` reads each copy first.
    using DescribeDatabase = std::function<void(const MBDBParser::_MBDBItem&, qint64 bytes, Sqlite3DB&)>;
    QList<EditedDatabase> emptyDatabasesThrow(BackupEdit& edit, const QList<QPair<QString, EmptyDatabase>>& databases,
                                              const DescribeDatabase& describe = {});
    // Puts the emptied copies in place of their data files and saves the manifest with every change of the edit.
    static void writeBackThrow(BackupEdit& edit, const QList<EditedDatabase>& edited);
    // With details wanted, one item for a file the clean removes or edits.
    void addFileItem(const MBDBParser::_MBDBItem& record, qint64 bytes);
    // Reports only a changed percentage: a large manifest would flood the dialog's queue.
    void reportPercent(int percent);

    BackupManifest& m_manifest;
    ProgressReporter& m_progress;

private:
    int m_lastPercent = -1;
};

// One edit of a backup: the records read afresh, private working copies, and
// the write-back of edited databases with the manifest save. The edit holds
// the backup folder's lock for its whole life and journals every data file
// before replacing it, so a crash at any point is finished by the next open
// (see backup/backupjournal.h). Destroying an edit that was not committed
// puts every replaced data file back; the working copies always go with it.
class BackupEdit {
public:
    explicit BackupEdit(BackupManifest& manifest);
    ~BackupEdit();
    BackupEdit(const BackupEdit&) = delete;
    BackupEdit& operator=(const BackupEdit&) = delete;

    // Every record of the manifest by backup file name, as read now.
    QHash<QString, MBDBParser::_MBDBItem> records;

    // Copies the plain content of a record, with its -wal, -shm and -journal
    // siblings, into the private folder as "<file name>-<ms>" (the siblings
    // beside it under SQLite's names). Returns the working copy's path.
    QString copyOut(const MBDBParser::_MBDBItem& record);

    // Writes the edited working copy back as the record's data file (the
    // previous one kept beside it as "<data file>-<ms>" until the edit ends), updates the record
    // and drops its log siblings' records, whose content is now in the file.
    void replace(const QString& hashName, const QString& workPath);

    // Saves the manifest with every change; a failure puts the replaced data
    // files back. Then checks that the backup now reads as written.
    void commit();

    // Flags a record deleted; returns its size unless it is a folder.
    qint64 drop(const QString& hashName);

private:
    struct Replaced {
        QString hashName;
        QString dataPath;
        QString asidePath; // empty: there was no previous data file
        QByteArray plainDigest;
        qint64 size = 0;
    };
    // Rolls back or forward, as the manifest on disk says, and removes the journal.
    void finishJournalThrow();
    void verifyThrow();

    BackupManifest& m_manifest;
    std::unique_ptr<backupjournal::FolderLock> m_lock;
    std::unique_ptr<backupjournal::Journal> m_journal;
    std::unique_ptr<fileutil::PrivateTempDir> m_dir;
    QList<Replaced> m_replaced;
    QList<QString> m_dropped;
};

// Device databases opened on working copies.
namespace devicedb {

// The log siblings SQLite may leave beside a database.
inline const char* const kSiblingSuffixes[] = {"-wal", "-shm", "-journal"};

// Opens read-write and registers the functions the device's own triggers call.
void openThrow(Sqlite3DB& db, const QString& path);
// Table names in lower case -> their SQL.
QHash<QString, QString> tablesThrow(Sqlite3DB& db);
// A column of Unix seconds; invalid when NULL.
QDateTime unixTimeAt(const Sqlite3Cursor& c, const QString& column);
// Folds any log into the file (no sibling left), checks the database's integrity and closes it.
void finishThrow(Sqlite3DB& db);

} // namespace devicedb
