// libimobiledevice's own tools, unmodified, against simulated phones of three
// generations: each run must end in the tool's own success, and the phone's
// bytes must come back whole (backups read by the independent Python peer).

#include "tests/simbackup/helpersuite.h"

using namespace Qt::StringLiterals;

class PeerTest : public HelperSuite {
    Q_OBJECT
    MuxDaemon mux;

    // The tool's output when it exits 0 and prints `success`, else empty (and the output logged).
    static QString tool(const QString& name, const QStringList& args, const QString& success = u"SUCCESS"_s) {
        const PeerResult r = runProgram(name, args, cleanEnvironment());
        const QString out = QString::fromUtf8(r.out + r.err);
        const bool ok = r.exitCode == 0 && out.contains(success);
        if (!ok) {
            qWarning("%s %s:\n%s", qPrintable(name), qPrintable(args.join(' ')), qPrintable(out.right(3000)));
        }
        return ok ? out.trimmed() : QString();
    }

    // The phone plugged in alone (usbmuxd has dropped the last one), trusted and paired.
    bool plugged(const QString& udid) {
        return sim.set(udid, u"Sim.TrustAccepted"_s, u"accepted"_s) &&
               QTest::qWaitFor([&] { return tool(u"idevice_id"_s, {u"-l"_s}, udid) == udid; }, 10000) &&
               !tool(u"idevicepair"_s, {u"pair"_s}).isEmpty();
    }

private slots:
    void initTestCase() {
        for (const char* name : {"idevice_id", "idevicepair", "ideviceinfo", "idevicename", "idevicebackup2",
                                 "idevicenotificationproxy"}) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(name)).isEmpty()) {
                QSKIP(qPrintable(u"%1 is not installed (Debian: libimobiledevice-utils)"_s.arg(name)));
            }
        }
        QString why;
        QVERIFY2(mux.start(sim.path(), &why) && sim.init(&why), qPrintable(why));
        QVERIFY(useHelper(VEXLAR_MB2HELPER));
    }

    void tools_data() {
        QTest::addColumn<QString>("ios");
        QTest::newRow("iOS 9, Manifest.mbdb") << u"9.3.5"_s;
        QTest::newRow("iOS 14") << u"14.4"_s;
        QTest::newRow("iOS 16.4") << u"16.4"_s;
    }
    void tools() {
        QFETCH(QString, ios);
        const QString udid = sim.create({u"--ios"_s, ios, u"--name"_s, u"Peer Phone"_s, u"--store-apps"_s});
        const auto unplugged = qScopeGuard([&] { sim.unplug(udid); }); // the tools take the one phone plugged
        const QString files = sim.deviceDir(udid) + u"/files"_s;
        QVERIFY(runPeer({u"gen-src"_s, files, u"--large"_s, u"70000"_s}).exitCode == 0 && plugged(udid));
        QVERIFY(!tool(u"idevicepair"_s, {u"validate"_s}).isEmpty());
        QCOMPARE(tool(u"ideviceinfo"_s, {u"-k"_s, u"ProductVersion"_s}, ios), ios);
        QVERIFY(!tool(u"ideviceinfo"_s, {u"-q"_s, u"com.apple.disk_usage"_s}, u"TotalDataCapacity"_s).isEmpty());
        QCOMPARE(tool(u"idevicename"_s, {}, u"Peer"_s), u"Peer Phone"_s);

        // Full, then incremental (the phone starts from the host's Status.plist and manifest).
        const QString backups = work.filePath(udid), phone = treeText(fileTree(files));
        for (const QStringList& backup : {QStringList{u"backup"_s, u"--full"_s, backups}, {u"backup"_s, backups}}) {
            QVERIFY(QDir().mkpath(backups) && !tool(u"idevicebackup2"_s, backup, u"Backup Successful."_s).isEmpty());
            QCOMPARE(peerView(backups + '/' + udid), u"finished\n"_s + phone);
        }
        // The restore undoes what changed on the phone since, byte for byte.
        QVERIFY(QFile::remove(files + u"/HomeDomain/Library/Notes/empty.txt"_s) &&
                QFile::copy(files + u"/HomeDomain/Library/Notes/tab\there.txt"_s, files + u"/HomeDomain/added.txt"_s));
        const QStringList restore{u"restore"_s, u"--system"_s, u"--settings"_s, u"--remove"_s, backups};
        QVERIFY(!tool(u"idevicebackup2"_s, restore, u"Restore Successful."_s).isEmpty());
        QCOMPARE(treeText(fileTree(files)), phone);
        for (const QString& state : {u"on"_s, u"off"_s}) { // the phone's own setting, read back through lockdown
            QVERIFY(!tool(u"idevicebackup2"_s, {u"cloud"_s, state, backups}, u"successfully"_s).isEmpty());
            QCOMPARE(
                tool(u"ideviceinfo"_s, {u"-q"_s, u"com.apple.mobile.backup"_s, u"-k"_s, u"CloudBackupEnabled"_s}, {}),
                state == u"on"_s ? u"true"_s : u"false"_s);
        }
        const QStringList post{u"post"_s, u"com.apple.itunes-mobdev.syncWillStart"_s};
        QCOMPARE(runProgram(u"idevicenotificationproxy"_s, post, cleanEnvironment()).exitCode, 0);
        QVERIFY(!tool(u"idevicepair"_s, {u"unpair"_s}).isEmpty());
    }

    // The road without the GUI: idevicebackup2 backs up, vexlar-backup cleans every category, idevicebackup2
    // restores; the phone then holds exactly what the cleaned backup holds.
    void cleanedBackupRestored() {
        const QString udid = sim.create({u"--ios"_s, u"14.4"_s, u"--preset"_s, u"demo"_s});
        const auto unplugged = qScopeGuard([&] { sim.unplug(udid); });
        const QString files = sim.deviceDir(udid) + u"/files"_s, backups = work.filePath(udid);
        const QString before = u"finished\n"_s + treeText(fileTree(files)), dir = backups + '/' + udid;
        QVERIFY(plugged(udid) && QDir().mkpath(backups));
        QVERIFY(!tool(u"idevicebackup2"_s, {u"backup"_s, u"--full"_s, backups}, u"Backup Successful."_s).isEmpty());
        const QStringList clean{u"clean"_s,      dir,           u"--cache"_s, u"--junk"_s,
                                u"--messages"_s, u"--safari"_s, u"--calls"_s};
        QCOMPARE(runProgram(u"" VEXLAR_BACKUP_CLI ""_s, clean, cleanEnvironment()).exitCode, 0);
        const QString cleaned = peerView(dir);
        QVERIFY(cleaned.startsWith(u"finished\n"_s) && cleaned != before);
        const QStringList restore{u"restore"_s, u"--system"_s, u"--settings"_s, u"--remove"_s, backups};
        QVERIFY(!tool(u"idevicebackup2"_s, restore, u"Restore Successful."_s).isEmpty());
        QCOMPARE(u"finished\n"_s + treeText(fileTree(files)), cleaned);
    }

    // Each restores the other's backup: vexlar-mb2helper's by idevicebackup2, idevicebackup2's by vexlar-mb2helper.
    void helperAndToolRestoreEachOther() {
        const QString udid = device(u"14.4"_s);
        const auto unplugged = qScopeGuard([&] { sim.unplug(udid); });
        const QString phone = treeText(fileTree(files(udid))), note = files(udid) + u"/HomeDomain/Library/Notes/"_s;
        const auto changePhone = [&] {
            return QFile::remove(note + u"empty.txt"_s) && QFile::copy(note + u"tab\there.txt"_s, note + u"new.txt"_s);
        };
        QVERIFY(plugged(udid) && run(udid, OP_BACKUP).isEmpty() && changePhone());
        const QStringList restore{u"restore"_s, u"--system"_s, u"--settings"_s, u"--remove"_s, root};
        QVERIFY(!tool(u"idevicebackup2"_s, restore, u"Restore Successful."_s).isEmpty());
        QCOMPARE(treeText(fileTree(files(udid))), phone);
        QVERIFY(QDir(backupDir(udid)).removeRecursively());
        QVERIFY(!tool(u"idevicebackup2"_s, {u"backup"_s, u"--full"_s, root}, u"Backup Successful."_s).isEmpty());
        QVERIFY(changePhone() && run(udid, OP_RESTORE).isEmpty());
        QCOMPARE(treeText(fileTree(files(udid))), phone);
    }
};

QTEST_GUILESS_MAIN(PeerTest)
#include "tst_peer.moc"
