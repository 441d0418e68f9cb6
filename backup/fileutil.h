#pragma once

// File helpers of the backup store: private working copies and atomic replacement.

#include <QFile>
#include <QString>

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

// Copies src to dst, which must not exist yet; throws "can not write %1. %2".
void copyNewFileThrow(const QString& src, const QString& dst);

// Writes all of bytes to an unbuffered file, so a short write is seen at once.
void writeAllThrow(QFile& out, const QByteArray& bytes);

// fsync of a written file so that a later rename never exposes a half-written one.
void syncFileThrow(const QString& path);

// Keeps the current content of path under keepPath: a hard link when the file
// system allows it, else a copy. Failing to keep a copy is logged, not thrown.
void keepCopy(const QString& path, const QString& keepPath);

// rename(2): atomically replaces to with from; throws with the system's reason.
void renameOverThrow(const QString& from, const QString& to);

} // namespace fileutil
