#include "backup/fileutil.h"
#include "tools/vexlar-backup/backupcli.h"

#include <QCoreApplication>

int main(int argc, char* argv[]) {
    // A killed run (Ctrl-C, a closed pipe as in "ls | head") must not leave a decrypted manifest behind.
    fileutil::installSignalCleanup();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vexlar-backup"));
    return BackupCli::run(QCoreApplication::arguments());
}
