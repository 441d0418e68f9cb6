// The app-cache road through a full backup: devices refuse to vend the
// containers of most apps (App Store apps since iOS 8.3), so their caches can
// only be measured and removed in a backup, which a restore then puts back.

#include "app/paths.h"
#include "app/tips.h"
#include "backup/backupmanifest.h"
#include "cleaners/cleanpipeline.h"
#include "cleaners/iosbackupappcachethread.h"
#include "services/mobiledevice_afc.h"
#include "ui/cleanhost.h"
#include "ui/mainwindow.h"
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
    WindowCleanHost host(this);
    CleanPipeline pipeline(host, remove ? CleanPipeline::Mode::Clean : CleanPipeline::Mode::Scan);
    try {
        if (!pipeline.backUp(device) || !pipeline.open(QString(), device.backupPassword) ||
            !pipeline.keepRestorePoint({QStringLiteral("App caches")})) {
            return false;
        }
        const std::unique_ptr<ProgressReporter> progress = pipeline.newProgress();
        IOSBackupAppCacheThread worker(pipeline.manifest(), apps, *progress);
        if (!pipeline.run(*progress, worker)) {
            return false;
        }
        if (remove) {
            if (!pipeline.restore(device)) {
                return false;
            }
            Tips::info(QStringLiteral(
                "Successfully removed App Cache & Junk. Now please disconnect your iPhone from computer."));
            return true;
        }
        if (!stillCurrent(device)) {
            return true;
        }
        for (int i = 0; i < m_appModel->count(); ++i) {
            _APPIconItemNode* node = m_appModel->node(i);
            node->size = worker.appCacheBytes.value(node->appId, 0);
        }
        m_appModel->contentsUpdate();
        ui->lbTotalAppCache->setText(QStringLiteral("(%1)").arg(formatSpaceShow(worker.foundBytes)));
        return true;
    } catch (const std::exception& e) {
        Tips::error(QString::fromUtf8(e.what()));
        return false;
    }
}
