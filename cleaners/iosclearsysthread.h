#pragma once

// Counts, and unless scanOnly drops from the manifest, the system's own
// caches and temporary files: the files below Library/Caches/ and tmp/ of the
// root and home domains, which the phone recreates as it needs them. Their
// data files stay; only the manifest stops listing them.

#include "cleaners/backupcleaner.h"

class IOSClearSysThread : public BackupCleanerThread {
    Q_OBJECT
public:
    IOSClearSysThread(BackupManifest& manifest, ProgressReporter& progress, QObject* parent = nullptr);

    bool caches = true; // set before start: which of the two kinds to count and remove
    bool temps = true;
    qint64 cacheBytes = 0; // the found bytes of each kind; read after the thread ended
    qint64 tempBytes = 0;

protected:
    void work() override;
};
