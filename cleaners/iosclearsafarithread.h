#pragma once

// Empties the browser's history database (in the browser's app domain and,
// on current systems, in the home domain), writes it back, and drops the
// page thumbnails, web sites' local storage and the old history list.

#include "cleaners/backupcleaner.h"

class IOSClearSafariThread : public BackupCleanerThread {
    Q_OBJECT
public:
    IOSClearSafariThread(BackupManifest& manifest, ProgressReporter& progress, QObject* parent = nullptr);

protected:
    void work() override;
};
