// vexlar-mb2helper as the program runs it (backup2tool) against the simulated
// device's own mobilebackup2: backups read by the independent Python peer,
// restores after cleaning, the device's errors as the user reads them, hostile
// paths and an unplugged device.

#include "services/backup2tool.h"
#include "tests/backupinterop/peer.h"
#include "tests/device/simfixture.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QtTest>
#include <sys/file.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// files/ as "Domain/path\t(d | l <target> | f <sha1>)" lines, sorted.
QString tree(const QString& files) {
    QStringList lines;
    QDirIterator it(files, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo& fi = it.fileInfo();
        QString kind = u"d"_s;
        if (fi.isSymLink()) {
            QByteArray target(4096, 0);
            target.resize(::readlink(QFile::encodeName(path).constData(), target.data(), target.size()));
            kind = u"l "_s + QString::fromUtf8(target);
        } else if (fi.isFile()) {
            QFile f(path);
            f.open(QIODevice::ReadOnly);
            kind = u"f "_s + QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha1).toHex();
        }
        lines << QDir(files).relativeFilePath(path) + '\t' + kind;
    }
    lines.sort();
    return lines.join('\n');
}

const char kPeerView[] = R"PY(
import hashlib, os, plistlib, sys
sys.path.insert(0, os.path.dirname(sys.argv[1]))
import devicebackup as d
b = d.OpenBackup(sys.argv[2], sys.argv[3].encode() if len(sys.argv) > 3 else None)
lines = []
for r in b.records():
    kind = r["mode"] & 0o170000
    name = r["domain"] + ("/" + r["path"] if r["path"] else "")
    if kind == 0o100000:
        lines.append(name + "\tf " + hashlib.sha1(b.read_plain(r)).hexdigest())
    else:
        lines.append(name + ("\tl " + r["target"] if kind == 0o120000 else "\td"))
status = plistlib.load(open(os.path.join(sys.argv[2], "Status.plist"), "rb"))["SnapshotState"]
print(status + "\n" + "\n".join(sorted(lines)), end="")
)PY";

} // namespace

class Mb2HelperTest : public QObject {
    Q_OBJECT

    SimStore sim;
    QTemporaryDir work;
    QString root;
    QFile syncLock; // held as another host would

    QString files(const QString& udid) const { return sim.deviceDir(udid) + u"/files"_s; }

    QString device(const QString& ios, const QString& password = {}) {
        QStringList args{u"--ios"_s, ios};
        if (!password.isEmpty()) {
            args << u"--encrypt"_s << password;
        }
        const QString udid = sim.create(args);
        return runPeer({u"gen-src"_s, files(udid), u"--large"_s, u"70000"_s}).exitCode == 0 ? udid : QString();
    }

    // The driver's text of a failed run, empty on success; percentages beside.
    QString run(const QString& udid, backup2tool_op op, const QString& password = {}, QList<int>* percents = nullptr) {
        backup2tool tool(nullptr, udid, QDir(root));
        connect(&tool, &backup2tool::update, this, [percents](double pg) {
            if (percents) {
                *percents << int(pg);
            }
        });
        _backup2tool_req req(op);
        req.password = password;
        try {
            tool.runThrow(req);
        } catch (const std::runtime_error& e) {
            return QString::fromUtf8(e.what());
        }
        return QString();
    }

    QString peerView(const QString& udid, const QString& password = {}) {
        QStringList args{u"-c"_s, QString::fromLatin1(kPeerView), peerScript(), root + '/' + udid};
        if (!password.isEmpty()) {
            args << password;
        }
        const PeerResult r = runProgram(QStringLiteral(VEXLAR_PYTHON), args, cleanEnvironment());
        return QString::fromUtf8(r.exitCode == 0 ? r.out : r.err);
    }

    static QString failure(int code, backup2tool_op op) {
        return u"error code:%1. "_s.arg(code) + backup2tool::errorText(code, op);
    }

private slots:
    void initTestCase() {
        QString why;
        if (!sim.init(&why)) {
            QSKIP(qPrintable(why));
        }
        qputenv("VEXLAR_BACKUP_HELPER", VEXLAR_MB2HELPER);
        root = work.filePath(u"backups"_s);
        QVERIFY(QDir().mkpath(root));
    }

    // Backup read by the peer as the device's files, byte for byte; then
    // records dropped from the manifest (the cleaning) and the restore makes
    // the device match, undoing what changed on it since.
    void backupCleanRestore_data() {
        QTest::addColumn<QString>("ios");
        QTest::addColumn<QString>("password");
        QTest::newRow("ios14 plain") << u"14.4"_s << QString();
        QTest::newRow("ios14 encrypted") << u"14.4"_s << peerPassword();
        QTest::newRow("ios9 plain") << u"9.3.5"_s << QString();
    }
    void backupCleanRestore() {
        QFETCH(QString, ios);
        QFETCH(QString, password);
        const QString udid = device(ios, password);
        QVERIFY(!udid.isEmpty());
        QList<int> percents;
        QCOMPARE(run(udid, OP_BACKUP, {}, &percents), QString());
        QVERIFY(percents.size() >= 2 && percents.last() == 100);
        QCOMPARE(peerView(udid, password), u"finished\n"_s + tree(files(udid)));

        // A second backup over the first drops what the device no longer has.
        QVERIFY(QFile::remove(files(udid) + u"/HomeDomain/Library/Notes/empty.txt"_s));
        QCOMPARE(run(udid, OP_BACKUP), QString());
        QCOMPARE(peerView(udid, password), u"finished\n"_s + tree(files(udid)));

        QString expected = tree(files(udid));
        if (ios.startsWith(u"14"_s) && password.isEmpty()) {
            const PeerResult r =
                runProgram(QStringLiteral(VEXLAR_PYTHON),
                           {u"-c"_s,
                            u"import sqlite3,sys; d=sqlite3.connect(sys.argv[1]); d.execute(\"delete from Files where "
                            "relativePath like 'Library/Sizes/f%'\"); d.commit()"_s,
                            root + '/' + udid + u"/Manifest.db"_s},
                           cleanEnvironment());
            QCOMPARE(r.exitCode, 0);
            QStringList kept = expected.split('\n');
            kept.removeIf([](const QString& l) { return l.startsWith(u"HomeDomain/Library/Sizes/f"_s); });
            expected = kept.join('\n');
        }
        QFile added(files(udid) + u"/HomeDomain/added.txt"_s);
        QVERIFY(added.open(QIODevice::WriteOnly) && added.write("new") == 3);
        added.close();
        QCOMPARE(run(udid, OP_RESTORE, password), QString());
        QCOMPARE(tree(files(udid)), expected);
    }

    // What the user reads when the device or the link fails; the device's
    // files stay as they were and nothing lands outside the backup root. (The
    // device's own codes, one per driver text, run in tst_backupworkers_imd.)
    void errors_data() {
        QTest::addColumn<QString>("fault"); // Sim.Faults key=value;...
        QTest::addColumn<bool>("restore");
        QTest::addColumn<int>("code");
        QTest::newRow("service refused while locked")
            << u"StartService.com.apple.mobilebackup2=-402653071"_s << true << -35;
        QTest::newRow("service refused") << u"StartService.com.apple.mobilebackup2=-5"_s << false << -2;
        QTest::newRow("unknown device code") << u"Backup2ErrorCode=3"_s << false << 3;
        QTest::newRow("writer fails midway") << u"errorCode=-30;FailAfterBytes=40000"_s << false << -30;
        QTest::newRow("wrong password") << u"!password"_s << true << -5;
        QTest::newRow("unplugged mid-backup") << u"UnplugAfterBytes=40000"_s << false << -10;
        QTest::newRow("unplugged mid-upload") << u"Backup2UnplugAfterFiles=3"_s << false << -10;
        QTest::newRow("unplugged mid-restore") << u"UnplugAfterBytes=40000"_s << true << -10;
        QTest::newRow("hostile upload path") << u"Backup2HostPath=../escaped"_s << false << -30;
        QTest::newRow("absolute upload path") << u"Backup2HostPath=/tmp/mb2-escaped"_s << false << -30;
        QTest::newRow("not plugged in") << u"!unplug"_s << false << -2;
        QTest::newRow("another host holds the sync lock") << u"!synclock"_s << false << -19;
    }
    void errors() {
        QFETCH(QString, fault);
        QFETCH(bool, restore);
        QFETCH(int, code);
        if (SimStore::onImd() && fault.startsWith(u"StartService."_s)) {
            QSKIP("a framework-level refusal only libsimdevice.so injects; tst_imd covers lockdown's refusals");
        }
        const bool encrypted = fault == u"!password"_s;
        const QString udid = device(u"14.4"_s, encrypted ? u"pw"_s : QString());
        QCOMPARE(run(udid, OP_BACKUP), QString());
        for (const QString& kv : fault.split(';')) {
            if (kv == u"!unplug"_s) {
                QVERIFY(sim.unplug(udid));
            } else if (kv == u"!synclock"_s) {
                syncLock.setFileName(files(udid) + u"/MediaDomain/Media/com.apple.itunes.lock_sync"_s);
                QVERIFY(syncLock.open(QIODevice::ReadWrite) && ::flock(syncLock.handle(), LOCK_EX) == 0);
            } else if (!kv.startsWith('!')) {
                QVERIFY(sim.set(udid, u"Sim.Faults."_s + kv.section('=', 0, 0), kv.section('=', 1)));
            }
        }
        const QString before = tree(files(udid));
        const backup2tool_op op = restore ? OP_RESTORE : OP_BACKUP;
        QCOMPARE(run(udid, op, encrypted ? u"wrong"_s : QString()), failure(code, op));
        QCOMPARE(tree(files(udid)), before);
        QVERIFY(!QFileInfo::exists(work.filePath(u"escaped"_s)) && !QFileInfo::exists(u"/tmp/mb2-escaped"_s));
        QDirIterator partial(root, {u"*.mb2tmp"_s}, QDir::Files, QDirIterator::Subdirectories);
        QVERIFY(!partial.hasNext());
        if (!restore && code != -2 && code != -19) { // a failed backup never looks finished
            QVERIFY(!QFileInfo::exists(root + '/' + udid + u"/Status.plist"_s));
        }
        syncLock.close();
    }

    // Paths a device names stay below the backup root.
    void resolveUnder_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("plain") << u"udid/ab/abcd"_s << true;
        QTest::newRow("folder with slash") << u"udid/"_s << true;
        QTest::newRow("absolute") << u"/etc/passwd"_s << false;
        QTest::newRow("climbs") << u"udid/../../x"_s << false;
        QTest::newRow("dot") << u"./udid"_s << false;
        QTest::newRow("empty part") << u"udid//x"_s << false;
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("through a link") << u"link/x"_s << false;
    }
    void resolveUnder();
};

#include "mb2helper/transfer.h"

void Mb2HelperTest::resolveUnder() {
    QFETCH(QString, path);
    QFETCH(bool, allowed);
    const QString base = work.filePath(u"resolve"_s);
    QDir().mkpath(base);
    QFile::link(u"/tmp"_s, base + u"/link"_s);
    QCOMPARE(!mb2::resolveUnder(base, path).isEmpty(), allowed);
}

QTEST_GUILESS_MAIN(Mb2HelperTest)
#include "tst_mb2helper.moc"
