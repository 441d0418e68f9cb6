// simbackup driven by the program's helper driver; its backups read
// by the independent Python peer (vexlar-backup reads the peer's own in
// tst_backupinterop), and peer-written backups restored by it. Its injected
// faults are read through the program: tst_backupworkers and tst_faults.

#include "tests/app/datarows.h"
#include "tests/simbackup/helpersuite.h"

#include <QtTest>

using namespace Qt::StringLiterals;

// The tables of the data-driven cases, and their other fixture data.
static const QString kTables = QStringLiteral(VEXLAR_SOURCE_DIR "/tests/simbackup/tst_simbackup.json");

class SimBackupTest : public HelperSuite {
    Q_OBJECT

private slots:
    void initTestCase() {
        QString why;
        if (!sim.init(&why)) {
            QSKIP(qPrintable(why));
        }
        QVERIFY(useHelper(VEXLAR_SIMBACKUP));
    }

    // Both manifest forms, encrypted or not: the peer reads every record with
    // its data; on two of them a second backup follows.
    void backupReadByPeers_data() { addRowsFrom(kTables, "backupReadByPeers"); }
    void backupReadByPeers() {
        QFETCH(QString, ios);
        QFETCH(QString, password);
        QFETCH(bool, again);
        const QString udid = device(ios, password);
        QVERIFY(!udid.isEmpty());
        QList<int> percents;
        QCOMPARE(run(udid, OP_BACKUP, {}, &percents), QString());
        QVERIFY(percents.size() >= 3 && percents.first() == 0 && percents.last() == 100);
        QVERIFY(std::is_sorted(percents.cbegin(), percents.cend()));
        const QString dir = backupDir(udid);
        QCOMPARE(QFileInfo::exists(dir + u"/Manifest.mbdb"_s), ios.startsWith(u"9"_s));
        QCOMPARE(peerView(dir, password), u"finished\n"_s + treeText(fileTree(files(udid))));

        // A second backup rewrites a file whose content changed at equal size and time (reusing the data files of
        // unchanged ones is the stand-in's own speed-up, not checked).
        if (!again) {
            return;
        }
        const QString changed = u"Library/Sizes/f8192.bin"_s;
        QFile f(files(udid) + u"/HomeDomain/"_s + changed);
        const QDateTime mtime = QFileInfo(f).lastModified();
        QVERIFY(f.open(QIODevice::ReadWrite));
        f.write("same size, other bytes");
        f.flush();
        f.setFileTime(mtime, QFileDevice::FileModificationTime);
        f.close();
        QCOMPARE(run(udid, OP_BACKUP), QString());
        QCOMPARE(peerView(backupDir(udid), password), u"finished\n"_s + treeText(fileTree(files(udid))));
    }

    // Restores of a backup after edits of the backup or the device. A failed
    // restore leaves the device exactly as it was.
    void restore_data() { addRowsFrom(kTables, "restore"); }
    void restore() {
        QFETCH(QString, ios);
        QFETCH(QString, devicePassword);
        QFETCH(QString, password);
        QFETCH(QString, fault);
        QFETCH(QString, edit);
        QFETCH(int, errorCode);
        const QString udid = device(ios, devicePassword);
        QCOMPARE(run(udid, OP_BACKUP), QString());
        QMap<QString, QString> expected = fileTree(files(udid));
        if (!edit.isEmpty()) {
            const QString py = u"import hashlib, plistlib, sqlite3, sys\nb = sys.argv[1]\ndef sql(q):\n"
                               "    c = sqlite3.connect(b + '/Manifest.db')\n    c.execute(q)\n    c.commit()\n"_s;
            QCOMPARE(runProgram(VEXLAR_PYTHON, {u"-c"_s, py + edit, backupDir(udid)}, cleanEnvironment()).exitCode, 0);
            if (errorCode == 0) {
                expected.removeIf([](auto it) { return it.key().startsWith(u"HomeDomain/Library/Sizes/f"_s); });
            }
        }
        // The device moves on after the backup: a restore undoes that, a failed one leaves it.
        QFile::remove(files(udid) + u"/HomeDomain/Library/Notes/empty.txt"_s);
        for (const auto& [name, bytes] :
             {std::pair{"added.txt", "new"}, {"Library/Sizes/f16.bin", "sixteen bytes..."}}) {
            QFile f(files(udid) + u"/HomeDomain/"_s + QString::fromLatin1(name));
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == qint64(qstrlen(bytes)));
        }
        const QMap<QString, QString> moved = fileTree(files(udid));
        for (const QString& kv : fault.split(';', Qt::SkipEmptyParts)) {
            QVERIFY(sim.set(udid, u"Sim.Faults."_s + kv.section('=', 0, 0), kv.section('=', 1)));
        }

        QCOMPARE(run(udid, OP_RESTORE, password),
                 errorCode ? u"error code:%1. "_s.arg(errorCode) + backup2tool::errorText(errorCode, OP_RESTORE)
                           : QString());
        QCOMPARE(treeText(fileTree(files(udid))), treeText(errorCode ? moved : expected));
        QCOMPARE(QDir(sim.deviceDir(udid)).entryList({u".files*"_s}, QDir::AllEntries | QDir::Hidden), QStringList());
        QVERIFY(!QFileInfo::exists(sim.path() + u"/escaped"_s) && !QFileInfo::exists(root + u"/escaped"_s));
    }

    // Backups written by the peer restore onto an empty device as the source tree.
    void restorePeerBackup_data() {
        QTest::addColumn<BackupVariant>("variant");
        for (const auto& [name, v] : backupVariants()) {
            QTest::newRow(name) << v;
        }
    }
    void restorePeerBackup() {
        QFETCH(BackupVariant, variant);
        const QString udid = sim.create({u"--ios"_s, variant.version});
        const QString src = work.filePath(udid);
        QVERIFY(runPeer({u"gen-src"_s, src, u"--large"_s, u"30000"_s}).exitCode == 0);
        QVERIFY(writeBackup(variant, src, backupDir(udid)));
        QCOMPARE(run(udid, OP_RESTORE, variant.password), QString());
        QCOMPARE(treeText(fileTree(files(udid))), treeText(fileTree(src)));
    }
};

QTEST_GUILESS_MAIN(SimBackupTest)
#include "tst_simbackup.moc"
