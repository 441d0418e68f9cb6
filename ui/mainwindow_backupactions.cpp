// "Remove System Junk" and "Delete Unwanted Data": both work on a full backup
// of the device. Scan measures with the cleaning workers and restores
// nothing; Free Up edits the backup and restores it when something was removed.

#include "app/paths.h"
#include "app/tips.h"
#include "app/weblinks.h"
#include "backup/backupmanifest.h"
#include "backup/restorepoint.h"
#include "cleaners/cleanpipeline.h"
#include "cleaners/iosclearallmessagesthread.h"
#include "cleaners/iosclearcallsthread.h"
#include "cleaners/iosclearmmsattathread.h"
#include "cleaners/iosclearsafarithread.h"
#include "cleaners/iosclearsysthread.h"
#include "cleaners/iosmobilebackupthread.h"
#include "cleaners/iosmobilerestorethread.h"
#include "ui/cleanhost.h"
#include "ui/mainwindow.h"
#include "ui/passcodedlg.h"
#include "ui/progressform.h"
#include "ui_mainwindow.h"

#include <exception>
#include <memory>

namespace {

// What one cleaning worker reported; a worker that did not run counts 0.
struct Counts {
    qint64 found = 0;
    qint64 cleared = 0;
    cleandetails::Category details; // filled by scans
};

// Runs one cleaning worker of the pipeline, set up by `setUp` before it starts; a scan keeps the details of what it
// found.
template <class Worker>
bool runCleaner(CleanPipeline& pipeline, Counts& counts, const std::function<void(Worker&)>& setUp = {}) {
    const std::unique_ptr<ProgressReporter> progress = pipeline.newProgress();
    Worker worker(pipeline.manifest(), *progress);
    worker.wantDetails = pipeline.mode() == CleanPipeline::Mode::Scan;
    if (setUp) {
        setUp(worker);
    }
    const bool ok = pipeline.run(*progress, worker);
    counts = {worker.foundBytes, worker.clearedBytes, std::move(worker.details)};
    return ok;
}

// The names of the checked functions: what a clean of them removes.
QStringList checkedNames(std::initializer_list<const _APPIconItemNode*> nodes) {
    QStringList names;
    for (const _APPIconItemNode* node : nodes) {
        if (node->checked) {
            names << node->appName;
        }
    }
    return names;
}

QString total(qint64 bytes) {
    return QStringLiteral("(%1)").arg(formatSpaceShow(bytes));
}

} // namespace

bool MainWindow::backUpAndOpen(CleanPipeline& pipeline, const IOSDevice& device) {
    // A virtual device only shows figures from its test file: there is nothing to back up.
    if (!device.device || !device.checkiTunesBackupSettings(true, false)) {
        return false;
    }
    return pipeline.backUp(device) && pipeline.open(QString(), device.backupPassword);
}

void MainWindow::forgetSysCacheFigures() {
    for (_APPIconItemNode* node : {m_funCacheFiles, m_funTempFiles, m_funJunkFiles}) {
        node->size = -1;
        m_details.remove(node);
    }
    m_sysModel->contentsUpdate();
    ui->lbTotalSysCache->clear();
}

void MainWindow::forgetRemoveDataFigures() {
    for (_APPIconItemNode* node : {m_funMessages, m_funSafari, m_funCalls}) {
        node->size = -1;
        m_details.remove(node);
    }
    m_messageSelection = {};
    m_dataModel->contentsUpdate();
    ui->lbTotalRemoveData->clear();
}

QString MainWindow::messageChoiceText(const cleandetails::MessageSelection& selection) {
    QString what = selection.attachmentsOnly ? tr("the attached files of the messages") : tr("the messages");
    if (selection.olderThanDays > 0) {
        what += tr(" older than %1 days").arg(selection.olderThanDays);
    }
    if (!selection.conversations.isEmpty()) {
        what += tr(" of %1 chosen conversations").arg(selection.conversations.size());
    }
    return what;
}

bool MainWindow::confirmMessagesClean(BackupManifest& manifest) {
    // What goes, counted by the clean's own worker in this very backup.
    cleandetails::MessageSummary summary;
    {
        ProgressForm form(QString(), this);
        IOSClearAllMessagesThread scan(manifest, form);
        scan.scanOnly = true;
        scan.selection = m_messageSelection;
        if (!runWorker(form, scan)) {
            return false;
        }
        summary = scan.summary;
    }
    const QString tutorial = webPageUrl(QStringLiteral("/transfer_messages_computer.html")).toString();
    const QString question =
        m_messageSelection.all()
            ? tr("IDS_CONFIRM_CLEAR_ALL_MESSAGES").arg(tutorial)
            : tr("Confirm to delete %1 from device?<br/><br/>Note: To backup messages &amp; attached files onto "
                 "computer first before deleting, please refer to <a href=\"%2\"><b>HERE</b></a>.")
                  .arg(messageChoiceText(m_messageSelection), tutorial);
    const QLocale locale;
    return Tips::question(question + QStringLiteral("<br/><br/>") +
                          tr("Conversations removed whole: %1. Messages: %2. Attachments: %3 (%4).")
                              .arg(locale.toString(summary.conversations), locale.toString(summary.messages),
                                   locale.toString(summary.attachments), formatSpaceShow(summary.attachmentBytes)));
}

void MainWindow::miUndoClean() {
    IOSDevice device;
    if (!currentDevice(device) || !device.device) {
        Tips::info(tr("Connect the phone whose last clean you want to undo, and choose it in the list."));
        return;
    }
    const QDir root = iosbackup_temp_dir();
    const QString folder = root.filePath(device.udid);
    const QList<restorepoint::Info> points = restorepoint::list(folder);
    if (points.isEmpty()) {
        Tips::info(tr("There is no clean of %1 to undo.").arg(device.name.toHtmlEscaped()));
        return;
    }
    const restorepoint::Info point = points.first();
    const QString when = QLocale().toString(point.made, QLocale::ShortFormat);
    if (!Tips::question(tr("Put back on %1 what the clean of %2 on %3 removed?<br/><br/>The phone returns to its "
                           "backup of that moment: what changed on it since is replaced. The restore point holds %4 "
                           "alone.")
                            .arg(device.name.toHtmlEscaped(), point.cleaned.join(QStringLiteral(", ")), when,
                                 formatSpaceShow(point.ownBytes)))) {
        return;
    }
    try {
        if (!device.checkiTunesBackupSettings(true, false)) {
            return;
        }
        BackupManifest manifest(point.folder);
        manifest.readManifestInfo();
        QString password = device.backupPassword;
        if (manifest.info.isEncrypted && (password.isEmpty() || !manifest.setPasscode(password))) {
            PasscodeDlg dialog(&manifest, this);
            if (dialog.exec() != QDialog::Accepted) {
                return;
            }
            password = dialog.password;
        }
        // From here the phone may no longer match the backup folder, until the restore point takes its place.
        EditedBackupFolder replaced(folder);
        {
            ProgressForm form(QString(), this);
            IOSMobileRestoreThread restore(false, device, QDir(point.path), form);
            if (!password.isEmpty()) {
                restore.setBackupPasscode(password);
            }
            if (!runWorker(form, restore)) {
                return;
            }
        }
        restorepoint::undoThrow(folder);
        replaced.unchanged();
        forgetSysCacheFigures();
        forgetRemoveDataFigures();
        Tips::info(tr("Brought back to %1 what the clean of %2 on %3 removed. Now please disconnect your iPhone "
                      "from computer.")
                       .arg(device.name.toHtmlEscaped(), point.cleaned.join(QStringLiteral(", ")), when));
    } catch (const std::exception& e) {
        Tips::error(QString::fromUtf8(e.what()));
    }
}

void MainWindow::scanSysCache() {
    IOSDevice device;
    if (!currentDevice(device)) {
        return;
    }
    try {
        WindowCleanHost host(this);
        CleanPipeline pipeline(host, CleanPipeline::Mode::Scan);
        if (!backUpAndOpen(pipeline, device)) {
            return;
        }
        // Caches and temporary files apart: each row has details of its own.
        Counts caches, temps, junk;
        if (!runCleaner<IOSClearSysThread>(pipeline, caches, [](IOSClearSysThread& w) { w.temps = false; }) ||
            !runCleaner<IOSClearSysThread>(pipeline, temps, [](IOSClearSysThread& w) { w.caches = false; }) ||
            !runCleaner<IOSClearMMSAttaThread>(pipeline, junk)) {
            return;
        }
        if (stillCurrent(device)) {
            m_funCacheFiles->size = caches.found;
            m_funTempFiles->size = temps.found;
            m_funJunkFiles->size = junk.found;
            m_details[m_funCacheFiles] = std::move(caches.details);
            m_details[m_funTempFiles] = std::move(temps.details);
            m_details[m_funJunkFiles] = std::move(junk.details);
            m_sysModel->contentsUpdate();
            ui->lbTotalSysCache->setText(total(pipeline.found()));
        }
    } catch (const std::exception& e) {
        Tips::error(QString::fromUtf8(e.what()));
    }
}

void MainWindow::clearSysCache() {
    IOSDevice device;
    if (!currentDevice(device)) {
        return;
    }
    try {
        WindowCleanHost host(this);
        CleanPipeline pipeline(host, CleanPipeline::Mode::Clean);
        if (!backUpAndOpen(pipeline, device) ||
            !pipeline.keepRestorePoint(checkedNames({m_funCacheFiles, m_funTempFiles, m_funJunkFiles}))) {
            return;
        }
        Counts sys, junk;
        if (m_funCacheFiles->checked || m_funTempFiles->checked) {
            const auto kinds = [this](IOSClearSysThread& w) {
                w.caches = m_funCacheFiles->checked;
                w.temps = m_funTempFiles->checked;
            };
            if (!runCleaner<IOSClearSysThread>(pipeline, sys, kinds)) {
                return;
            }
        }
        if ((m_funJunkFiles->checked && !runCleaner<IOSClearMMSAttaThread>(pipeline, junk)) ||
            !pipeline.restore(device)) {
            return;
        }
        // The messages' figures held the junk attachments that are gone now.
        forgetRemoveDataFigures();
        Tips::info(tr("Successfully deleted %2 system cache (Total: %1). Now please disconnect your iPhone from "
                      "computer.")
                       .arg(formatSpaceShow(pipeline.found()), formatSpaceShow(pipeline.cleared())));
    } catch (const std::exception& e) {
        Tips::error(QString::fromUtf8(e.what()));
    }
}

void MainWindow::scanRemoveData() {
    IOSDevice device;
    if (!currentDevice(device)) {
        return;
    }
    try {
        WindowCleanHost host(this);
        CleanPipeline pipeline(host, CleanPipeline::Mode::Scan);
        if (!backUpAndOpen(pipeline, device)) {
            return;
        }
        Counts sms, safari, calls;
        if (!runCleaner<IOSClearAllMessagesThread>(pipeline, sms) ||
            !runCleaner<IOSClearSafariThread>(pipeline, safari) || !runCleaner<IOSClearCallsThread>(pipeline, calls)) {
            return;
        }
        if (!stillCurrent(device)) {
            return;
        }
        m_funMessages->size = sms.found;
        m_funSafari->size = safari.found;
        m_funCalls->size = calls.found;
        m_details[m_funMessages] = std::move(sms.details);
        m_details[m_funSafari] = std::move(safari.details);
        m_details[m_funCalls] = std::move(calls.details);
        // The figures are of every message again: an earlier choice no longer shows anywhere.
        m_messageSelection = {};
        m_dataModel->contentsUpdate();
        ui->lbTotalRemoveData->setText(total(pipeline.found()));
    } catch (const std::exception& e) {
        Tips::error(QString::fromUtf8(e.what()));
    }
}

void MainWindow::clearRemoveData() {
    IOSDevice device;
    if (!currentDevice(device)) {
        return;
    }
    try {
        WindowCleanHost host(this);
        CleanPipeline pipeline(host, CleanPipeline::Mode::Clean);
        // Asked before the restore point is kept: a No leaves nothing behind.
        if (!backUpAndOpen(pipeline, device) ||
            (m_funMessages->checked && !confirmMessagesClean(pipeline.manifest())) ||
            !pipeline.keepRestorePoint(checkedNames({m_funMessages, m_funSafari, m_funCalls}))) {
            return;
        }
        const auto chosen = [this](IOSClearAllMessagesThread& w) { w.selection = m_messageSelection; };
        Counts counts;
        if ((m_funMessages->checked && !runCleaner<IOSClearAllMessagesThread>(pipeline, counts, chosen)) ||
            (m_funSafari->checked && !runCleaner<IOSClearSafariThread>(pipeline, counts)) ||
            (m_funCalls->checked && !runCleaner<IOSClearCallsThread>(pipeline, counts)) || !pipeline.restore(device)) {
            return;
        }
        // The junk attachments counted under System Junk went with the messages, and the chosen messages are gone.
        forgetSysCacheFigures();
        forgetRemoveDataFigures();
        Tips::info(tr("Successfully deleted %2 data.(Total:%1). Now please disconnect your iPhone from computer.")
                       .arg(formatSpaceShow(pipeline.found()), formatSpaceShow(pipeline.cleared())));
    } catch (const std::exception& e) {
        Tips::error(QString::fromUtf8(e.what()));
    }
}
