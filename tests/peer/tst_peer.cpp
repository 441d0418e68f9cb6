// libimobiledevice's own tools, unmodified, against simulated phones of three
// generations: each run must end in the tool's own success, and the phone's
// bytes must come back whole (backups read by the independent Python peer).

#include "backup/backupmanifest.h"
#include "tests/simbackup/helpersuite.h"

using namespace Qt::StringLiterals;

class PeerTest : public HelperSuite {
    Q_OBJECT
    MuxDaemon mux;
    QString tree(const QString& udid) const { return treeText(fileTree(files(udid))); }

    // Our own store's reading of a whole backup (of a copy: unlocking leaves a plain manifest), as tree() lines.
    static QString storeView(const QString& dir, const QString& password = {}) {
        QTemporaryDir copy, out;
        QMap<QString, QString> tree;
        try {
            BackupManifest m(copy.filePath(u"b"_s));
            QProcess::execute(u"cp"_s, {u"-a"_s, dir, copy.filePath(u"b"_s)}); // a failed copy fails the reading
            m.readManifestInfo();
            if (!password.isEmpty() && !m.setPasscodeNoUIThrow(password)) {
                return u"wrong password"_s;
            }
            m.parseInfo();
            for (const MBDBParser::_MBDBItem& it : std::as_const(m.items)) {
                const QString name = QDir::cleanPath(it.domain.toString() + u'/' + it.relativePath.toString());
                if (it.isFolder() || (it.mode & 0xF000) == 0xA000) {
                    tree[name] = it.isFolder() ? u"d"_s : u"l "_s + it.linkTarget.toString();
                } else if (name != u"MediaDomain/Media/com.apple.itunes.lock_sync"_s) { // as fileTree() leaves out
                    m.copyItemThrow(it, out.filePath(u"f"_s), nullptr, nullptr);
                    tree[name] = fileTree(out.path()).value(u"f"_s);
                }
            }
        } catch (const std::exception& e) {
            return QString::fromUtf8(e.what());
        }
        return treeText(tree);
    }

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
               // The daemon's own pairing on arrival first: a tool pairing at the same time would leave the phone
               // a host record other than the one the daemon keeps.
               QTest::qWaitFor([&] { return QFileInfo::exists(mux.pairRecord(udid)); }, 30000) &&
               !tool(u"idevicepair"_s, {u"pair"_s}).isEmpty();
    }
    bool backup2(const QString& command, const QString& success, const QStringList& options = {}) {
        return !tool(u"idevicebackup2"_s, QStringList{command} + options + QStringList{root}, success).isEmpty();
    }
    bool restoredByTool(const QStringList& password = {}) {
        return backup2(u"restore"_s, u"Restore Successful."_s,
                       QStringList{u"--system"_s, u"--settings"_s, u"--remove"_s} + password);
    }

private slots:
    void initTestCase() {
        for (const char* name : {"idevice_id", "idevicepair", "ideviceinfo", "idevicename", "idevicebackup2",
                                 "idevicenotificationproxy", "ideviceinstaller"}) {
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
        QTest::addColumn<QString>("password"); // the tool turns encryption on with it first
        QTest::newRow("iOS 9, Manifest.mbdb") << u"9.3.5"_s << QString();
        QTest::newRow("iOS 14") << u"14.4"_s << QString();
        QTest::newRow("iOS 16.4") << u"16.4"_s << QString();
        QTest::newRow("iOS 9, Manifest.mbdb, encrypted") << u"9.3.5"_s << u"pässwört 9"_s;
        QTest::newRow("iOS 16.4, encrypted") << u"16.4"_s << u"pw 16"_s;
    }
    void tools() {
        QFETCH(QString, ios);
        QFETCH(QString, password);
        const QString udid = sim.create({u"--ios"_s, ios, u"--name"_s, u"Peer Phone"_s, u"--store-apps"_s});
        const auto unplugged = qScopeGuard([&] { sim.unplug(udid); }); // the tools take the one phone plugged
        // From iOS 16.1 a phone with a passcode is silent before a backup until its user enters it.
        QVERIFY(sim.set(udid, u"Sim.PasscodePromptMs"_s, u"3000"_s));
        const QString note = files(udid) + u"/HomeDomain/Library/Notes/"_s;
        QVERIFY(runPeer({u"gen-src"_s, files(udid), u"--large"_s, u"70000"_s}).exitCode == 0 && plugged(udid));
        QVERIFY(!tool(u"idevicepair"_s, {u"validate"_s}).isEmpty());
        QCOMPARE(tool(u"ideviceinfo"_s, {u"-k"_s, u"ProductVersion"_s}, ios), ios);
        QVERIFY(!tool(u"ideviceinfo"_s, {u"-q"_s, u"com.apple.disk_usage"_s}, u"TotalDataCapacity"_s).isEmpty());
        QCOMPARE(tool(u"idevicename"_s, {}, u"Peer"_s), u"Peer Phone"_s);
        QVERIFY(password.isEmpty() || backup2(u"encryption"_s, u"enabled successfully"_s, {u"on"_s, password}));

        // Full, then incremental (the phone starts from the host's Status.plist and manifest).
        const QString phone = tree(udid);
        for (const QStringList& full : {QStringList{u"--full"_s}, QStringList{}}) {
            QVERIFY(backup2(u"backup"_s, u"Backup Successful."_s, full));
            QCOMPARE(peerView(backupDir(udid), password), u"finished\n"_s + phone);
            QCOMPARE(storeView(backupDir(udid), password), phone);
        }
        // Restores undo what changed on the phone since, byte for byte: the tool's backup restored by
        // vexlar-mb2helper, then vexlar-mb2helper's backup by the tool.
        const auto changePhone = [&] {
            return QFile::remove(note + u"empty.txt"_s) && QFile::copy(note + u"tab\there.txt"_s, note + u"new.txt"_s);
        };
        QVERIFY(changePhone() && run(udid, OP_RESTORE, password).isEmpty());
        QCOMPARE(tree(udid), phone);
        QVERIFY(run(udid, OP_BACKUP).isEmpty() && !QFileInfo::exists(backupDir(udid) + u"/Snapshot"_s));
        QCOMPARE(peerView(backupDir(udid), password), u"finished\n"_s + phone);
        QCOMPARE(storeView(backupDir(udid), password), phone);
        QVERIFY(changePhone() && restoredByTool(passwordArgs(password)));
        QCOMPARE(tree(udid), phone);

        for (const QString& state : {u"on"_s, u"off"_s}) { // the phone's own setting, read back through lockdown
            QVERIFY(backup2(u"cloud"_s, u"successfully"_s, {state}));
            const QStringList key{u"-q"_s, u"com.apple.mobile.backup"_s, u"-k"_s, u"CloudBackupEnabled"_s};
            QCOMPARE(tool(u"ideviceinfo"_s, key, {}), state == u"on"_s ? u"true"_s : u"false"_s);
        }
        // The phone's own backup password, as the tool turns it on and off, read back through lockdown.
        const QStringList willEncrypt{u"-q"_s, u"com.apple.mobile.backup"_s, u"-k"_s, u"WillEncrypt"_s};
        for (const QString& state : password.isEmpty() ? QStringList{u"on"_s, u"off"_s} : QStringList{u"off"_s}) {
            const QString done = state == u"on"_s ? u"enabled successfully"_s : u"disabled successfully"_s;
            QVERIFY(backup2(u"encryption"_s, done, {state, password.isEmpty() ? u"pw 1"_s : password}));
            QCOMPARE(tool(u"ideviceinfo"_s, willEncrypt, {}), state == u"on"_s ? u"true"_s : u"false"_s);
        }
        const QStringList post{u"post"_s, u"com.apple.itunes-mobdev.syncWillStart"_s};
        QCOMPARE(runProgram(u"idevicenotificationproxy"_s, post, cleanEnvironment()).exitCode, 0);
        // A notification the phone posts reaches the tool observing it (through stdbuf: each line at once).
        const QString installed = u"com.apple.mobile.application_installed"_s;
        QProcess observer;
        observer.start(u"stdbuf"_s, {u"-oL"_s, u"idevicenotificationproxy"_s, u"observe"_s, installed});
        QVERIFY(observer.waitForStarted() && sim.tool({u"notify"_s, u"--udid"_s, udid, installed}));
        QTRY_VERIFY_WITH_TIMEOUT(observer.peek(4096).contains("> " + installed.toUtf8()), 10000);
        observer.close(); // ends it and waits
        QVERIFY(!tool(u"idevicepair"_s, {u"unpair"_s}).isEmpty());
    }

    // Every lockdown value the program reads, as ideviceinfo reads it, is the simulated phone's own.
    void lockdownValues_data() { tools_data(); }
    void lockdownValues() {
        QFETCH(QString, ios);
        const QString udid = sim.create({u"--ios"_s, ios, u"--icloud"_s, u"--preset"_s, u"demo"_s});
        const auto unplugged = qScopeGuard([&] { sim.unplug(udid); });
        QVERIFY(plugged(udid));
        const CFType held = CFType::createCFPropertyListFromFile(sim.deviceDir(udid) + u"/device.plist"_s);
        for (const QString& path :
             {u"/UniqueDeviceID"_s, u"/DeviceName"_s, u"/MobileSubscriberCountryCode"_s, u"/ProductVersion"_s,
              u"/ProductType"_s, u"com.apple.disk_usage/TotalDataCapacity"_s,
              u"com.apple.mobile.backup/CloudBackupEnabled"_s, u"com.apple.mobile.backup/WillEncrypt"_s}) {
            const QString domain = path.section(u'/', 0, 0), key = path.section(u'/', 1);
            const QStringList query = domain.isEmpty() ? QStringList{} : QStringList{u"-q"_s, domain};
            const CFType read = CFType::createCFPropertyList( // -x: the value as an XML plist
                tool(u"ideviceinfo"_s, QStringList{u"-x"_s, u"-k"_s, key} + query, {}).toUtf8());
            const QByteArray expected = held.get(u"Lockdown"_s).get(domain).get(key).CFPropertyListToBytes(100);
            QVERIFY2(!expected.isEmpty() && read.CFPropertyListToBytes(100) == expected, qPrintable(path));
        }
        // ideviceinstaller lists every app of the phone: "id, version, name" lines after a header.
        const QString list = tool(u"ideviceinstaller"_s, {u"-l"_s, u"-o"_s, u"list_all"_s}, u"CFBundleIdentifier"_s);
        QStringList installed{u"CFBundleIdentifier"_s};
        const CFType apps = CFType::createCFPropertyListFromFile(sim.deviceDir(udid) + u"/apps.plist"_s);
        for (int i = 0; i < apps.array_size(); ++i) {
            installed << apps.at(i).get(u"CFBundleIdentifier"_s).CFStringQString();
        }
        QCOMPARE(list.split(u'\n').replaceInStrings(QRegularExpression(u",.*"_s), QString()), installed);
    }

    // The road without the GUI: idevicebackup2 backs up, vexlar-backup cleans every category, idevicebackup2
    // restores; the phone then holds exactly what the cleaned backup holds.
    void cleanedBackupRestored() {
        const QString udid = sim.create({u"--ios"_s, u"14.4"_s, u"--preset"_s, u"demo"_s});
        const auto unplugged = qScopeGuard([&] { sim.unplug(udid); });
        const QString before = u"finished\n"_s + tree(udid);
        QVERIFY(plugged(udid) && backup2(u"backup"_s, u"Backup Successful."_s, {u"--full"_s}));
        const QStringList clean{u"clean"_s,      backupDir(udid), u"--cache"_s, u"--junk"_s,
                                u"--messages"_s, u"--safari"_s,   u"--calls"_s};
        QCOMPARE(runProgram(u"" VEXLAR_BACKUP_CLI ""_s, clean, cleanEnvironment()).exitCode, 0);
        const QString cleaned = peerView(backupDir(udid));
        QVERIFY(cleaned.startsWith(u"finished\n"_s) && cleaned != before && restoredByTool());
        QCOMPARE(u"finished\n"_s + tree(udid), cleaned);
    }
};

QTEST_GUILESS_MAIN(PeerTest)
#include "tst_peer.moc"
