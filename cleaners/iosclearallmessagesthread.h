#pragma once

// Empties the message database of the backup (both database generations),
// writes it back and drops every attachment, part and draft file. With a
// selection, it removes only the chosen rows, keeps the database consistent
// (conversations, handles, joins, the device's triggers) and drops the files of
// exactly the attachment rows that went; then it counts the files and what the
// database shrank. A scan does the same on its private copy, so `summary` and
// the counters say what the clean will remove.

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
