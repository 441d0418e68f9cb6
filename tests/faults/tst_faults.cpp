// The fault matrix: one row per way a run can go wrong. After each, independent checks: the Python peer reads
// the whole backup (every record's content, size and digest, every database's integrity), the simulated device
// is as before or as the run meant it to be, the user read an error and never a success, and no plaintext or
// temporary file is left in the temporary or the backup folder.

#include "backup/backupmanifest.h"
#include "backup/fileutil.h"
#include "cleaners/iosclearappcachethread.h"
#include "cleaners/iosmobilebackupthread.h"
#include "cleaners/iosmobilerestorethread.h"
#include "tests/app/datarows.h"
#include "tests/backupinterop/peer.h"
#include "tests/cleaners/recordingreporter.h"
#include "tests/device/devicereceiver.h"
#include "tests/device/simfixture.h"
#include "ui/messagebox.h"
#include "ui/passcodedlg.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <termios.h>

using namespace Qt::StringLiterals;

namespace {

const QString kPassword = u"f4ult pw"_s;

// Everything below dir by name only, for polling while a process writes there.
QStringList names(const QString& dir) {
    QStringList out;
    for (QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                         QDirIterator::Subdirectories);
         it.hasNext();) {
        out << QDir(dir).relativeFilePath(it.next());
    }
    return out;
}

bool shell(const QString& script, const QStringList& args = {}) {
    return QProcess::execute(u"/bin/sh"_s, QStringList{u"-c"_s, script, u"sh"_s} + args) == 0;
}

// The peer's reading of the whole backup: "<file records> <messages left>", or its error.
QByteArray peerReads(const QString& dir, const QString& password) {
    static const QString py = uR"(import hashlib, sqlite3, sys, tempfile
sys.path.insert(0, sys.argv[1])
import devicebackup as d
connect = sqlite3.connect
def checked(*a, **k):
    c = connect(*a, **k)
    v = c.execute('pragma integrity_check').fetchone()[0]
    if v != 'ok': raise SystemExit('integrity: %s' % v)
    return c
sqlite3.connect = checked
b, n, m = d.OpenBackup(sys.argv[2], sys.argv[3].encode() or None), 0, -1
for r in b.records():
    if r['mode'] & 0o170000 != 0o100000: continue
    data, n = b.read_plain(r), n + 1
    dg = r['digest']
    if len(data) != r['size'] or (dg and len(dg) == 20 and hashlib.sha1(data).digest() != dg):
        raise SystemExit('content of %s-%s' % (r['domain'], r['path']))
    if data.startswith(b'SQLite format 3\0'):
        with tempfile.NamedTemporaryFile() as f:
            f.write(data); f.flush(); c = sqlite3.connect(f.name)
            if r['path'] == 'Library/SMS/sms.db': m = c.execute('select count(*) from message').fetchone()[0]
            c.close()
print(n, m))"_s;
    const PeerResult r = runProgram(QStringLiteral(VEXLAR_PYTHON),
                                    {u"-c"_s, py, QFileInfo(peerScript()).path(), dir, password}, cleanEnvironment());
    return r.exitCode == 0 ? r.out.trimmed() : "peer failed: " + r.err.trimmed();
}

struct Device {
    QString udid;
    bool encrypted = false;
    QString golden; // a finished backup of it, as the helper wrote it: <golden>/<udid>
    IOSDevice info() const {
        IOSDevice d;
        d.udid = udid;
        d.productVersion = encrypted ? u"14.4"_s : u"9.3.5"_s;
        d.backupPassword = encrypted ? kPassword : QString();
        return d;
    }
};

} // namespace

class TestFaults : public QObject {
    Q_OBJECT

    SimStore m_sim;
    DeviceReceiver m_receiver;
    QTemporaryDir m_tmp;
    QMap<QString, Device> m_devices; // "enc": iOS 14.4, encrypted; "plain": iOS 9.3.5
    QString m_temp;                  // the temporary folder of this process and its children

    QString files(const Device& d) const { return m_sim.deviceDir(d.udid) + u"/files"_s; }

    // vexlar-backup with the backup's password (null: typed at the prompt on tty), a file size limit (-1: none) and,
    // for a read-only folder, without the power to write where permissions forbid it (the tests may run as root).
    QProcess* cli(const QStringList& args, const Device& d, const QString& password, qint64 fsize, bool noOverride,
                  int tty = -1) {
        auto* p = new QProcess(this);
        QProcessEnvironment env = cleanEnvironment();
        if (d.encrypted && !password.isNull()) {
            env.insert(u"VEXLAR_BACKUP_PASSWORD"_s, password);
        }
        p->setProcessEnvironment(env);
        p->setChildProcessModifier([fsize, noOverride, tty] {
            if (tty >= 0) {
                ::dup2(tty, STDIN_FILENO);
            }
            if (fsize >= 0) {
                ::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails with EFBIG, as on a full disk
                const rlimit limit{rlim_t(fsize), rlim_t(fsize)};
                ::setrlimit(RLIMIT_FSIZE, &limit);
            }
            if (noOverride) {
                ::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
            }
        });
        p->start(QStringLiteral(VEXLAR_CLI), args);
        return p;
    }

private slots:
    void initTestCase() {
        QString why;
        QVERIFY2(m_sim.init(&why), qPrintable(why));
        qputenv("VEXLAR_BACKUP_HELPER", VEXLAR_SIMBACKUP);
        m_temp = m_tmp.filePath(u"tmp"_s);
        QVERIFY(QDir().mkpath(m_temp));
        qputenv("TMPDIR", QFile::encodeName(m_temp));
        static MessageBoxPresenter presenter;
        Tips::setPresenter(&presenter);
        static QTranslator translator;
        QVERIFY(translator.load(u":/en.qm"_s) && QCoreApplication::installTranslator(&translator));
        g_listen_ctx = _mobiledevice_listen_ctx(&m_receiver, "iosDeviceConnected", "iosDeviceDisconnected");
        QVERIFY(mobiledevice_listen(&g_listen_ctx));
        for (const QString& kind : {u"enc"_s, u"plain"_s}) {
            Device d;
            d.encrypted = kind == u"enc"_s;
            d.udid = m_sim.create(QStringList{u"--ios"_s, d.info().productVersion, u"--preset"_s, u"demo"_s} +
                                  (d.encrypted ? QStringList{u"--encrypt"_s, kPassword} : QStringList()));
            QVERIFY(!d.udid.isEmpty());
            // A message database larger than the manifest, so that a file size limit can fall between them.
            QVERIFY(shell(u"python3 -c \"import sqlite3,sys; c=sqlite3.connect(sys.argv[1]); c.execute('create "
                          "table pad(b)'); c.execute('insert into pad values(randomblob(3000000))'); c.commit()\" "
                          "\"$1\""_s,
                          {files(d) + u"/HomeDomain/Library/SMS/sms.db"_s}));
            RecordingReporter r;
            const IOSDevice info = d.info(); // the worker keeps a reference
            IOSMobileBackupThread worker(false, info, r);
            worker.start();
            QVERIFY(worker.wait(300000) && r.errors.isEmpty());
            d.golden = m_tmp.filePath(u"golden-"_s + kind);
            QVERIFY(QDir().mkpath(d.golden) && QDir().rename(worker.root().filePath(d.udid), d.golden + u'/' + d.udid));
            const QByteArray peer = peerReads(d.golden + u'/' + d.udid, d.info().backupPassword);
            QVERIFY2(!peer.startsWith("peer failed"), peer.constData());
            m_devices.insert(kind, d);
        }
    }

    void cleanup() {
        for (const Device& d : std::as_const(m_devices)) {
            QVERIFY(m_sim.set(d.udid, u"Sim.Faults"_s, u"null"_s));
            QVERIFY(m_sim.plug(d.udid));
        }
    }

    // The rows and what their columns mean: tst_faults.json.
    void matrix_data() { addRowsFrom(QStringLiteral(VEXLAR_SOURCE_DIR "/tests/faults/tst_faults.json"), "matrix"); }

    void matrix() {
        QFETCH(QString, device);
        QFETCH(QString, action);
        QFETCH(QString, fault);
        QFETCH(QString, told);
        // Each helper code and the kills run in the second registration, label long.
        const bool slow = action == u"kill"_s || QByteArray(QTest::currentDataTag()).startsWith("helper error");
        if (slow != qEnvironmentVariableIsSet("VEXLAR_FAULTS_LONG")) {
            QSKIP("run by the other registration");
        }
        const Device d = m_devices.value(device);
        const auto deviceBefore = fileTree(files(d));
        // The row works on a copy of the finished backup; the backup rows start from it too.
        const QString root = action == u"backup"_s ? iosbackup_temp_dir().path() : m_tmp.filePath(u"row"_s);
        const QString dir = root + u'/' + d.udid;
        QVERIFY(QDir(dir).removeRecursively() && QDir().mkpath(root));
        QVERIFY(shell(u"cp -a \"$1\" \"$2\""_s, {d.golden + u'/' + d.udid, root}));
        const auto backupBefore = fileTree(dir);

        RecordingReporter r; // what the user read
        bool deviceMayLoseCaches = false, backupMayChange = false;
        if (action.startsWith(u"afc"_s)) {
            // A slow device, unplugged once the worker has gone through a few files.
            deviceMayLoseCaches = action == u"afc-clean"_s;
            QVERIFY(m_sim.set(d.udid, u"Sim.Faults.ReplyDelayMs"_s, u"3"_s));
            IOSDevice dev = d.info();
            QVERIFY((dev.device = m_receiver.waitFor(d.udid)));
            QList<_IOSAppInfo> apps;
            for (const QString& name : QDir(files(d)).entryList({u"AppDomain-*"_s}, QDir::Dirs)) {
                apps.append({name.mid(10), name.mid(10)});
            }
            IOSClearAppCacheThread worker(dev, apps, r);
            worker.scanOnly = !deviceMayLoseCaches;
            worker.start();
            QTRY_VERIFY_WITH_TIMEOUT(
                worker.isFinished() ||
                    [&r] {
                        QMutexLocker lock(&r.m);
                        return std::count_if(r.updates.cbegin(), r.updates.cend(),
                                             [](auto& u) { return !u.text.isEmpty(); }) >= 5;
                    }(),
                60000);
            QVERIFY(m_sim.unplug(d.udid));
            QVERIFY(worker.wait(120000));
            QTRY_VERIFY_WITH_TIMEOUT(m_receiver.count(false, dev.device) > 0, 10000);
            QVERIFY(m_sim.plug(d.udid));
            QTRY_VERIFY_WITH_TIMEOUT(m_receiver.deviceFor(d.udid) != dev.device, 10000);
        } else if (action == u"backup"_s || action == u"restore"_s) {
            for (const QString& kv : fault.split(u','))
                QVERIFY(fault == u"password"_s ||
                        m_sim.set(d.udid, u"Sim.Faults."_s + kv.section(u'=', 0, 0), kv.section(u'=', 1)));
            const IOSDevice info = d.info(); // the workers keep a reference
            IOSMobileBackupThread backup(false, info, r);
            IOSMobileRestoreThread restore(false, info, QDir(root), r);
            restore.setBackupPasscode(fault == u"password"_s ? u"not it"_s : d.info().backupPassword);
            QThread& worker = action == u"backup"_s ? static_cast<QThread&>(backup) : restore;
            worker.start();
            QVERIFY(worker.wait(300000));
        } else if (action == u"dialog"_s) {
            const QStringList answers = fault.split(u',');
            MessageBoxPresenter::resetTestHook();
            MessageBoxPresenter::setAutoAnswer(true);
            BackupManifest manifest(dir);
            manifest.readManifestInfo();
            PasscodeDlg dialog(&manifest);
            QTimer::singleShot(0, &dialog, [&] {
                for (const QString& a : answers) {
                    dialog.findChild<QLineEdit*>(u"txtPasscode"_s)->setText(a == u"r"_s ? kPassword : a);
                    if (a == u"c"_s) {
                        dialog.reject();
                    } else {
                        QTest::mouseClick(dialog.findChild<QPushButton*>(u"btnOK"_s), Qt::LeftButton);
                    }
                }
            });
            const bool accepted = dialog.exec() == QDialog::Accepted;
            r.errors = MessageBoxPresenter::shownTexts();
            QCOMPARE(r.errors, QStringList(answers.count(u"w"_s), told));
            QCOMPARE(accepted, answers.last() == u"r"_s);
            if (accepted) {
                manifest.parseInfo(); // the right password opens the whole manifest
                QVERIFY(!manifest.items.isEmpty());
            }
        } else if (action == u"clean"_s) {
            const QString sms = MBDBParser::getBKFilePath(
                QDir(dir), MBDBParser::getFileHashName(u"HomeDomain"_s, u"Library/SMS/sms.db"_s), false);
            const qint64 smsSize = QFileInfo(sms).size();
            qint64 fsize = -1;
            if (fault == u"fsize-manifest"_s) {
                // Above every working copy, below the manifest written back beside the old one.
                const qint64 manifest = QFileInfo(dir + (d.encrypted ? u"/Manifest.db"_s : u"/Manifest.mbdb"_s)).size();
                fsize = d.encrypted ? manifest - 8 : manifest / 2;
            } else if (fault == u"fsize-data"_s) {
                fsize = smsSize / 2;
            } else if (fault == u"truncated"_s) {
                QVERIFY(QFile::resize(sms, smsSize / 2 + 3));
            } else if (fault == u"missing"_s) {
                QVERIFY(QFile::remove(sms));
            } else if (fault == u"bad padding"_s) {
                QFile f(sms);
                QVERIFY(f.open(QIODevice::ReadWrite) && f.seek(smsSize - 1) && f.write("\x7f") == 1);
            } else if (fault == u"read-only"_s) {
                QVERIFY(shell(u"chmod -R a-w \"$1\""_s, {dir}));
            }
            const auto damaged = fileTree(dir);
            // One category, so that a failure leaves nothing done before it.
            const QString what = fault == u"fsize-manifest"_s ? u"--cache"_s : u"--messages"_s;
            QScopedPointer<QProcess> p(cli({u"clean"_s, dir, what}, d, fault == u"password"_s ? u"wrong"_s : kPassword,
                                           fsize, fault == u"read-only"_s));
            QVERIFY(p->waitForFinished(300000));
            QVERIFY(shell(u"chmod -R u+w \"$1\""_s, {dir}));
            const QString err = QString::fromUtf8(p->readAllStandardError());
            (p->exitStatus() == QProcess::NormalExit && p->exitCode() == 0 ? r.successes : r.errors) << err;
            QCOMPARE(fileTree(dir), damaged); // a failed clean changes nothing
            if (damaged != backupBefore) {    // the damaged file is put back, so that the checks below read it all
                QFile::remove(sms);
                QVERIFY(QFile::copy(d.golden + sms.mid(root.size()), sms));
            }
        } else if (action == u"kill"_s) {
            // Killed the moment a file appears beside the data files, a plain copy in the temporary folder or the
            // manifest saved once; INT and TERM come from the user who typed the password at the prompt.
            backupMayChange = true;
            const int sig = fault.endsWith(u"INT"_s) ? SIGINT : fault.endsWith(u"TERM"_s) ? SIGTERM : SIGKILL;
            const int tty = sig == SIGKILL ? -1 : ::posix_openpt(O_RDWR | O_NOCTTY);
            const int ttyChild = tty < 0 || ::grantpt(tty) || ::unlockpt(tty) ? -1 : ::open(::ptsname(tty), O_RDWR);
            // Not the run's: a live folder of this process, to be kept, and one left long ago without its owner file.
            fileutil::PrivateTempDir live;
            QVERIFY(QDir().mkpath(m_temp + u"/vexlar-plain-left"_s));
            QVERIFY(shell(u"touch -d '1 hour ago' \"$1\""_s, {m_temp + u"/vexlar-plain-left"_s}));
            QScopedPointer<QProcess> p(cli({u"clean"_s, dir, u"--messages"_s, u"--cache"_s}, d,
                                           tty < 0 ? kPassword : QString(), -1, false, ttyChild));
            termios mode{};
            QTRY_VERIFY(tty < 0 || (::tcgetattr(tty, &mode) == 0 && !(mode.c_lflag & ECHO))); // the prompt waits
            QVERIFY(tty < 0 ||
                    ::write(tty, (kPassword + u'\n').toUtf8().constData(), size_t(kPassword.size()) + 1) > 0);
            const QRegularExpression plain(fault.startsWith(u"saving"_s) ? u"^vexlar-plain-[^/]+/Manifest-saving-"_s
                                                                         : u"^vexlar-plain-[^/]+/[^.]"_s);
            const auto appeared = [&] {
                if (fault != u"backup"_s) {
                    return !names(m_temp).filter(plain).isEmpty();
                }
                const QStringList now = names(dir);
                return std::any_of(now.begin(), now.end(), [&](const QString& n) { return !backupBefore.contains(n); });
            };
            bool seen = false;
            while (!(seen = appeared()) && !p->waitForFinished(0)) {
                QThread::usleep(200);
            }
            QVERIFY2(seen, "the clean ended before the moment to kill it");
            ::kill(pid_t(p->processId()), sig);
            QVERIFY(p->waitForFinished(sig == SIGKILL ? 30000 : 1000));
            QCOMPARE(p->exitStatus() == QProcess::CrashExit ? p->exitCode() : -1, sig);
            QVERIFY(QFileInfo::exists(live.path() + u"/.owner"_s));
            QVERIFY(sig == SIGKILL || fault.startsWith(u"saving"_s) || fileTree(dir) == backupBefore);
            ::close(tty), ::close(ttyChild);
            const QByteArray killed = peerReads(dir, d.info().backupPassword);
            QVERIFY2(!killed.startsWith("peer failed"), killed.constData());
            // Started again, it finishes the clean or refuses it with its reason.
            p.reset(cli({u"clean"_s, dir, u"--messages"_s, u"--cache"_s}, d, kPassword, -1, false));
            QVERIFY(p->waitForFinished(300000));
            const QByteArray err = p->readAllStandardError();
            QVERIFY2(p->exitCode() == 0 || err.contains("vexlar-backup: "), err.constData());
            QVERIFY2(p->exitCode() != 0 || peerReads(dir, d.info().backupPassword).endsWith(" 0"),
                     "a finished clean leaves no message");
        }

        // What the user read: an error, never a success.
        if (action != u"kill"_s) {
            QVERIFY2(r.successes.isEmpty(), qPrintable(r.successes.join(u'\n')));
            QVERIFY2(!r.errors.isEmpty() && r.errors.first().contains(told), qPrintable(r.errors.join(u'\n')));
        }
        // The device: as before, or without some of its app caches when they were being deleted.
        const auto deviceAfter = fileTree(files(d));
        static const QRegularExpression caches(u"^AppDomain-[^/]+/Library/(Caches|tmp)/"_s);
        for (auto it = deviceBefore.cbegin(); it != deviceBefore.cend(); ++it) {
            QVERIFY2(deviceAfter.value(it.key()) == it.value() ||
                         (deviceMayLoseCaches && !deviceAfter.contains(it.key()) && caches.match(it.key()).hasMatch()),
                     qPrintable(it.key()));
        }
        QCOMPARE(deviceAfter.size() <= deviceBefore.size(), true);
        // The backup reads whole (a backup run may have removed its folder); nothing was added beside its files.
        if (QFileInfo::exists(dir)) {
            const auto backupAfter = fileTree(dir);
            const QByteArray peer = peerReads(dir, d.info().backupPassword);
            QVERIFY2(!peer.startsWith("peer failed"), peer.constData());
            QVERIFY2(backupMayChange || action == u"backup"_s || backupAfter == backupBefore, "the backup changed");
            for (auto it = backupAfter.cbegin(); it != backupAfter.cend(); ++it) {
                // A clean keeps what it replaced under the documented names; nothing else may appear.
                static const QRegularExpression kept(u"^([0-9a-f]{2}/)?[0-9a-f]{40}-[0-9]+$|^Manifest.db-bak[0-9]+$"_s);
                QVERIFY2(backupBefore.contains(it.key()) || (backupMayChange && kept.match(it.key()).hasMatch()),
                         qPrintable(u"left in the backup: "_s + it.key()));
                QFile f(dir + u'/' + it.key());
                QVERIFY2(!d.encrypted || !f.open(QIODevice::ReadOnly) || f.read(15) != "SQLite format 3",
                         qPrintable(u"plaintext in the backup: "_s + it.key()));
            }
        }
        QStringList leftInTemp = QDir(m_temp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        leftInTemp.removeOne(u"runtime-root"_s); // the platform's, as XDG_RUNTIME_DIR is not set
        // Scratch folders of the helper stand-in, which it leaves when it ends with an error; it decrypts into them
        // as the device would, and the program itself makes no such name.
        leftInTemp.removeIf([](const QString& n) { return n.startsWith(u"qt_temp-"_s); });
        QVERIFY2(leftInTemp.isEmpty(), qPrintable(u"left in the temporary folder: "_s + leftInTemp.join(u' ')));
    }
};

QTEST_MAIN(TestFaults)
#include "tests/device/moc_devicereceiver.cpp"
#include "tst_faults.moc"
