#include "ui/settingsdlg.h"

#include "app/paths.h"
#include "app/tips.h"
#include "backup/restorepoint.h"
#include "ui/stylesheet.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStorageInfo>
#include <QVBoxLayout>

namespace {

// The restore points of every backup folder in the backup root.
QList<restorepoint::Info> restorePointsIn(const QString& backupRoot) {
    QList<restorepoint::Info> points;
    for (const QFileInfo& folder : QDir(backupRoot).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        points += restorepoint::list(folder.absoluteFilePath());
    }
    return points;
}

} // namespace

SettingsDlg::SettingsDlg(QWidget* parent)
    : QDialog(parent), m_movable(this), m_txtFolder(new QLineEdit(this)), m_lbFreeSpace(new QLabel(this)),
      m_sbRestorePoints(new QSpinBox(this)), m_lbRestorePoints(new QLabel(this)) {
    setObjectName(QStringLiteral("SettingsDlg"));
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(getStyleSheet());

    auto* title = new QLabel(tr("Settings"), this);
    title->setObjectName(QStringLiteral("lbTitle"));
    m_txtFolder->setObjectName(QStringLiteral("txtBackupFolder"));
    m_txtFolder->setReadOnly(true);
    m_txtFolder->setMinimumWidth(360);
    m_lbFreeSpace->setObjectName(QStringLiteral("lbFreeSpace"));
    auto* change = new QPushButton(tr("Change..."), this);
    change->setObjectName(QStringLiteral("btnChangeFolder"));
    auto* reset = new QPushButton(tr("Default"), this);
    reset->setObjectName(QStringLiteral("btnDefaultFolder"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_sbRestorePoints->setObjectName(QStringLiteral("sbRestorePoints"));
    m_sbRestorePoints->setRange(1, 20);
    m_sbRestorePoints->setValue(g_restorePointsToKeep());
    m_lbRestorePoints->setObjectName(QStringLiteral("lbRestorePoints"));
    auto* removePoints = new QPushButton(tr("Remove Restore Points"), this);
    removePoints->setObjectName(QStringLiteral("btnRemoveRestorePoints"));

    auto* row = new QHBoxLayout;
    row->addWidget(m_txtFolder, 1);
    row->addWidget(change);
    row->addWidget(reset);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(title);
    layout->addWidget(new QLabel(tr("Device backups are kept in this folder (Change... picks where it goes):"), this));
    layout->addLayout(row);
    layout->addWidget(m_lbFreeSpace);
    auto* keep = new QHBoxLayout;
    keep->addWidget(new QLabel(tr("Restore points kept after each clean, to undo it:"), this));
    keep->addWidget(m_sbRestorePoints);
    keep->addStretch(1);
    layout->addLayout(keep);
    auto* points = new QHBoxLayout;
    points->addWidget(m_lbRestorePoints, 1);
    points->addWidget(removePoints);
    layout->addLayout(points);
    layout->addWidget(buttons);

    connect(change, &QPushButton::clicked, this, [this] {
        const QString chosen = QFileDialog::getExistingDirectory(this, tr("Backup folder"), m_txtFolder->text());
        if (!chosen.isEmpty()) {
            setLocation(chosen);
        }
    });
    connect(reset, &QPushButton::clicked, this, [this] { setLocation(QString()); });
    connect(removePoints, &QPushButton::clicked, this, [this] {
        if (!Tips::question(tr("Remove every restore point? The cleans made so far can then no longer be undone."))) {
            return;
        }
        for (const restorepoint::Info& point : restorePointsIn(g_backupDirPath())) {
            restorepoint::remove(point);
        }
        m_lbRestorePoints->setText(restorePointsText(g_backupDirPath()));
    });
    m_lbRestorePoints->setText(restorePointsText(g_backupDirPath()));
    connect(buttons, &QDialogButtonBox::accepted, this, &SettingsDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &SettingsDlg::reject);
    const QString current = g_backupDirPath();
    const bool chosenBefore = current.endsWith(QStringLiteral("/spacevexlar-backups"));
    setLocation(chosenBefore ? QFileInfo(current).absolutePath() : QString());
}

void SettingsDlg::setLocation(const QString& location) {
    m_location = location.isEmpty() ? QString() : QDir::cleanPath(location);
    const QString folder = m_location.isEmpty() ? g_resolveDataSaveDirPath() + QStringLiteral("/backups")
                                                : m_location + QStringLiteral("/spacevexlar-backups");
    m_txtFolder->setText(folder);
    m_lbFreeSpace->setText(freeSpaceText(folder));
}

QString SettingsDlg::freeSpaceText(const QString& path) {
    // The folder itself may not exist yet: its nearest existing parent is on the same file system.
    QString existing = QDir::cleanPath(path);
    while (!existing.isEmpty() && !QFileInfo(existing).isDir() && existing != QDir::rootPath()) {
        existing = QFileInfo(existing).absolutePath();
    }
    const QStorageInfo storage(existing);
    if (!storage.isValid() || !storage.isReady()) {
        return QString();
    }
    return tr("%1 free").arg(formatSpaceShow(storage.bytesAvailable()));
}

QString SettingsDlg::restorePointsText(const QString& backupRoot) {
    qint64 bytes = 0;
    const QList<restorepoint::Info> points = restorePointsIn(backupRoot);
    for (const restorepoint::Info& point : points) {
        bytes += point.ownBytes;
    }
    const qsizetype count = points.size();
    return count == 0 ? tr("No restore points")
                      : tr("Restore points: %1, holding %2 alone").arg(count).arg(formatSpaceShow(bytes));
}

void SettingsDlg::accept() {
    const QString folder = m_txtFolder->text();
    // A folder the program cannot write would fail every backup later, far from this choice.
    if (!QDir().mkpath(folder) || !QFileInfo(folder).isWritable()) {
        Tips::warning(tr("The folder %1 cannot be written. Please choose another one.").arg(folder.toHtmlEscaped()));
        return;
    }
    g_setBackupDirPath(m_location);
    g_setRestorePointsToKeep(m_sbRestorePoints->value());
    QDialog::accept();
}
