#include "backup/fileutil.h"
#include "tools/vexlar-backup/backupcli.h"

#include <QCoreApplication>
#include <QLoggingCategory>

int main(int argc, char* argv[]) {
    // A killed run (Ctrl-C, a closed pipe as in "ls | head") must not leave a decrypted manifest behind.
    fileutil::installSignalCleanup();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vexlar-backup"));
    // The workers' traces are for the program's log file; QT_LOGGING_RULES still turns them on. A recovered
    // edit is told in a sentence of its own.
    QLoggingCategory::setFilterRules(QStringLiteral("vexlar.*.debug=false\nvexlar.backup.journal.info=false"));
    return BackupCli::run(QCoreApplication::arguments());
}
