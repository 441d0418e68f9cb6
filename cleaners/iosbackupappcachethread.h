#pragma once

// App caches through a full backup, for devices that refuse to vend app
// containers: measures, and unless scanOnly drops from the manifest, what lies
// below Library/Caches/, Library/tmp/ and tmp/ of each chosen app's domain
// (the folders themselves stay). Dropped files' data files are removed once
// the manifest no longer lists them; restoring the backup then removes the
// files from the device.

#include "cleaners/backupcleaner.h"
#include "cleaners/iosappinfo.h"

#include <QHash>
#include <QList>

class IOSBackupAppCacheThread : public BackupCleanerThread {
    Q_OBJECT
public:
    // `apps` is referenced, not copied: it must outlive the thread.
    IOSBackupAppCacheThread(BackupManifest& manifest, QList<_IOSAppInfo> const& apps, ProgressReporter& progress,
                            QObject* parent = nullptr);

    QHash<QString, qint64> appCacheBytes; // bundle identifier -> bytes of regular files found

    // The app of a record whose path lies below one of its cache folders; empty otherwise.
    static QString cacheOwner(const MBDBParser::_MBDBItem& record);

protected:
    void work() override;

private:
    QList<_IOSAppInfo> const& m_apps;
};
