#pragma once

// "Settings": where the device backups go, with the free space there (a backup
// is as large as the data on the phone). The user picks a folder; the backups
// go to a folder of their own inside it. OK stores the choice
// (g_setBackupDirPath); the next backup goes there. Also how many restore
// points each clean keeps, the space they hold alone, and a way to remove them.

#include "ui/winmovable.h"

#include <QDialog>

class QLabel;
class QLineEdit;
class QSpinBox;

class SettingsDlg : public QDialog {
    Q_OBJECT

public:
    explicit SettingsDlg(QWidget* parent = nullptr);

    // The folder chosen to hold the backups; empty: the default.
    QString location() const { return m_location; }
    // Shows the backup folder inside `location` and the free space there.
    void setLocation(const QString& location);

    // "12.3 GB free", or "" when no existing folder above `path` can be measured.
    static QString freeSpaceText(const QString& path);
    // "Restore points: 2, holding 1.2 GB alone", of every backup folder in `backupRoot`, or "No restore points".
    static QString restorePointsText(const QString& backupRoot);

public slots:
    void accept() override;

private:
    WinMovable m_movable;
    QString m_location;
    QLineEdit* m_txtFolder;
    QLabel* m_lbFreeSpace;
    QSpinBox* m_sbRestorePoints;
    QLabel* m_lbRestorePoints;
};
