#pragma once

// Empties the call log: the call database of the wireless domain and the
// call store of the home domain, each when the backup holds it.

#include "cleaners/backupcleaner.h"

class IOSClearCallsThread : public BackupCleanerThread {
    Q_OBJECT
public:
    IOSClearCallsThread(BackupManifest& manifest, ProgressReporter& progress, QObject* parent = nullptr);

protected:
    void work() override;
};
