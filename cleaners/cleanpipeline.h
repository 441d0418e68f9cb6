#pragma once

// One clean of a phone through its backup, as the window and the command line
// both run it: back up, open (finishing an edit a crash interrupted), unlock,
// keep a restore point, edit with the cleaning workers, restore. What differs
// between the two is the Host's: how a worker's progress shows, how a password
// is asked for, whether to go on when no restore point can be kept.
//
// A folder the pipeline backed up itself is the program's copy of the phone:
// if an edit of it does not reach the phone, it is marked unfinished so that
// the next backup starts afresh. A folder given to open() is the user's and
// keeps the edit. Before the first change (a restore point or a worker run)
// the folder is still a finished backup: an action that ends there leaves it so.

#include "cleaners/backupcleaner.h"

#include <QDir>
#include <QSet>
#include <QString>
#include <QStringList>
#include <memory>

class BackupManifest;
class EditedBackupFolder;
class IOSDevice;
class ProgressReporter;
class QThread;

class CleanPipeline {
public:
    class Host {
    public:
        virtual ~Host() = default;
        // A progress display for the next worker.
        virtual std::unique_ptr<ProgressReporter> newProgress() = 0;
        // Runs `worker`, which reports to `progress` (from newProgress()), to its end. False when it failed or was
        // cancelled; the host has told the user.
        virtual bool runWorker(ProgressReporter& progress, QThread& worker) = 0;
        // The password that unlocks the encrypted backup (setPasscode succeeded with it), trying `known` first;
        // empty when the user gave up.
        virtual QString unlock(BackupManifest& manifest, const QString& known) = 0;
        // No restore point can be kept, for the reason given: clean all the same?
        virtual bool cleanWithoutRestorePoint(const QString& why) = 0;
        // Something the user should know that is no failure: an interrupted edit finished, a restore point kept.
        virtual void note(const QString& text) { (void)text; }
    };

    enum class Mode { Scan, Clean };

    CleanPipeline(Host& host, Mode mode);
    ~CleanPipeline();
    CleanPipeline(const CleanPipeline&) = delete;
    CleanPipeline& operator=(const CleanPipeline&) = delete;

    // Backs the device up into the program's backup folder. False: it failed or was cancelled, and there is
    // nothing to clean (an earlier backup that may still lie there must not be cleaned in its place).
    bool backUp(const IOSDevice& device);
    // Opens the backup folder (the one backUp() wrote when `folder` is empty), unlocks it with the host's help and
    // reads its records. False when the user gave up on the password. Throws on a backup that cannot be read.
    bool open(const QString& folder = QString(), const QString& knownPassword = QString());

    Mode mode() const { return m_mode; }
    BackupManifest& manifest() { return *m_manifest; }

    // Clean mode: keeps the folder as it is now as a restore point named by what is about to be cleaned (hard links;
    // a copy where the file system has none and the disk has room). False when none could be kept and the host
    // would not go on without one.
    bool keepRestorePoint(const QStringList& cleaned);

    // Runs one cleaning worker, built on progress from `newProgress()`, on the opened backup: measuring only in scan
    // mode. The workers of one pipeline count a file two of them would remove once, as the clean removes it once.
    bool run(ProgressReporter& progress, BackupCleanerThread& worker);
    std::unique_ptr<ProgressReporter> newProgress() { return m_host.newProgress(); }

    // What the workers run so far found and removed.
    qint64 found() const { return m_found; }
    qint64 cleared() const { return m_cleared; }

    // Clean mode, after the workers: restores the edited backup to the device when something was removed. The
    // restore point then stays (older ones go, as the settings keep them); without anything removed, it goes.
    // False when the restore failed or was cancelled.
    bool restore(const IOSDevice& device);
    // Clean mode, for a folder given to open(): the edit is done, the restore is the user's. Older restore points go.
    void keepEdit();

private:
    // From the first change on, a folder the pipeline backed up is marked unfinished unless the edit reaches the
    // phone or changes nothing.
    void startEdit();

    Host& m_host;
    Mode m_mode;
    QDir m_root;      // where backUp() wrote the device's folder; empty when it was not used
    QString m_folder; // the backup folder
    std::unique_ptr<BackupManifest> m_manifest;
    std::unique_ptr<EditedBackupFolder> m_edited;
    QString m_password;
    QSet<QString> m_counted;
    qint64 m_found = 0;
    qint64 m_cleared = 0;
    bool m_backedUp = false;
    bool m_restorePointKept = false;
};
