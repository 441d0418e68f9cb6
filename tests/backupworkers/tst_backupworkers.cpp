// The backup and restore workers and their helper driver against the real
// helper stand-in (simbackup) on a simulated device: every error the helper
// can report, reuse of an earlier backup, cancel, and what each run leaves
// behind (descriptors, Info.plist, half backups). Python's plistlib edits the
// backups the reuse rules judge.

#include "app/errreport.h"
#include "cleaners/iosmobilebackupthread.h"
#include "cleaners/iosmobilerestorethread.h"
#include "services/backup2tool.h"
#include "tests/device/simfixture.h"

#include <QMutex>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

const QString kNote = u"<br/><br/>Note: You can restart your device to try again."_s;

// Helper fault key and value, operation, then the text the user reads up to the closing note.
// clang-format off
const char* const kHelperErrors =
    "errorCode -38 backup Failed to connect your iPhone. Please try the following solutions: <br/><br/>A:<br/>Step 1) Restart your iPhone.\n"
    "errorCode -37 restore error code:-37. Please follow <a href=\"http://%1/disable_find_my_iphone.php\">this tutorial</a> to disable \"Find my iPhone\" first and then restart your iPhone to try again.\n"
    "errorCode -36 backup error code:-36. Insufficient free disk space on drive to back up. Not enough free disk space on your computer.\n"
    "errorCode -36 restore error code:-36. Insufficient free disk space on device to back up. Not enough free disk space on your Device.\n"
    "errorCode -35 backup error code:-35. Could not connect to device because it's locked. Please restart your iPhone to try again.\n"
    "errorCode -30 restore error code:-30. 104 Multiple errors uploading files. Please restart your iPhone to try again.\n"
    "errorCode -21 backup error code:-21. ERROR: Backup cancelled (MBErrorDomain/202), Pleae restart Quorvindale software to try again.\n"
    "errorCode -20 backup error code:-20. 205 Error creating backup directory. Please click \"Tools\"-&gt;\"Clear cache files\" on Quorvindale software and then restart your iPhone and computer to try again.\n"
    "errorCode -20 restore error code:-20. Restore message response: 205 Digest didn't match for some files, Please click \"Tools\"-&gt;\"Clear cache files\" on Quorvindale software and then restart your iPhone and computer to try again.\n"
    "errorCode -19 backup error code:-19. Please go to iTunes to disable \"Automatically sync when this iPhone connected\". Then reconnect your iPhone to try again.\n"
    "UnplugAfterBytes 1 backup error code:-10. Error attaching to device. Please Keep your iPhone connected and active.\n"
    "errorCode -2 restore error code:-2. Connecting to device failed: Unknown error. Please restart your iPhone to try again.\n"
    "errorCode -1 backup error code:-1. Please turn off Passcode on iPhone to try again.\n"
    "errorCode -3 restore error code:-3. Please restart your iPhone to try again.\n"
    "HelperDiesAfterBytes 0 backup The backup helper ended unexpectedly. Please restart your iPhone to try again.";
// clang-format on

// Thread-safe: the cancel case reads it while the worker runs.
class Reporter final : public ProgressReporter {
public:
    void invokeUpdateProgress(const QString& status, int, const QString& text) override {
        add(updates, status + u'|' + text);
    }
    void invokeErrorOccurred(const QString& err) override { add(errors, err); }
    void invokeSucceed(const QString& tips) override { add(successes, tips); }
    void invokeTipsWait(const QString&) override {}
    void add(QStringList& list, const QString& text) {
        QMutexLocker lock(&m);
        list.append(text);
    }
    int count(const QString& update) {
        QMutexLocker lock(&m);
        return int(updates.count(update));
    }
    QMutex m;
    QStringList updates, errors, successes;
};

int openDescriptors(const QString& pid = u"self"_s) {
    return int(
        QDir(u"/proc/%1/fd"_s.arg(pid)).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}
// Our child processes, zombies included.
QStringList childProcesses() {
    QStringList out;
    for (const QString& pid : QDir(u"/proc"_s).entryList({u"[0-9]*"_s}, QDir::Dirs)) {
        QFile stat(u"/proc/%1/stat"_s.arg(pid));
        if (stat.open(QIODevice::ReadOnly) &&
            stat.readAll().split(')').value(1).split(' ').value(2).toLongLong() == QCoreApplication::applicationPid()) {
            out << pid;
        }
    }
    return out;
}

} // namespace

class TestBackupWorkers : public QObject {
    Q_OBJECT

    SimStore m_sim;
    IOSDevice m_device;
    QTemporaryDir m_restoreRoot{QDir::homePath() + u"/restore-XXXXXX"_s}; // a finished backup for the restore rows

    QString backupDir() const { return iosbackup_temp_dir().filePath(m_device.udid); }

    // Runs the worker to its end; the descriptors open before are all that is open after.
    void run(QThread& worker) {
        const int before = openDescriptors();
        worker.start();
        QVERIFY(worker.wait(120000));
        QCOMPARE(openDescriptors(), before);
        QCOMPARE(childProcesses(), QStringList());
    }
    bool backup(Reporter& r) {
        IOSMobileBackupThread worker(false, m_device, r);
        run(worker);
        return r.errors.isEmpty() && r.successes == QStringList{QString()};
    }
    // Sets the value at a dotted key path with plistlib.
    static bool setPlistValue(const QString& file, const QString& keyPath, const QString& value) {
        return QProcess::execute(QStringLiteral(VEXLAR_PYTHON),
                                 {u"-c"_s,
                                  u"import plistlib,sys\nf,k,v=sys.argv[1:]\nd=plistlib.load(open(f,'rb'))\n"
                                  "n=d\nfor x in k.split('.')[:-1]: n=n[x]\nn[k.split('.')[-1]]=v\n"
                                  "plistlib.dump(d,open(f,'wb'))"_s,
                                  file, keyPath, value}) == 0;
    }

private slots:
    void initTestCase() {
        QString why;
        QVERIFY2(m_sim.init(&why), qPrintable(why));
        qputenv("VEXLAR_BACKUP_HELPER", VEXLAR_SIMBACKUP);
        m_device.udid = m_sim.create({u"--ios"_s, u"14.4"_s, u"--preset"_s, u"demo"_s});
        m_device.productVersion = u"14.4"_s;
        QVERIFY(!m_device.udid.isEmpty());
        Reporter r;
        QVERIFY(backup(r));
        QVERIFY(QDir(backupDir()).rename(backupDir(), m_restoreRoot.filePath(m_device.udid)));
    }

    void cleanup() {
        QVERIFY(m_sim.set(m_device.udid, u"Sim.Faults"_s, u"null"_s));
        QVERIFY(m_sim.plug(m_device.udid));
    }

    void helperErrorsReachTheUser_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("restore");
        QTest::addColumn<QString>("message");
        for (const QString& line : QString::fromUtf8(kHelperErrors).split(u'\n')) {
            const QStringList f = line.split(u' ');
            QTest::addRow("%s %s %s", qPrintable(f[0]), qPrintable(f[1]), qPrintable(f[2]))
                << f[0] << f[1] << (f[2] == u"restore"_s) << f.mid(3).join(u' ').replace(u"%1"_s, webHost());
        }
    }

    void helperErrorsReachTheUser() {
        QFETCH(QString, fault);
        QFETCH(QString, value);
        QFETCH(bool, restore);
        QFETCH(QString, message);
        QVERIFY(m_sim.set(m_device.udid, u"Sim.Faults."_s + fault, value));
        Reporter r;
        if (restore) {
            IOSMobileRestoreThread worker(false, m_device, QDir(m_restoreRoot.path()), r);
            run(worker);
            // Info.plist is back under its own name and nothing was left aside.
            const QDir dir(m_restoreRoot.filePath(m_device.udid));
            QCOMPARE(dir.entryList({u"Info.plist*"_s}, QDir::Files), QStringList{u"Info.plist"_s});
        } else {
            IOSMobileBackupThread worker(false, m_device, r);
            run(worker);
            QVERIFY2(!QFileInfo::exists(backupDir()), "a failed backup leaves no folder");
        }
        QCOMPARE(r.errors.size(), 1);
        QVERIFY2(r.errors.first().startsWith(message), qPrintable(r.errors.first()));
        QVERIFY(r.errors.first().endsWith(kNote));
        QVERIFY(r.successes.isEmpty());
    }

    void failureMessages_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("restore");
        QTest::addColumn<QString>("message");
        const QString space = u"Insufficient free disk space on device to restore (1024 bytes of %1)"_s;
        const QString need = u" GB free disk space on your device is required restore data.  Please remove some "
                             "camera roll videos from your device to computer to free up disk space first and then "
                             "try again."_s;
        QTest::newRow("5 GiB") << space.arg(5ll << 30) << true << u"5"_s + need;
        QTest::newRow("1.5 GiB") << space.arg(3ll << 29) << true << u"2"_s + need;
        QTest::newRow("12 GiB") << space.toUpper().arg(12ll << 30) << true << u"1e+01"_s + need;
        QTest::newRow("space, backup") << space.arg(5ll << 30) << false << space.arg(5ll << 30);
        QTest::newRow("find my iphone")
            << u"x: find my iphone must be disabled"_s << true
            << u"Please follow <a href=\"http://%1/disable_find_my_iphone.php\"> this tutorial</a> to disable \"Find my iPhone\" first and then restart your iPhone to try again.<br/><br/>"_s
                   .arg(webHost());
    }

    void failureMessages() {
        QFETCH(QString, text);
        QFETCH(bool, restore);
        QFETCH(QString, message);
        const QString shown = iosbackup_failure_message(text, restore, false);
        QVERIFY2(shown.startsWith(message) && shown.endsWith(kNote), qPrintable(shown));
    }

    void reuseRules_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("kept");
        QTest::newRow("finished, same iOS") << QString() << QString() << QString() << true;
        QTest::newRow("unfinished") << u"Status.plist"_s << u"SnapshotState"_s << u"uploading"_s << false;
        QTest::newRow("other iOS") << u"Manifest.plist"_s << u"Lockdown.ProductVersion"_s << u"14.3"_s << false;
        QTest::newRow("no Manifest.plist") << u"Manifest.plist"_s << QString() << QString() << false;
    }

    void reuseRules() {
        QFETCH(QString, file);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(bool, kept);
        Reporter first;
        QVERIFY(backup(first));
        const QString path = QDir(backupDir()).filePath(file);
        QVERIFY(file.isEmpty() || (key.isEmpty() ? QFile::remove(path) : setPlistValue(path, key, value)));
        QFile sentinel(backupDir() + u"/sentinel"_s);
        QVERIFY(sentinel.open(QIODevice::WriteOnly));
        sentinel.close();
        Reporter second;
        QVERIFY(backup(second));
        QCOMPARE(sentinel.exists(), kept);
        QVERIFY(IOSMobileBackupThread::isReusableBackup(backupDir(), m_device.productVersion));
    }

    void cancelEndsTheRunAtOnce_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("value");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<QString>("seen"); // twice before the cancel
        const QString invalid = u"Invalid Response|Invalid Response"_s;
        QTest::newRow("silent, short time-out") << u"HelperSilent"_s << u"true"_s << 200 << invalid;
        QTest::newRow("silent") << u"HelperSilent"_s << u"true"_s << 60000 << u"Loading data from Device...|"_s;
        QTest::newRow("mid-transfer") << u"TransferDelayMs"_s << u"200"_s << 60000 << u"|"_s;
    }

    void cancelEndsTheRunAtOnce() {
        QFETCH(QString, fault);
        QFETCH(QString, value);
        QFETCH(int, timeoutMs);
        QFETCH(QString, seen);
        QVERIFY(m_sim.set(m_device.udid, u"Sim.Faults."_s + fault, value));
        const int before = openDescriptors();
        Reporter r;
        IOSMobileBackupThread worker(false, m_device, r);
        worker.tool().timeoutMs = timeoutMs;
        worker.start();
        QTRY_VERIFY_WITH_TIMEOUT(r.count(seen) >= (seen.startsWith(u'L') ? 1 : 2) && childProcesses().size() == 1,
                                 60000);
        // The helper holds its two pipe ends besides standard input, output and error: nothing else of ours.
        QCOMPARE(openDescriptors(childProcesses().first()), 5);
        r.canceled = true;
        // Neither helper would end by itself within this wait, nor would a read time-out.
        QVERIFY(worker.wait(5000));
        QCOMPARE(openDescriptors(), before);
        QCOMPARE(childProcesses(), QStringList());
        QVERIFY(r.errors.isEmpty() && r.successes.isEmpty());
        QVERIFY2(!QFileInfo::exists(backupDir()), "a cancelled backup leaves no folder");
    }
};

QTEST_GUILESS_MAIN(TestBackupWorkers)
#include "tst_backupworkers.moc"
