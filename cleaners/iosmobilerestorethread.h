#pragma once

// Restores the backup in backupRoot/<udid> to the device through the backup
// helper. The backup's Info.plist is moved aside for the transfer and is back
// under its own name afterwards, whatever the outcome.

#include "app/progressreporter.h"
#include "device/iosdevice.h"

#include <QDir>
#include <QString>
#include <QThread>

class backup2tool;

class IOSMobileRestoreThread : public QThread {
    Q_OBJECT
public:
    // device and progress are referenced, not copied: both must outlive the thread.
    IOSMobileRestoreThread(bool linkTutorial, IOSDevice const& device, QDir backupRoot, ProgressReporter& progress,
                           QObject* parent = nullptr);
    ~IOSMobileRestoreThread() override;

    // Only ever called with the non-empty password that opened an encrypted backup.
    void setBackupPasscode(QString const& passcode) { m_passcode = passcode; }
    backup2tool& tool() { return *m_tool; }

public slots:
    void backupUpdate(double pg, QString status1, QString status2);

protected:
    void run() override;

private:
    bool m_linkTutorial;
    IOSDevice const& m_device;
    QDir m_backupRoot;
    ProgressReporter& m_progress;
    backup2tool* m_tool;
    QString m_passcode;
};
