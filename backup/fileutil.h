#pragma once

// File helpers of the backup store: private working copies and atomic replacement.

#include <QFile>
#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <functional>

namespace fileutil {

// Opens file for writing (truncating) so that its content is never readable
// by other users: a new file is created 0600, an existing one is made 0600
// before it is truncated. Returns false with file's error string set.
// A symbolic link is refused (openError says so).
bool openPrivateForWrite(QFile& file);
QString openError(const QFile& file);

// Copies src to dst (created as by openPrivateForWrite); throws std::runtime_error.
void copyPrivateThrow(const QString& src, const QString& dst);

// Replaces path with a complete new file holding bytes: written beside it,
// synced, then renamed over it. A failure leaves the old file untouched.
void replaceFileThrow(const QString& path, const QByteArray& bytes);
// The same with the content written by write (into an unbuffered file).
void replaceFileWithThrow(const QString& path, const std::function<void(QFile& out)>& write);

// Writes all of bytes to an unbuffered file, so a short write is seen at once.
void writeAllThrow(QFile& out, const QByteArray& bytes);

// fsync of a written file so that a later rename never exposes a half-written one.
void syncFileThrow(const QString& path);

// Keeps the current content of path under keepPath: a hard link when the file
// system allows it, else a copy. Failing to keep a copy is logged, not thrown.
void keepCopy(const QString& path, const QString& keepPath);

// rename(2): atomically replaces to with from; throws with the system's reason.
void renameOverThrow(const QString& from, const QString& to);

// fsync of the folder holding path, so that a new or removed name in it is durable.
void syncFolderOf(const QString& path);

// Test hook for crash tests: with VEXLAR_TEST_KILL_AT=<step>:<n> in the
// environment, the n-th call with that step name ends the process with
// SIGKILL. Steps: "journal" (an edit journal written), "aside" (a data file's
// content kept aside), "renaming" / "renamed" (before / after each rename
// that replaces a backup file), "recovering" (a file put back or removed by
// recovery). Does nothing without the variable.
void testKillPoint(const char* step);

// A private folder (0700) in the system temporary folder for plain copies of
// encrypted data, removed with its content when destroyed, and with whatever it
// holds when the process dies of a signal handled by installSignalCleanup().
// A process killed outright (SIGKILL, a crash) cannot remove its folder: its
// owner keeps the folder locked, and the first folder made by a later process
// removes every such folder whose lock nobody holds.
class PrivateTempDir {
public:
    PrivateTempDir();
    ~PrivateTempDir();
    PrivateTempDir(const PrivateTempDir&) = delete;
    PrivateTempDir& operator=(const PrivateTempDir&) = delete;

    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }
    QString errorString() const { return m_dir.errorString(); }
    // Path of name in the folder.
    QString track(const QString& name);

private:
    QTemporaryDir m_dir;
    int m_slot = -1;
    int m_dirFd = -1;
};

// SIGINT, SIGTERM, SIGHUP and SIGPIPE first remove every private folder with
// its content (async-signal-safe calls only), then end the process as before.
void installSignalCleanup();

} // namespace fileutil
