// The backup and restore workers and their helper driver against the real
// helper stand-in (simbackup) on a simulated device: every error the helper
// can report, reuse of an earlier backup, cancel, and what each run leaves
// behind (descriptors, Info.plist, half backups). Python's plistlib edits the
// backups the reuse rules judge.

#include "app/errreport.h"
#include "backup/backupjournal.h"
#include "backup/fileutil.h"
#include "backup/mbdbparser.h"
#include "cleaners/iosmobilebackupthread.h"
#include "cleaners/iosmobilerestorethread.h"
#include "services/backup2tool.h"
#include "tests/app/datarows.h"
#include "tests/cleaners/recordingreporter.h"
#include "tests/device/simfixture.h"

#include <QtTest>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// The tables of the data-driven cases, and their other fixture data.
const QString kTables = QStringLiteral(VEXLAR_SOURCE_DIR "/tests/backupworkers/tst_backupworkers.json");

const QString kNote = u"<br/><br/>Note: You can restart your device to try again."_s;

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
    bool backup() {
        RecordingReporter r;
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
        QVERIFY(backup());
        QVERIFY(QDir(backupDir()).rename(backupDir(), m_restoreRoot.filePath(m_device.udid)));
    }

    void cleanup() {
        QVERIFY(m_sim.set(m_device.udid, u"Sim.Faults"_s, u"null"_s));
        QVERIFY(m_sim.plug(m_device.udid));
    }

    void helperErrorsReachTheUser_data() { addRowsFrom(kTables, "helperErrorsReachTheUser"); }

    void helperErrorsReachTheUser() {
        QFETCH(QString, fault);
        QFETCH(QString, value);
        QFETCH(bool, restore);
        QFETCH(QString, message);
        if (SimStore::onImd() && QStringList{u"-19"_s, u"-3"_s, u"-2"_s}.contains(value)) {
            QSKIP("the helper's own failure, not the device's: tst_mb2helper_imd holds the sync lock, unplugs the "
                  "device");
        }
        QVERIFY(m_sim.set(m_device.udid, u"Sim.Faults."_s + fault, value));
        RecordingReporter r;
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
        QVERIFY2(r.errors.first().startsWith(message.replace(u"%1"_s, webHost())), qPrintable(r.errors.first()));
        QVERIFY(r.errors.first().endsWith(kNote));
        QVERIFY(r.successes.isEmpty());
    }

    // The restore request and the helper's refusal are logged whole, but for the password.
    void theLogKeepsNoPassword() {
        static QStringList logged;
        const auto previous =
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) { logged << text; });
        RecordingReporter r;
        IOSMobileRestoreThread worker(false, m_device, QDir(m_restoreRoot.path()), r);
        worker.setBackupPasscode(u"pw-for-no-log"_s);
        run(worker);
        qInstallMessageHandler(previous);
        QVERIFY(logged.join(u'\n').contains(u"<key>Password</key>"_s));
        QVERIFY(!logged.join(u'\n').contains(u"pw-for-no-log"_s));
    }

    // A clean killed after it replaced a data file, before it saved the manifest: the restore first puts the
    // backup back as it was, so the phone gets its own message database, not the half-edited one.
    void restoreFinishesAnUnfinishedEdit() {
        const QString dir = m_restoreRoot.filePath(m_device.udid);
        const QString sms = MBDBParser::getBKFilePath(
            QDir(dir), MBDBParser::getFileHashName(u"HomeDomain"_s, u"Library/SMS/sms.db"_s), false);
        QFile stored(sms);
        QVERIFY(stored.open(QIODevice::ReadOnly));
        const QByteArray original = stored.readAll();
        backupjournal::Journal journal(dir, dir + u"/Manifest.db"_s);
        journal.addThrow(QFileInfo(sms).fileName(), u"1"_s);
        QCOMPARE(::link(QFile::encodeName(sms).constData(), QFile::encodeName(sms + u"-1"_s).constData()), 0);
        fileutil::replaceFileThrow(sms, "half-edited");
        RecordingReporter r;
        IOSMobileRestoreThread worker(false, m_device, QDir(m_restoreRoot.path()), r);
        run(worker);
        QCOMPARE(r.successes, QStringList{QString()});
        QFile onPhone(m_sim.deviceDir(m_device.udid) + u"/files/HomeDomain/Library/SMS/sms.db"_s);
        QVERIFY(onPhone.open(QIODevice::ReadOnly));
        QCOMPARE(onPhone.readAll(), original);
    }

    void failureMessages_data() { addRowsFrom(kTables, "failureMessages"); }

    void failureMessages() {
        QFETCH(QString, text);
        QFETCH(bool, restore);
        QFETCH(QString, message);
        const QString shown = iosbackup_failure_message(text, restore, false);
        QVERIFY2(shown.startsWith(message.replace(u"%1"_s, webHost())) && shown.endsWith(kNote), qPrintable(shown));
    }

    void reuseRules_data() { addRowsFrom(kTables, "reuseRules"); }

    void reuseRules() {
        QFETCH(QString, file);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(bool, kept);
        if (SimStore::onImd() && kept) {
            QSKIP("a real device's backup removes what the folder holds beyond its own files, the sentinel too");
        }
        QVERIFY(backup());
        const QString path = QDir(backupDir()).filePath(file);
        QVERIFY(file.isEmpty() || (key.isEmpty() ? QFile::remove(path) : setPlistValue(path, key, value)));
        const QString sentinel = backupDir() + u"/sentinel"_s;
        QVERIFY(QFile(sentinel).open(QIODevice::WriteOnly));
        QVERIFY(backup());
        QCOMPARE(QFileInfo::exists(sentinel), kept);
        QVERIFY(IOSMobileBackupThread::isReusableBackup(backupDir(), m_device.productVersion));
    }

    void cancelEndsTheRunAtOnce_data() { addRowsFrom(kTables, "cancelEndsTheRunAtOnce"); }

    void cancelEndsTheRunAtOnce() {
        QFETCH(QString, fault);
        QFETCH(QString, value);
        QFETCH(int, timeoutMs);
        QFETCH(QString, seen);
        if (SimStore::onImd() && fault == u"HelperSilent"_s) {
            QSKIP("only simbackup falls silent; vexlar-mb2helper answers for the device");
        }
        QVERIFY(m_sim.set(m_device.udid, u"Sim.Faults."_s + fault, value));
        const int before = openDescriptors();
        RecordingReporter r;
        IOSMobileBackupThread worker(false, m_device, r);
        worker.tool().timeoutMs = timeoutMs;
        worker.start();
        QTRY_VERIFY_WITH_TIMEOUT(r.count(seen.section(u'|', 0, 0), seen.section(u'|', 1)) >=
                                         (seen.startsWith(u'L') ? 1 : 2) &&
                                     childProcesses().size() == 1,
                                 120000);
        // The helper holds its two pipe ends besides standard input, output and error: nothing else of ours.
        // (vexlar-mb2helper holds its own device sockets besides.)
        QVERIFY(SimStore::onImd() || openDescriptors(childProcesses().first()) == 5);
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
