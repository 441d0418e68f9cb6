#include "cleaners/cleanpipeline.h"

#include "app/paths.h"
#include "app/progressreporter.h"
#include "backup/backupmanifest.h"
#include "backup/restorepoint.h"
#include "cleaners/iosmobilebackupthread.h"
#include "cleaners/iosmobilerestorethread.h"

#include <stdexcept>

CleanPipeline::CleanPipeline(Host& host, Mode mode) : m_host(host), m_mode(mode) {}

// Out of line: the members' types are complete here.
CleanPipeline::~CleanPipeline() = default;

bool CleanPipeline::backUp(const IOSDevice& device) {
    const std::unique_ptr<ProgressReporter> progress = m_host.newProgress();
    IOSMobileBackupThread backup(false, device, *progress);
    if (!m_host.runWorker(*progress, backup)) {
        return false;
    }
    m_root = backup.root();
    m_folder = backup.backupDir();
    m_backedUp = true;
    return true;
}

bool CleanPipeline::open(const QString& folder, const QString& knownPassword) {
    if (!folder.isEmpty()) {
        m_folder = folder;
    }
    if (m_folder.isEmpty()) {
        throw std::logic_error("CleanPipeline::open: no backup folder");
    }
    m_manifest = std::make_unique<BackupManifest>(m_folder);
    m_manifest->readManifestInfo();
    if (!m_manifest->recoveryNote.isEmpty()) {
        m_host.note(m_manifest->recoveryNote);
    }
    if (m_manifest->info.isEncrypted) {
        m_password = m_host.unlock(*m_manifest, knownPassword);
        if (m_password.isEmpty()) {
            return false;
        }
    }
    m_manifest->parseInfo();
    return true;
}

void CleanPipeline::startEdit() {
    if (m_mode == Mode::Clean && m_backedUp && !m_edited) {
        m_edited = std::make_unique<EditedBackupFolder>(m_folder);
    }
}

bool CleanPipeline::keepRestorePoint(const QStringList& cleaned) {
    if (m_mode != Mode::Clean) {
        return true;
    }
    startEdit();
    try {
        restorepoint::Info point;
        try {
            point = restorepoint::makeThrow(m_folder, cleaned);
        } catch (const restorepoint::NoHardLinks&) {
            point = restorepoint::makeThrow(m_folder, cleaned, true);
        }
        if (m_edited) {
            m_edited->setRestorePoint(point);
        }
        m_restorePointKept = true;
        m_host.note(QStringLiteral("Kept the backup as it was in %1").arg(point.path));
        return true;
    } catch (const std::exception& e) {
        return m_host.cleanWithoutRestorePoint(QString::fromUtf8(e.what()));
    }
}

bool CleanPipeline::run(ProgressReporter& progress, BackupCleanerThread& worker) {
    startEdit();
    worker.scanOnly = m_mode == Mode::Scan;
    worker.countedFiles = &m_counted;
    if (!m_host.runWorker(progress, worker)) {
        return false;
    }
    m_found += worker.foundBytes;
    m_cleared += worker.clearedBytes;
    return true;
}

bool CleanPipeline::restore(const IOSDevice& device) {
    if (m_mode != Mode::Clean || !m_edited) {
        return true;
    }
    if (m_cleared == 0) {
        m_edited->unchanged();
        return true;
    }
    const std::unique_ptr<ProgressReporter> progress = m_host.newProgress();
    IOSMobileRestoreThread restore(false, device, m_root, *progress);
    if (!m_password.isEmpty()) {
        restore.setBackupPasscode(m_password);
    }
    if (!m_host.runWorker(*progress, restore)) {
        return false; // the edited folder is marked unfinished as the pipeline goes
    }
    m_edited->restored();
    return true;
}

void CleanPipeline::keepEdit() {
    if (m_mode == Mode::Clean && m_restorePointKept) {
        restorepoint::prune(m_folder, g_restorePointsToKeep()); // this clean's own restore point stays
    }
}
