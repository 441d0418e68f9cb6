#pragma once

// Restore points: a backup folder as it was before a clean, kept beside it so
// that the clean can be undone. A restore point holds hard links to the data
// files (an edit replaces a data file by renaming a new one into place, so the
// linked original stays intact and an unchanged file costs no space) and
// copies of the manifests and property lists, which are edited in place.
//
//   <folder>.restore-points/<yyyyMMdd-HHmmss-zzz>/<folder name>/   the folder as it was
//   <folder>.restore-points/<yyyyMMdd-HHmmss-zzz>/about.json       when, what was cleaned, each linked file's state
//
// The inner folder has the backup folder's own name, so the restore workers
// can send it to the phone as they send the backup folder itself.

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <stdexcept>

namespace restorepoint {

struct Info {
    QString path;   // the restore point's folder (<stamp>)
    QString folder; // the backup folder as it was: path/<folder name>
    QDateTime made; // local time
    QStringList cleaned;
    qint64 ownBytes = 0; // bytes no other folder shares: what removing it frees
};

// The file system of the folder cannot make hard links.
class NoHardLinks : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Keeps the backup folder as it is now; returns the new restore point. When
// the file system has no hard links it throws NoHardLinks unless copyIfNoLinks,
// in which case it copies (only when the disk has room for the copy). Leaves
// nothing behind on a failure.
Info makeThrow(const QString& backupDir, const QStringList& cleaned, bool copyIfNoLinks = false);

// The restore points of a backup folder, newest first.
QList<Info> list(const QString& backupDir);

// Removes one restore point (a folder list() returned).
bool remove(const Info& point);

// Keeps the newest `keep` restore points of the folder and removes the rest.
void prune(const QString& backupDir, int keep);

// Puts the backup folder back as the newest restore point holds it and uses
// that restore point up. Throws, changing nothing, when there is none or when
// a file it links to was changed since it was made.
Info undoThrow(const QString& backupDir);

} // namespace restorepoint
