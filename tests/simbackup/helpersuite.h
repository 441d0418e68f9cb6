#pragma once

// What the two backup helpers' suites share: the simulated devices, a backup
// root, devices holding the peer's awkward tree, and runs through the
// program's own helper driver.

#include "services/backup2tool.h"
#include "tests/backupinterop/peer.h"
#include "tests/device/simfixture.h"

#include <QTemporaryDir>

class HelperSuite : public QObject {
protected:
    SimStore sim;
    QTemporaryDir work;
    QString root; // RootDirectory of every request

    // The helper the driver starts, and an empty backup root.
    bool useHelper(const char* helper) {
        qputenv("VEXLAR_BACKUP_HELPER", helper);
        root = work.filePath(QStringLiteral("backups"));
        return QDir().mkpath(root);
    }

    QString files(const QString& udid) const { return sim.deviceDir(udid) + QStringLiteral("/files"); }
    QString backupDir(const QString& udid) const { return root + '/' + udid; }

    // A device whose files/ holds the peer's awkward source tree.
    QString device(const QString& ios, const QString& password = {}) {
        const QString udid =
            sim.create(QStringList{QStringLiteral("--ios"), ios} +
                       (password.isEmpty() ? QStringList() : QStringList{QStringLiteral("--encrypt"), password}));
        const QStringList gen{QStringLiteral("gen-src"), files(udid), QStringLiteral("--large"),
                              QStringLiteral("70000")};
        return runPeer(gen).exitCode == 0 ? udid : QString();
    }

    QStringList titles; // the progress titles of the last run()

    // The driver's text of a failed run, empty on success; percentages beside.
    QString run(const QString& udid, backup2tool_op op, const QString& password = {}, QList<int>* percents = nullptr) {
        backup2tool tool(nullptr, udid, QDir(root));
        QList<int> ignored;
        titles.clear();
        connect(
            &tool, &backup2tool::update, this,
            [this, p = percents ? percents : &ignored](double pg, QString title) { *p << int(pg), titles << title; });
        _backup2tool_req req(op);
        req.password = password;
        try {
            tool.runThrow(req);
        } catch (const std::runtime_error& e) {
            return QString::fromUtf8(e.what());
        }
        return QString();
    }
};
