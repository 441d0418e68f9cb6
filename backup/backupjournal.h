#pragma once

// Crash safety of backup edits, and one writer per backup folder.
//
// An edit replaces data files first and the manifest last: the manifest's
// rename is the moment the edit takes effect. Before the first data file is
// replaced, a journal in the backup folder names the manifest file as it was
// (its inode) and every data file about to be replaced with the name its
// previous content is kept under. Whoever opens the backup next finds the
// journal and finishes the edit: when the manifest is still the one recorded,
// every kept file goes back (rolled back); when it was replaced, the kept
// files are removed (rolled forward). Either way the journal goes last, so a
// crash during recovery is recovered by the next open.

#include <QList>
#include <QString>

namespace backupjournal {

// The journal's name in the backup folder.
inline constexpr char kJournalName[] = ".vexlar-edit-journal";

// An exclusive lock on one backup folder (flock on the folder itself),
// released by the kernel when the process dies. A second holder, even in the
// same process, waits up to waitMs and then gets an exception saying another
// program is changing the backup.
class FolderLock {
public:
    static constexpr int kDefaultWaitMs = 3000;
    explicit FolderLock(const QString& dirPath, int waitMs = kDefaultWaitMs);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int m_fd = -1;
};

// The journal of one edit; nothing is written until the first add.
class Journal {
public:
    // manifestPath: "Manifest.db" or "Manifest.mbdb" in dirPath, as the backup uses.
    Journal(const QString& dirPath, const QString& manifestPath);

    // Records, written and synced, that the data file hashName will be
    // replaced, its current content kept as "<data file>-<asideStamp>"
    // (asideStamp empty: there is no current file, so undoing removes it).
    void addThrow(const QString& hashName, const QString& asideStamp);
    bool isWritten() const { return m_written; }

private:
    struct Entry {
        QString hashName;
        QString asideStamp;
    };
    QString m_dirPath;
    QString m_manifestName;
    quint64 m_manifestInode = 0;
    QList<Entry> m_entries;
    bool m_written = false;
};

// Under the lock: finishes an unfinished edit as described above, with the
// temporaries of its interrupted saves. Returns a sentence for the user, empty
// when there was no journal; the caller logs it when it was not its own edit.
// Throws when the journal cannot be read or a file cannot be put back (the
// journal then stays for the next attempt).
QString recoverThrow(const QString& dirPath);

// For every opener: when the folder holds a journal, takes the lock (waiting
// briefly), recovers and logs what it did; otherwise does nothing and takes no lock.
QString recoverIfNeededThrow(const QString& dirPath);

// Files written beside a manifest or data file by a save that was killed
// before its rename ("*.new-<n>"). Only under the lock: a live writer's
// temporaries look the same.
void removeAbandonedTemporaries(const QString& dirPath);

} // namespace backupjournal
