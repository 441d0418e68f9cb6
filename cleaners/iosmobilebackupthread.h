#pragma once

// Full backup of the connected device into the temporary backup root, through
// the backup helper (services/backup2tool). A complete earlier backup of the
// same device and iOS version is left in place for the helper to build on;
// anything else there is deleted first. A failed or cancelled backup leaves no
// folder behind, so the next run never trusts half a backup.

#include "app/progressreporter.h"
#include "backup/restorepoint.h"
#include "device/iosdevice.h"

#include <QDir>
#include <QString>
#include <QThread>

class backup2tool;

// The backup folder the user chose (g_backupDirPath()); not created here.
QDir iosbackup_temp_dir();
// Deletes the temporary backup root and the data directory's marker of it.
void iosbackup_clear_temp();
// The text shown for a failed backup (restore false) or restore, from the failure's own text.
QString iosbackup_failure_message(const QString& text, bool restore, bool linkTutorial);

// A backup folder an action edits. Until the edit has reached the device, the
// folder no longer holds what the device holds: unless restored() or
// unchanged() is called, it is marked unfinished when the action ends (a
// cancel, a failure, a failed restore), so the next backup starts afresh
// instead of building on it, and an edit the user stopped can never reach the
// phone with a later restore. The restore point made for the edit goes with a
// failed one; after one that reached the phone it is the only one kept.
class EditedBackupFolder {
public:
    explicit EditedBackupFolder(QString folder);
    ~EditedBackupFolder();
    EditedBackupFolder(const EditedBackupFolder&) = delete;
    EditedBackupFolder& operator=(const EditedBackupFolder&) = delete;

    void setRestorePoint(const restorepoint::Info& point) { m_restorePoint = point; }
    // The edit reached the device.
    void restored();
    // Nothing was edited.
    void unchanged();

private:
    QString m_folder;
    restorepoint::Info m_restorePoint;
};

class IOSMobileBackupThread : public QThread {
    Q_OBJECT
public:
    // device and progress are referenced, not copied: both must outlive the thread.
    IOSMobileBackupThread(bool linkTutorial, IOSDevice const& device, ProgressReporter& progress,
                          QObject* parent = nullptr);
    ~IOSMobileBackupThread() override;

    QDir root() const { return m_backupRoot; }
    // root() joined with the device's udid: where the finished backup lies.
    QString backupDir() const;
    backup2tool& tool() { return *m_tool; }

    // Whether the folder holds a finished backup of this iOS version, which the helper may build on.
    static bool isReusableBackup(const QString& folder, const QString& productVersion);

public slots:
    void backupUpdate(double pg, QString status1, QString status2);

protected:
    void run() override;

private:
    bool m_linkTutorial;
    IOSDevice const& m_device;
    ProgressReporter& m_progress;
    QDir m_backupRoot;
    backup2tool* m_tool;
};
