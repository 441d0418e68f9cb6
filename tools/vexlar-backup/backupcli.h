#pragma once

// The vexlar-backup command line: describe, list and extract backup folders.

#include <QStringList>

namespace BackupCli {

enum ExitCode { Done = 0, Error = 1, Usage = 2, WrongPassword = 3 };

// args as QCoreApplication::arguments() gives them (program name first).
int run(const QStringList& args);

// Makes a path printable on one line of a tab-separated listing.
QString escapeField(const QString& text);

} // namespace BackupCli
