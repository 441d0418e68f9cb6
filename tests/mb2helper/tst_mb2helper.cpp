// vexlar-mb2helper as the program runs it (backup2tool) against the simulated
// device's own mobilebackup2: backups read by the independent Python peer,
// restores after cleaning, the device's errors as the user reads them, hostile
// paths and an unplugged device.

#include "mb2helper/transfer.h"
#include "tests/app/datarows.h"
#include "tests/simbackup/helpersuite.h"

#include <QDirIterator>
#include <QtTest>
#include <sys/file.h>

using namespace Qt::StringLiterals;

static const QString kTables = QStringLiteral(VEXLAR_SOURCE_DIR "/tests/mb2helper/tst_mb2helper.json");

class Mb2HelperTest : public HelperSuite {
    Q_OBJECT

    QFile syncLock; // held as another host would

    QString tree(const QString& udid) const { return treeText(fileTree(files(udid))); }
    QString peerView(const QString& udid, const QString& password = {}) {
        return ::peerView(backupDir(udid), password);
    }

private slots:
    void initTestCase() {
        QString why;
        if (!sim.init(&why)) {
            QSKIP(qPrintable(why));
        }
        QVERIFY(useHelper(VEXLAR_MB2HELPER));
    }

    // Backup read by the peer as the device's files, byte for byte; then
    // records dropped from the manifest (the cleaning) and the restore makes
    // the device match, undoing what changed on it since.
    void backupCleanRestore_data() { addRowsFrom(kTables, "backupCleanRestore"); }
    void backupCleanRestore() {
        QFETCH(QString, ios);
        QFETCH(QString, password);
        QFETCH(int, passcodeMs);
        const QString udid = device(ios, password), bystander = sim.create();
        QVERIFY(!udid.isEmpty() && sim.set(udid, u"Sim.PasscodePromptMs"_s, QString::number(passcodeMs)));
        QList<int> percents;
        QCOMPARE(run(udid, OP_BACKUP, {}, &percents), QString());
        // Told at once and reminded while the phone is silent (the helper's wait has no limit).
        QCOMPARE(titles.filter(u"enter its passcode"_s).size() >= 2, passcodeMs > 0);
        // Finding its device, the helper asked no other phone to trust this computer.
        const CFType other = CFType::createCFPropertyListFromFile(sim.deviceDir(bystander) + u"/device.plist"_s);
        QVERIFY(!other.get(u"Sim"_s).get(u"Paired"_s).CFNumberBool(false));
        const QDir hosts(sim.deviceDir(bystander) + u"/lockdown"_s, u"*.plist"_s);
        for (const QString& host : hosts.entryList()) {
            QCOMPARE(CFType::createCFPropertyListFromFile(hosts.filePath(host)).get(u"Label"_s).CFStringQString(),
                     u"usbmuxd"_s);
        }
        QVERIFY(sim.unplug(bystander));
        QVERIFY(percents.size() >= 2 && percents.last() == 100);
        QCOMPARE(peerView(udid, password), u"finished\n"_s + tree(udid));

        // A second backup over the first drops what the device no longer has.
        QVERIFY(QFile::remove(files(udid) + u"/HomeDomain/Library/Notes/empty.txt"_s));
        QCOMPARE(run(udid, OP_BACKUP), QString());
        QCOMPARE(peerView(udid, password), u"finished\n"_s + tree(udid));

        QMap<QString, QString> expected = fileTree(files(udid));
        if (ios.startsWith(u"14"_s) && password.isEmpty()) {
            const QString sql =
                u"import sqlite3,sys; d=sqlite3.connect(sys.argv[1]); d.execute(\"delete from Files where "
                "relativePath like 'Library/Sizes/f%'\"); d.commit()"_s;
            const QString db = root + '/' + udid + u"/Manifest.db"_s;
            QCOMPARE(runProgram(VEXLAR_PYTHON, {u"-c"_s, sql, db}, cleanEnvironment()).exitCode, 0);
            expected.removeIf([](auto it) { return it.key().startsWith(u"HomeDomain/Library/Sizes/f"_s); });
        }
        QFile added(files(udid) + u"/HomeDomain/added.txt"_s);
        QVERIFY(added.open(QIODevice::WriteOnly) && added.write("new") == 3);
        added.close();
        QCOMPARE(run(udid, OP_RESTORE, password), QString());
        QCOMPARE(tree(udid), treeText(expected));
        // Restarted, so that no app writes its open database back over the restore.
        const CFType state = CFType::createCFPropertyListFromFile(sim.deviceDir(udid) + u"/device.plist"_s);
        QCOMPARE(state.get(u"Sim"_s).get(u"Reboots"_s).CFNumberInt64(0), 1);
    }

    // What the user reads when the device or the link fails; the device's
    // files stay as they were and nothing lands outside the backup root. (The
    // device's own codes, one per driver text, run in tst_backupworkers_imd.)
    void errors_data() { addRowsFrom(kTables, "errors"); }
    void errors() {
        QFETCH(QString, fault);
        QFETCH(bool, restore);
        QFETCH(int, code);
        QFETCH(QString, said);
        if (SimStore::onImd() && fault.startsWith(u"StartService."_s)) {
            QSKIP("a framework-level refusal only libsimdevice.so injects; tst_imd covers lockdown's refusals");
        }
        const bool encrypted = fault == u"!password"_s;
        const QString udid = device(u"14.4"_s, encrypted ? u"pw"_s : QString());
        QCOMPARE(run(udid, OP_BACKUP), QString());
        for (const QString& kv : fault.split(';')) {
            if (kv == u"!unplug"_s) {
                QVERIFY(sim.unplug(udid));
                QTest::qWait(1000); // simusbmuxd notices within its 250 ms poll, a real usbmuxd at once
            } else if (kv == u"!synclock"_s) {
                syncLock.setFileName(files(udid) + u"/MediaDomain/Media/com.apple.itunes.lock_sync"_s);
                QVERIFY(syncLock.open(QIODevice::ReadWrite) && ::flock(syncLock.handle(), LOCK_EX) == 0);
            } else if (!kv.startsWith('!')) {
                QVERIFY(sim.set(udid, u"Sim.Faults."_s + kv.section('=', 0, 0), kv.section('=', 1)));
            }
        }
        const QString before = tree(udid);
        const backup2tool_op op = restore ? OP_RESTORE : OP_BACKUP;
        QCOMPARE(run(udid, op, encrypted ? u"wrong"_s : QString()),
                 (code ? u"error code:%1. "_s.arg(code) + backup2tool::errorText(code, op) : QString()) +
                     (said.isEmpty() ? QString() : u"<br/>The device said: "_s + said));
        QCOMPARE(tree(udid), before);
        if (code == 0) {
            QCOMPARE(peerView(udid), u"finished\n"_s + before);
        }
        QVERIFY(!QFileInfo::exists(work.filePath(u"escaped"_s)) && !QFileInfo::exists(u"/tmp/mb2-escaped"_s));
        QDirIterator partial(root, {u"*.mb2tmp"_s}, QDir::Files, QDirIterator::Subdirectories);
        QVERIFY(!partial.hasNext());
        if (!restore && code != -2 && code != -19 && code != 0) { // a failed backup never looks finished
            QVERIFY(!QFileInfo::exists(root + '/' + udid + u"/Status.plist"_s));
        }
        syncLock.close();
    }

    // Paths a device names stay below the backup root.
    void resolveUnder_data() { addRowsFrom(kTables, "resolveUnder"); }
    void resolveUnder() {
        QFETCH(QString, path);
        QFETCH(bool, allowed);
        const QString base = work.filePath(u"resolve"_s);
        QDir().mkpath(base + u"/udid"_s);
        QFile::link(u"/tmp"_s, base + u"/udid/link"_s);
        QCOMPARE(!mb2::resolveUnder(base, u"udid"_s, path).isEmpty(), allowed);
    }

    // A copy the device asks for never lands in its own source nor replaces a folder holding it.
    void copyOverlaps_data() { addRowsFrom(kTables, "copyOverlaps"); }
    void copyOverlaps() {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(bool, refused);
        QCOMPARE(mb2::copyOverlaps(from, to), refused);
    }
};

QTEST_GUILESS_MAIN(Mb2HelperTest)
#include "tst_mb2helper.moc"
