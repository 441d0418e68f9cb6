#pragma once

// Changes the phone's own backup encryption through mobilebackup2: a new
// password alone turns it on, the old one alone turns it off, both change it.
// The phone may wait for its passcode before it answers.

#include "app/progressreporter.h"
#include "device/iosdevice.h"

#include <QString>
#include <QThread>

class IOSBackupEncryptionThread : public QThread {
    Q_OBJECT
public:
    // device and progress are referenced, not copied: both must outlive the thread.
    IOSBackupEncryptionThread(const IOSDevice& device, QString oldPassword, QString newPassword,
                              ProgressReporter& progress, QObject* parent = nullptr);

protected:
    void run() override;

private:
    const IOSDevice& m_device;
    QString m_oldPassword;
    QString m_newPassword;
    ProgressReporter& m_progress;
};
