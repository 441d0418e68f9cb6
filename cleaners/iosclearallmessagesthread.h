#pragma once

// Empties the message database of the backup (both database generations),
// writes it back and drops every attachment, part and draft file.

#include "cleaners/backupcleaner.h"

class IOSClearAllMessagesThread : public BackupCleanerThread {
    Q_OBJECT
public:
    IOSClearAllMessagesThread(BackupManifest& manifest, ProgressReporter& progress, QObject* parent = nullptr);

    cleandetails::MessageSelection selection; // set before start; the default takes every message
    cleandetails::MessageSummary summary;     // what the selection takes (in a scan: would take); read after the end

protected:
    void work() override;
};
