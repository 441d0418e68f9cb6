#pragma once

// Empties the message database of the backup (both database generations),
// writes it back and drops every attachment, part and draft file.

#include "cleaners/backupcleaner.h"

class IOSClearAllMessagesThread : public BackupCleanerThread {
    Q_OBJECT
public:
    IOSClearAllMessagesThread(BackupManifest& manifest, ProgressReporter& progress, QObject* parent = nullptr);

protected:
    void work() override;
};
