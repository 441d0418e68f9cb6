#pragma once

#include <QString>
#include <QThread>

class BackupManifest;
class ProgressReporter;

// Verifies a backup password off the GUI thread (it costs many PBKDF2 rounds).
class IOSiTunesBKSetPasswordThread : public QThread {
    Q_OBJECT
public:
    IOSiTunesBKSetPasswordThread(BackupManifest& manifest, const QString& password, ProgressReporter& form,
                                 QObject* parent);

    bool result = false;

protected:
    void run() override;

private:
    BackupManifest& m_manifest;
    QString m_password;
    ProgressReporter& m_form;
};
