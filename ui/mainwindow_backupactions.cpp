// "Remove System Junk" and "Delete Unwanted Data": both work on a full backup
// of the device. Scan measures with the cleaning workers and restores
// nothing; Free Up edits the backup and restores it when something was removed.

#include "app/paths.h"
#include "app/tips.h"
#include "app/weblinks.h"
#include "backup/backupmanifest.h"
#include "backup/restorepoint.h"
#include "cleaners/iosclearallmessagesthread.h"
#include "cleaners/iosclearcallsthread.h"
#include "cleaners/iosclearmmsattathread.h"
#include "cleaners/iosclearsafarithread.h"
#include "cleaners/iosclearsysthread.h"
#include "cleaners/iosmobilebackupthread.h"
#include "cleaners/iosmobilerestorethread.h"
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

using RunWorker = bool (*)(ProgressForm&, QThread&);
using MakeCleaner = std::unique_ptr<BackupCleanerThread> (*)(BackupManifest&, ProgressReporter&);

template <class Worker>
std::unique_ptr<BackupCleanerThread> make(BackupManifest& manifest, ProgressReporter& progress) {
    return std::make_unique<Worker>(manifest, progress);
}

// Runs one cleaning worker on the opened backup. The workers of one action share `counted`, so that a file two
// categories would remove counts once, as the clean removes it once. A scan also keeps the details of what it found.
bool runCleaner(RunWorker run, ProgressForm& form, BackupCleanerThread& worker, bool scanOnly, QSet<QString>& counted) {
    worker.scanOnly = scanOnly;
    worker.wantDetails = scanOnly;
    worker.countedFiles = &counted;
    return run(form, worker);
}

bool runCleaner(QWidget* parent, RunWorker run, MakeCleaner makeWorker, BackupManifest& manifest, bool scanOnly,
                QSet<QString>& counted, Counts& counts) {
    ProgressForm form(QString(), parent);
    const std::unique_ptr<BackupCleanerThread> worker = makeWorker(manifest, form);
    const bool ok = runCleaner(run, form, *worker, scanOnly, counted);
    counts = {worker->foundBytes, worker->clearedBytes, std::move(worker->details)};
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

std::unique_ptr<BackupManifest> MainWindow::openDeviceBackup(IOSDevice& device, QDir& root) {
    // A virtual device only shows figures from its test file: there is nothing to back up.
    if (!device.device) {
        return nullptr;
    }
    if (!device.checkiTunesBackupSettings(true, false)) {
        return nullptr;
    }
    bool backedUp = false;
    {
        ProgressForm form(QString(), this);
        IOSMobileBackupThread backup(false, device, form);
        backedUp = runWorker(form, backup);
        root = backup.root();
    }
    // A failed backup has shown its error and left no folder; after a cancel,
    // an earlier backup may still lie there and must not be cleaned and
    // restored in place of the one the user stopped.
    if (!backedUp) {
        return nullptr;
    }
    return openBackupFolder(device, root.filePath(device.udid));
}

std::unique_ptr<BackupManifest> MainWindow::openBackupFolder(IOSDevice& device, const QString& folder) {
    auto manifest = std::make_unique<BackupManifest>(folder);
    manifest->readManifestInfo();
    if (manifest->info.isEncrypted) {
        if (device.backupPassword.isEmpty() || !manifest->setPasscode(device.backupPassword)) {
            PasscodeDlg dialog(manifest.get(), this);
            if (dialog.exec() != QDialog::Accepted) {
                return nullptr;
            }
            device.backupPassword = dialog.password;
        }
    }
    manifest->parseInfo();
    return manifest;
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

bool MainWindow::keepRestorePoint(EditedBackupFolder& edited, const QString& folder, const QStringList& cleaned) {
    try {
        try {
            edited.setRestorePoint(restorepoint::makeThrow(folder, cleaned));
        } catch (const restorepoint::NoHardLinks&) {
            edited.setRestorePoint(restorepoint::makeThrow(folder, cleaned, true));
        }
        return true;
    } catch (const std::exception& e) {
        return Tips::question(tr("No restore point can be kept before this clean, so it could not be undone:<br/>%1"
                                 "<br/><br/>Clean all the same?")
                                  .arg(QString::fromUtf8(e.what()).toHtmlEscaped()));
    }
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

bool MainWindow::restoreDeviceBackup(const IOSDevice& device, const QDir& root) {
    ProgressForm form(QString(), this);
    IOSMobileRestoreThread restore(false, device, root, form);
    if (!device.backupPassword.isEmpty()) {
        restore.setBackupPasscode(device.backupPassword);
    }
    return runWorker(form, restore);
}

void MainWindow::scanSysCache() {
    IOSDevice device;
    if (!currentDevice(device)) {
        return;
    }
    try {
        QDir root;
        const std::unique_ptr<BackupManifest> manifest = openDeviceBackup(device, root);
        if (!manifest) {
            return;
        }
        QSet<QString> counted;
        // Caches and temporary files apart: each row has details of its own.
        const auto scanSystemFiles = [&](bool caches, Counts& counts) {
            ProgressForm form(QString(), this);
            IOSClearSysThread worker(*manifest, form);
            worker.caches = caches;
            worker.temps = !caches;
            const bool ok = runCleaner(&runWorker, form, worker, true, counted);
            counts = {worker.foundBytes, worker.clearedBytes, std::move(worker.details)};
            return ok;
        };
        Counts caches, temps, junk;
        if (!scanSystemFiles(true, caches) || !scanSystemFiles(false, temps) ||
            !runCleaner(this, &runWorker, &make<IOSClearMMSAttaThread>, *manifest, true, counted, junk)) {
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
            ui->lbTotalSysCache->setText(total(caches.found + temps.found + junk.found));
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
        QDir root;
        const std::unique_ptr<BackupManifest> manifest = openDeviceBackup(device, root);
        if (!manifest) {
            return;
        }
        EditedBackupFolder edited(manifest->dir.path());
        if (!keepRestorePoint(edited, manifest->dir.path(),
                              checkedNames({m_funCacheFiles, m_funTempFiles, m_funJunkFiles}))) {
            return;
        }
        QSet<QString> counted;
        Counts sys, junk;
        if (m_funCacheFiles->checked || m_funTempFiles->checked) {
            ProgressForm form(QString(), this);
            IOSClearSysThread worker(*manifest, form);
            worker.caches = m_funCacheFiles->checked;
            worker.temps = m_funTempFiles->checked;
            if (!runCleaner(&runWorker, form, worker, false, counted)) {
                return;
            }
            sys = {worker.foundBytes, worker.clearedBytes, {}};
        }
        if (m_funJunkFiles->checked &&
            !runCleaner(this, &runWorker, &make<IOSClearMMSAttaThread>, *manifest, false, counted, junk)) {
            return;
        }
        const qint64 found = sys.found + junk.found;
        const qint64 removed = sys.cleared + junk.cleared;
        if (removed > 0 && !restoreDeviceBackup(device, root)) {
            return;
        }
        removed > 0 ? edited.restored() : edited.unchanged();
        // The messages' figures held the junk attachments that are gone now.
        forgetRemoveDataFigures();
        Tips::info(tr("Successfully deleted %2 system cache (Total: %1). Now please disconnect your iPhone from "
                      "computer.")
                       .arg(formatSpaceShow(found), formatSpaceShow(removed)));
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
        QDir root;
        const std::unique_ptr<BackupManifest> manifest = openDeviceBackup(device, root);
        if (!manifest) {
            return;
        }
        QSet<QString> counted;
        Counts sms, safari, calls;
        if (!runCleaner(this, &runWorker, &make<IOSClearAllMessagesThread>, *manifest, true, counted, sms) ||
            !runCleaner(this, &runWorker, &make<IOSClearSafariThread>, *manifest, true, counted, safari) ||
            !runCleaner(this, &runWorker, &make<IOSClearCallsThread>, *manifest, true, counted, calls)) {
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
        ui->lbTotalRemoveData->setText(total(sms.found + safari.found + calls.found));
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
        QDir root;
        const std::unique_ptr<BackupManifest> manifest = openDeviceBackup(device, root);
        if (!manifest) {
            return;
        }
        // Asked before the restore point is kept: a No leaves nothing behind.
        if (m_funMessages->checked && !confirmMessagesClean(*manifest)) {
            return;
        }
        EditedBackupFolder edited(manifest->dir.path());
        if (!keepRestorePoint(edited, manifest->dir.path(), checkedNames({m_funMessages, m_funSafari, m_funCalls}))) {
            return;
        }
        QSet<QString> counted;
        const struct {
            const _APPIconItemNode* node;
            MakeCleaner makeWorker;
        } steps[] = {{m_funMessages, &make<IOSClearAllMessagesThread>},
                     {m_funSafari, &make<IOSClearSafariThread>},
                     {m_funCalls, &make<IOSClearCallsThread>}};
        qint64 found = 0;
        qint64 removed = 0;
        for (const auto& step : steps) {
            if (!step.node->checked) {
                continue;
            }
            ProgressForm form(QString(), this);
            const std::unique_ptr<BackupCleanerThread> worker = step.makeWorker(*manifest, form);
            if (auto* messages = qobject_cast<IOSClearAllMessagesThread*>(worker.get())) {
                messages->selection = m_messageSelection;
            }
            if (!runCleaner(&runWorker, form, *worker, false, counted)) {
                return;
            }
            found += worker->foundBytes;
            removed += worker->clearedBytes;
        }
        if (removed > 0 && !restoreDeviceBackup(device, root)) {
            return;
        }
        removed > 0 ? edited.restored() : edited.unchanged();
        // The junk attachments counted under System Junk went with the messages, and the chosen messages are gone.
        forgetSysCacheFigures();
        forgetRemoveDataFigures();
        Tips::info(tr("Successfully deleted %2 data.(Total:%1). Now please disconnect your iPhone from computer.")
                       .arg(formatSpaceShow(found), formatSpaceShow(removed)));
    } catch (const std::exception& e) {
        Tips::error(QString::fromUtf8(e.what()));
    }
}
