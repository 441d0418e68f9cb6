#include "cleaners/iosmobilerestorethread.h"

#include "app/paths.h"
#include "backup/backupjournal.h"
#include "cleaners/iosmobilebackupthread.h"
#include "services/backup2tool.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QScopeGuard>
#include <exception>
#include <memory>

Q_LOGGING_CATEGORY(lcRestoreThread, "vexlar.cleaners.restore")

IOSMobileRestoreThread::IOSMobileRestoreThread(bool linkTutorial, IOSDevice const& device, QDir backupRoot,
                                               ProgressReporter& progress, QObject* parent)
    : QThread(parent), m_linkTutorial(linkTutorial), m_device(device), m_backupRoot(std::move(backupRoot)),
      m_progress(progress), m_tool(new backup2tool(device.device, device.udid, m_backupRoot)) {
    connect(m_tool, &backup2tool::update, this, &IOSMobileRestoreThread::backupUpdate, Qt::DirectConnection);
    m_tool->externalCancel = &m_progress.canceled;
}

IOSMobileRestoreThread::~IOSMobileRestoreThread() {
    delete m_tool;
}

void IOSMobileRestoreThread::backupUpdate(double pg, QString status1, QString status2) {
    m_progress.invokeUpdateProgress(status1, int(pg), status2);
}

void IOSMobileRestoreThread::run() {
    // Files of the folder are renamed below: it must be the device's own, inside the backup root.
    if (!g_isSafeIdentifier(m_device.udid)) {
        m_progress.invokeErrorOccurred(tr("The device's identifier is not valid: nothing was restored or changed."));
        return;
    }
    const QString info = m_backupRoot.filePath(m_device.udid + QStringLiteral("/Info.plist"));
    const QString aside = info + QLatin1Char('-') + QString::number(QDateTime::currentMSecsSinceEpoch());
    bool movedAside = false;
    // Info.plist is back under its own name however the restore ends.
    auto putBack = [&] {
        const bool ok = !movedAside || QFile::rename(aside, info);
        if (!ok) {
            qCWarning(lcRestoreThread, "could not rename %s back to Info.plist", qPrintable(aside));
        }
        movedAside = false;
        return ok;
    };
    std::unique_ptr<backupjournal::FolderLock> lock;
    auto guard = qScopeGuard(putBack); // runs before the lock is released
    try {
        // No clean may change the backup while it is sent, and an interrupted one is finished before.
        const QString backupDir = m_backupRoot.filePath(m_device.udid);
        if (QFileInfo(backupDir).isDir()) {
            lock = std::make_unique<backupjournal::FolderLock>(backupDir);
            const QString recovered = backupjournal::recoverThrow(backupDir);
            if (!recovered.isEmpty()) {
                qCWarning(lcRestoreThread).noquote() << recovered;
            }
        }
        m_progress.invokeUpdateProgress(tr("Transferring data to Device..."), 0, QString());
        const QFileInfo infoFile(info);
        if (infoFile.isFile() && !infoFile.isSymLink()) {
            movedAside = QFile::rename(info, aside);
        }
        _backup2tool_req req(OP_RESTORE);
        req.password = m_passcode;
        m_tool->runThrow(req);
        if (!putBack()) {
            throw std::runtime_error(tr("Could not put the backup's Info.plist back.").toStdString());
        }
        if (!m_progress.canceled && !m_tool->cancelled()) {
            m_progress.invokeSucceed(QString());
        }
    } catch (const std::exception& e) {
        putBack();
        m_progress.invokeErrorOccurred(iosbackup_failure_message(QString::fromUtf8(e.what()), true, m_linkTutorial));
    }
}
