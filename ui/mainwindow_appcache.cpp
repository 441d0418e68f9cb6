// The app-cache road through a full backup: devices refuse to vend the
// containers of most apps (App Store apps since iOS 8.3), so their caches can
// only be measured and removed in a backup, which a restore then puts back.

#include "app/paths.h"
#include "app/tips.h"
#include "backup/backupmanifest.h"
#include "cleaners/iosbackupappcachethread.h"
#include "cleaners/iosmobilebackupthread.h"
#include "cleaners/iosmobilerestorethread.h"
#include "services/mobiledevice_afc.h"
#include "ui/mainwindow.h"
#include "ui/passcodedlg.h"
#include "ui/progressform.h"
#include "ui_mainwindow.h"

#include <QLoggingCategory>
#include <exception>

Q_LOGGING_CATEGORY(lcAppCacheBackup, "vexlar.ui.appcache")

bool MainWindow::appContainersVendable(const IOSDevice& device, const QList<_IOSAppInfo>& apps) const {
    for (const _IOSAppInfo& app : apps) {
        try {
            mobiledevice_afc afc(device.device);
            afc.startService(app.appId);
            afc.closeService();
        } catch (const std::exception& e) {
            qCInfo(lcAppCacheBackup, "%s: %s; app caches go through a backup", qPrintable(app.appId), e.what());
            return false;
        }
    }
    return true;
}

bool MainWindow::appCacheThroughBackup(const IOSDevice& device, const QList<_IOSAppInfo>& apps, bool remove) {
    QDir root;
    QString folder;
    {
        ProgressForm form(QString(), this);
        IOSMobileBackupThread worker(false, device, form);
        if (!runWorker(form, worker)) {
            return false;
        }
        root = worker.root();
        folder = worker.backupDir();
    }
    BackupManifest manifest(folder);
    EditedBackupFolder edited(remove ? folder : QString());
    QString password;
    try {
        manifest.readManifestInfo();
        if (manifest.info.isEncrypted) {
            PasscodeDlg dialog(&manifest, this);
            if (dialog.exec() != QDialog::Accepted) {
                return false;
            }
            password = dialog.password;
        }
        manifest.parseInfo();
    } catch (const std::exception& e) {
        Tips::error(QString::fromUtf8(e.what()));
        return false;
    }

    if (remove && !keepRestorePoint(edited, folder, {QStringLiteral("App caches")})) {
        return false;
    }
    QHash<QString, qint64> found;
    qint64 total = 0;
    {
        ProgressForm form(QString(), this);
        IOSBackupAppCacheThread worker(manifest, apps, form);
        worker.scanOnly = !remove;
        if (!runWorker(form, worker)) {
            return false;
        }
        found = worker.appCacheBytes;
        total = worker.foundBytes;
    }
    if (!remove) {
        if (!stillCurrent(device)) {
            return true;
        }
        for (int i = 0; i < m_appModel->count(); ++i) {
            _APPIconItemNode* node = m_appModel->node(i);
            node->size = found.value(node->appId, 0);
        }
        m_appModel->contentsUpdate();
        ui->lbTotalAppCache->setText(QStringLiteral("(%1)").arg(formatSpaceShow(total)));
        return true;
    }
    {
        ProgressForm form(QString(), this);
        IOSMobileRestoreThread worker(false, device, root, form);
        if (!password.isEmpty()) {
            worker.setBackupPasscode(password);
        }
        if (!runWorker(form, worker)) {
            return false;
        }
    }
    edited.restored();
    Tips::info(
        QStringLiteral("Successfully removed App Cache & Junk. Now please disconnect your iPhone from computer."));
    return true;
}
