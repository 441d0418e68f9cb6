#include "cleaners/iosbackupencryptionthread.h"

#include "device/mobiledevice.h"
#include "services/mobiledevice_backup2.h"

#include <QScopeGuard>
#include <exception>
#include <utility>

IOSBackupEncryptionThread::IOSBackupEncryptionThread(const IOSDevice& device, QString oldPassword, QString newPassword,
                                                     ProgressReporter& progress, QObject* parent)
    : QThread(parent), m_device(device), m_oldPassword(std::move(oldPassword)), m_newPassword(std::move(newPassword)),
      m_progress(progress) {}

void IOSBackupEncryptionThread::run() {
    unsigned int socket = 0;
    const auto close = qScopeGuard([&socket] {
        if (socket) {
            mobiledevice_closeservice(socket);
        }
    });
    try {
        m_progress.invokeUpdateProgress(tr("Waiting for the phone. If it asks for its passcode, enter it there."), 0,
                                        QString());
        mobiledevice_backup2_start(m_device.device, socket);
        double versions[] = {2.0, 2.1};
        mobiledevice_backup2_version_exchange(socket, versions, 2);
        mobiledevice_backup2_change_password(socket, m_device.udid, m_oldPassword, m_newPassword);
        m_progress.invokeSucceed(QString());
    } catch (const std::exception& e) {
        m_progress.invokeErrorOccurred(QString::fromUtf8(e.what()));
    }
}
