#include "backup/iositunesbksetpasswordthread.h"

#include "app/progressreporter.h"
#include "backup/backupmanifest.h"

#include <exception>

IOSiTunesBKSetPasswordThread::IOSiTunesBKSetPasswordThread(BackupManifest& manifest, const QString& password,
                                                           ProgressReporter& form, QObject* parent)
    : QThread(parent), m_manifest(manifest), m_password(password), m_form(form) {}

void IOSiTunesBKSetPasswordThread::run() {
    result = false;
    try {
        m_form.invokeUpdateProgress(tr("Verifying. Please wait..."), 99, QString());
        result = m_manifest.setPasscodeNoUIThrow(m_password);
        // Right or wrong, the dialog closes quietly; the caller tells the user.
        m_form.invokeSucceed(QString());
    } catch (const std::exception& e) {
        result = false;
        m_form.invokeErrorOccurred(tr("IOSiTunesBKSetPasswordThread: %1").arg(QString::fromUtf8(e.what())));
    }
}
