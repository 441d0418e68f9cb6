#include "cleaners/iosmobilebackupthread.h"

#include "app/errreport.h"
#include "app/paths.h"
#include "backup/backupmanifest.h"
#include "services/backup2tool.h"

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <exception>
#include <utility>

Q_LOGGING_CATEGORY(lcBackupThread, "vexlar.cleaners.backup")

namespace {

QString helpPage(const char* page) {
    return QStringLiteral("http://%1/%2").arg(webHost(), QLatin1String(page));
}

// A property list of the backup folder, refused unread when it is larger than any real one.
CFType readSmallPlist(const QString& path) {
    const QFileInfo info(path);
    if (!info.isFile() || info.size() > BackupManifest::kMaxPlistSize) {
        return CFType();
    }
    return CFType::createCFPropertyListFromFile(path);
}

// Removes whatever lies at path, hidden files included; a link is removed, never followed.
void removeAll(const QString& path) {
    const QFileInfo info(path);
    if (info.isSymLink() || (info.exists() && !info.isDir())) {
        QFile::remove(path);
    } else if (info.exists()) {
        QDir(path).removeRecursively();
    }
}

} // namespace

QDir iosbackup_temp_dir() {
    return QDir(g_backupDirPath());
}

void iosbackup_clear_temp() {
    g_delDirCascade(iosbackup_temp_dir().absolutePath());
    const QString marker = g_dataSaveDir().filePath(QStringLiteral("__quorvindale_iosbk_temp.path"));
    if (QFileInfo::exists(marker)) {
        QFile::remove(marker);
    }
}

QString iosbackup_failure_message(const QString& text, bool restore, bool linkTutorial) {
    auto tr = [](const char* s) { return IOSMobileBackupThread::tr(s); };
    QString message;
    static const QRegularExpression freeSpace(
        QStringLiteral("Insufficient free disk space on device to restore \\((\\d+) [^\\d]+ (\\d+)\\)"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = restore ? freeSpace.match(text) : QRegularExpressionMatch();
    if (restore && text.contains(QLatin1String("Find My iPhone must be disabled"), Qt::CaseInsensitive)) {
        message = tr("Please follow <a href=\"%1\"> this tutorial</a> to disable \"Find my iPhone\" first and then "
                     "restart your iPhone to try again.<br/><br/>")
                      .arg(helpPage("disable_find_my_iphone.php"));
    } else if (match.hasMatch()) {
        // A number too long for 64 bits reads as 0 rather than wrapping.
        const double gib = double(match.captured(2).toLongLong()) / 1024.0 / 1024.0 / 1024.0;
        message = tr("%1 GB free disk space on your device is required restore data.  Please remove some camera "
                     "roll videos from your device to computer to free up disk space first and then try again.")
                      .arg(QString::number(gib, 'g', 1));
    } else if (text.contains(QLatin1String("Connection to device lost"), Qt::CaseInsensitive) ||
               text.contains(QLatin1String("until Setup is finished"), Qt::CaseInsensitive)) {
        message = text.contains(QLatin1String("Connection to device lost"), Qt::CaseInsensitive)
                      ? tr("Connection to device lost. Please try the following solutions: <br/><br/>")
                      : tr("Failed to connect your iPhone. Please try the following solutions: <br/><br/>");
        message += tr("A:<br/>Step 1) Restart your iPhone.<br/>Step 2) Connect your iPhone to iTunes to backup your "
                      "iPhone on computer. <br/>Step 3) Run Quorvindale software to try again. <br/><br/>");
        message += tr("B:<br/>Step 1) Delete the lockdown folder from your computer.(<a href=\"%1\">How to</a>) "
                      "<br/>Step 2) Connect your iPhone to iTunes to backup your iPhone on computer.<br/>Step 3) Run "
                      "Quorvindale software to try again. <br/>")
                       .arg(helpPage("reset_lockdown_folder.php"));
    } else {
        message = text;
    }
    if (!linkTutorial) {
        message += tr("<br/><br/>Note: You can restart your device to try again.");
    } else {
        message += (restore ? tr("<br/><br/>Tip: You can follow this ") : tr("<br/><br/>Note: You can follow this ")) +
                   QStringLiteral("<b><a href=\"%1\">%2</a></b>")
                       .arg(helpPage("transfer_messages_itunes.php"), tr("tutorial")) +
                   tr(" to try.");
    }
    return message;
}

EditedBackupFolder::EditedBackupFolder(QString folder) : m_folder(std::move(folder)) {}

EditedBackupFolder::~EditedBackupFolder() {
    if (m_folder.isEmpty()) {
        return;
    }
    if (!m_restorePoint.path.isEmpty()) {
        restorepoint::remove(m_restorePoint); // the phone still holds what it kept
    }
    // Without its status the folder is no finished backup: the next backup deletes it before it starts.
    const QString status = QDir(m_folder).filePath(QStringLiteral("Status.plist"));
    if (!QFile::remove(status) && QFileInfo::exists(status)) {
        qCCritical(lcBackupThread, "could not mark the edited backup %s unfinished; removing it", qPrintable(m_folder));
        removeAll(m_folder);
    } else {
        qCInfo(lcBackupThread, "the edit of %s did not reach the device; the next backup starts afresh",
               qPrintable(m_folder));
    }
}

void EditedBackupFolder::restored() {
    if (!m_restorePoint.path.isEmpty()) {
        restorepoint::prune(m_folder, g_restorePointsToKeep());
    }
    m_folder.clear();
}

void EditedBackupFolder::unchanged() {
    if (!m_restorePoint.path.isEmpty()) {
        restorepoint::remove(m_restorePoint);
    }
    m_folder.clear();
}

IOSMobileBackupThread::IOSMobileBackupThread(bool linkTutorial, IOSDevice const& device, ProgressReporter& progress,
                                             QObject* parent)
    : QThread(parent), m_linkTutorial(linkTutorial), m_device(device), m_progress(progress),
      m_backupRoot(iosbackup_temp_dir()), m_tool(new backup2tool(device.device, device.udid, m_backupRoot)) {
    // Direct: the reporter is thread-safe, so progress needs no event loop on this object's thread.
    connect(m_tool, &backup2tool::update, this, &IOSMobileBackupThread::backupUpdate, Qt::DirectConnection);
    m_tool->externalCancel = &m_progress.canceled;
}

IOSMobileBackupThread::~IOSMobileBackupThread() {
    // The thread has ended (the caller waits for it), so nothing else uses the tool.
    delete m_tool;
}

QString IOSMobileBackupThread::backupDir() const {
    return m_backupRoot.filePath(m_device.udid);
}

bool IOSMobileBackupThread::isReusableBackup(const QString& folder, const QString& productVersion) {
    const QDir dir(folder);
    if (!QFileInfo(folder).isDir() || QFileInfo(folder).isSymLink() ||
        !QFileInfo::exists(dir.filePath(QStringLiteral("Status.plist"))) ||
        !QFileInfo::exists(dir.filePath(QStringLiteral("Manifest.plist"))) ||
        !(QFileInfo::exists(dir.filePath(QStringLiteral("Manifest.mbdb"))) ||
          QFileInfo::exists(dir.filePath(QStringLiteral("Manifest.db"))))) {
        return false;
    }
    const CFType status = readSmallPlist(dir.filePath(QStringLiteral("Status.plist")));
    if (status.get(QStringLiteral("SnapshotState")).toString() != QLatin1String("finished")) {
        return false;
    }
    const CFType manifest = readSmallPlist(dir.filePath(QStringLiteral("Manifest.plist")));
    return manifest.get(QStringLiteral("Lockdown")).get(QStringLiteral("ProductVersion")).toString() == productVersion;
}

void IOSMobileBackupThread::backupUpdate(double pg, QString status1, QString status2) {
    m_progress.invokeUpdateProgress(status1, int(pg), status2);
}

void IOSMobileBackupThread::run() {
    // The folder is removed below: it must be the device's own, inside the backup root.
    if (!g_isSafeIdentifier(m_device.udid)) {
        m_progress.invokeErrorOccurred(tr("The device's identifier is not valid: nothing was backed up or changed."));
        return;
    }
    const QString folder = backupDir();
    try {
        m_progress.invokeUpdateProgress(QStringLiteral("Loading data from Device..."), 0, QString());
        if (QFileInfo::exists(folder) || QFileInfo(folder).isSymLink()) {
            if (isReusableBackup(folder, m_device.productVersion)) {
                qCDebug(lcBackupThread, "reusing the finished backup in %s", qPrintable(folder));
            } else {
                removeAll(folder);
            }
        }
        m_backupRoot.mkpath(QStringLiteral("."));
        m_tool->runThrow(_backup2tool_req(OP_BACKUP));
        if (m_progress.canceled || m_tool->cancelled()) {
            // The helper was stopped midway: what it left must not pass for a finished backup.
            removeAll(folder);
            return;
        }
        m_progress.invokeSucceed(QString());
    } catch (const std::exception& e) {
        removeAll(folder);
        m_progress.invokeErrorOccurred(iosbackup_failure_message(QString::fromUtf8(e.what()), false, m_linkTutorial));
    }
}
