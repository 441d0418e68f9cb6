#pragma once

// Message attachment and part files that no row of the message database
// refers to any more: counted, and unless scanOnly dropped from the manifest.
// The message database is only read.

#include "cleaners/backupcleaner.h"

class IOSClearMMSAttaThread : public BackupCleanerThread {
    Q_OBJECT
public:
    IOSClearMMSAttaThread(BackupManifest& manifest, ProgressReporter& progress, QObject* parent = nullptr);

protected:
    void work() override;
};
