#pragma once

// Counts, and unless scanOnly drops from the manifest, the files below Library/Caches/
// of the root and home domains. Their data files stay; only the manifest stops listing them.

#include "cleaners/backupcleaner.h"

class IOSClearSysThread : public BackupCleanerThread {
    Q_OBJECT
public:
    IOSClearSysThread(BackupManifest& manifest, ProgressReporter& progress, QObject* parent = nullptr);

protected:
    void work() override;
};
