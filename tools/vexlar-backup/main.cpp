#include "tools/vexlar-backup/backupcli.h"

#include <QCoreApplication>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vexlar-backup"));
    return BackupCli::run(QCoreApplication::arguments());
}
