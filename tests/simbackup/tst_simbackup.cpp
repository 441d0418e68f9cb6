// simbackup driven over its pipes as the program drives it; its backups read
// by the independent Python peer and by vexlar-backup, peer-written backups
// restored by it, and its injected faults.

#include "tests/app/datarows.h"
#include "tests/backupinterop/peer.h"
#include "tests/device/simfixture.h"

#include <QtTest>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// The tables of the data-driven cases, and their other fixture data.
const QString kTables = QStringLiteral(VEXLAR_SOURCE_DIR "/tests/simbackup/tst_simbackup.json");

struct Reply {
    QList<int> percents;
    bool final = false; // an empty dictionary or an error arrived
    int errorCode = 0;
    bool silent = false; // nothing at all within the wait
    QProcess::ExitStatus exit = QProcess::NormalExit;
};

bool readFull(int fd, char* buf, size_t n, int waitMs) {
    while (n > 0) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, waitMs) <= 0) {
            return false;
        }
        const ssize_t r = ::read(fd, buf, n);
        if (r <= 0) {
            return false;
        }
        buf += r;
        n -= size_t(r);
    }
    return true;
}

QString asText(const QMap<QString, QString>& t) {
    QStringList lines;
    for (auto it = t.cbegin(); it != t.cend(); ++it) {
        lines << it.key() + '\t' + it.value();
    }
    return lines.join('\n');
}

// The peer's reading of a backup in the same shape, after the Status.plist state.
const char kPeerView[] = R"PY(
import hashlib, os, plistlib, sys
sys.path.insert(0, os.path.dirname(sys.argv[1]))
import devicebackup as d
b = d.OpenBackup(sys.argv[2], sys.argv[3].encode() or None)
lines = []
for r in b.records():
    kind = r["mode"] & 0o170000
    name = r["domain"] + ("/" + r["path"] if r["path"] else "")
    if kind == 0o100000:
        plain = b.read_plain(r)
        if r["digest"] and r["digest"] != hashlib.sha1(plain).digest():
            name += " BAD DIGEST"
        lines.append(name + "\tf %d %s" % (len(plain), hashlib.sha1(plain).hexdigest()))
    else:
        lines.append(name + ("\tl " + r["target"] if kind == 0o120000 else "\td"))
status = plistlib.load(open(os.path.join(sys.argv[2], "Status.plist"), "rb"))["SnapshotState"]
print(status + "\n" + "\n".join(sorted(lines)), end="")
)PY";

} // namespace

class SimBackupTest : public QObject {
    Q_OBJECT

    SimStore sim;
    QTemporaryDir work;
    QString root; // RootDirectory of every request

    PeerResult python(const QString& script, const QStringList& args) {
        return runProgram(QStringLiteral(VEXLAR_PYTHON), QStringList{u"-c"_s, script} + args, cleanEnvironment());
    }

    QString files(const QString& udid) const { return sim.deviceDir(udid) + u"/files"_s; }
    QString backupDir(const QString& udid) const { return root + '/' + udid; }

    // A device whose files/ holds the peer's awkward source tree.
    QString device(const QString& ios, const QString& password = {}) {
        const QString udid = sim.create(QStringList{u"--ios"_s, ios} +
                                        (password.isEmpty() ? QStringList() : QStringList{u"--encrypt"_s, password}));
        const PeerResult r = runPeer({u"gen-src"_s, files(udid), u"--large"_s, u"70000"_s});
        return r.exitCode == 0 ? udid : QString();
    }

    Reply run(const QString& udid, bool restore, const QString& password = {}, int waitMs = 60000) {
        int req[2], resp[2];
        if (::pipe(req) != 0 || ::pipe(resp) != 0) {
            return {};
        }
        ::fcntl(req[1], F_SETFD, FD_CLOEXEC);
        ::fcntl(resp[0], F_SETFD, FD_CLOEXEC);
        QProcess helper;
        helper.start(QStringLiteral(VEXLAR_SIMBACKUP),
                     {u"--pipe"_s, QString::number(req[0]), QString::number(resp[1])});
        ::close(req[0]);
        ::close(resp[1]);
        CFType opts = CFType::createCFDictionary();
        opts.put(u"RootDirectory"_s, CFType::createCFString(root));
        if (!password.isEmpty()) {
            opts.put(u"Password"_s, CFType::createCFString(password));
        }
        CFType dict = CFType::createCFDictionary();
        dict.put(u"AMSRequestKey"_s,
                 CFType::createCFString(restore ? u"AMSRestoreWithApplicationsRequest"_s : u"AMSBackupRequest"_s))
            .put(u"AMSTargetIdentifierKey"_s, CFType::createCFString(udid))
            .put(restore ? u"AMSRestoreRestoreOptionsKey"_s : u"AMSBackupOptionsKey"_s, opts);
        const QByteArray xml = dict.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0);
        const int32_t n = int32_t(xml.size());
        bool sent = ::write(req[1], &n, 4) == 4 && ::write(req[1], xml.constData(), n) == n;
        Reply reply;
        int32_t size = 0;
        while (sent && !reply.final && readFull(resp[0], reinterpret_cast<char*>(&size), 4, waitMs) && size > 0) {
            QByteArray body(size, 0);
            if (!readFull(resp[0], body.data(), size_t(size), waitMs)) {
                break;
            }
            const CFType msg = CFType::createCFPropertyList(body);
            reply.final = msg.dict_size() != 1 || msg.get(u"AMSBackupPercentageKey"_s).isNull();
            if (reply.final) {
                const CFType code = msg.get(u"errorCode"_s); // a negative code may come as a 64-bit unsigned
                reply.errorCode = code.CFNumberInt(int(qint64(code.CFNumberUInt64())));
            } else {
                reply.percents << msg.get(u"AMSBackupPercentageKey"_s).CFNumberInt();
            }
        }
        pollfd p{resp[0], POLLIN, 0};
        reply.silent = reply.percents.isEmpty() && !reply.final && ::poll(&p, 1, 0) == 0;
        ::close(req[1]); // a silent helper ends when its request pipe closes
        helper.waitForFinished(30000);
        reply.exit = helper.exitStatus();
        ::close(resp[0]);
        return reply;
    }

    QString peerView(const QString& dir, const QString& password = {}) {
        const PeerResult r = python(QString::fromLatin1(kPeerView), {peerScript(), dir, password});
        return r.exitCode == 0 ? QString::fromUtf8(r.out) : QString::fromUtf8(r.err);
    }

    QString statusOf(const QString& udid) { return peerView(backupDir(udid)).section('\n', 0, 0); }

private slots:
    void initTestCase() {
        QString why;
        if (!sim.init(&why)) {
            QSKIP(qPrintable(why));
        }
        root = work.filePath(u"backups"_s);
        QVERIFY(QDir().mkpath(root));
    }

    // Both manifest forms, encrypted or not: the peer reads every record with
    // its data, and vexlar-backup lists and extracts the same; on two of them a second backup follows.
    void backupReadByPeers_data() {
        QTest::addColumn<QString>("ios");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("again"); // a second backup follows
        QTest::newRow("ios14 plain") << u"14.4"_s << QString() << false;
        QTest::newRow("ios14 encrypted") << u"14.4"_s << peerPassword() << true;
        QTest::newRow("ios10.1 encrypted") << u"10.1"_s << peerPassword() << false;
        QTest::newRow("ios9 plain") << u"9.3.5"_s << QString() << true;
        QTest::newRow("ios9 encrypted") << u"9.3.5"_s << peerPassword() << false;
    }
    void backupReadByPeers() {
        QFETCH(QString, ios);
        QFETCH(QString, password);
        QFETCH(bool, again);
        const QString udid = device(ios, password);
        QVERIFY(!udid.isEmpty());
        const Reply r = run(udid, false);
        QVERIFY(r.final);
        QCOMPARE(r.errorCode, 0);
        QVERIFY(r.percents.size() >= 3 && r.percents.first() == 0);
        QVERIFY(std::is_sorted(r.percents.cbegin(), r.percents.cend()));
        QCOMPARE(r.percents.last(), 100);
        const QString dir = backupDir(udid);
        QCOMPARE(QFileInfo::exists(dir + u"/Manifest.mbdb"_s), ios.startsWith(u"9"_s));
        QCOMPARE(peerView(dir, password), u"finished\n"_s + asText(fileTree(files(udid))));

        QProcessEnvironment env = cleanEnvironment();
        env.insert(u"VEXLAR_BACKUP_PASSWORD"_s, password);
        const PeerResult ls = runProgram(QStringLiteral(VEXLAR_BACKUP_CLI), {u"ls"_s, dir}, env);
        QCOMPARE(ls.exitCode, 0);
        QCOMPARE(ls.out.count('\n'), fileTree(files(udid)).size());
        const QString out = work.filePath(u"extracted"_s);
        QFile::remove(out);
        QCOMPARE(runProgram(QStringLiteral(VEXLAR_BACKUP_CLI),
                            {u"extract"_s, dir, u"HomeDomain"_s, u"Library/SMS/sms.db"_s, out}, env)
                     .exitCode,
                 0);
        QCOMPARE(fileTree(work.path()).value(u"extracted"_s),
                 fileTree(files(udid)).value(u"HomeDomain/Library/SMS/sms.db"_s));

        // A second backup keeps the data files of unchanged device files (same inode and time) and rewrites a
        // file whose content changed at equal size and time.
        if (!again) {
            return;
        }
        const bool mbdb = ios.startsWith('9');
        auto data = [&](const QString& path) {
            const QString id =
                QCryptographicHash::hash("HomeDomain-" + path.toUtf8(), QCryptographicHash::Sha1).toHex();
            struct stat st {};
            ::stat(QFile::encodeName(backupDir(udid) + '/' + (mbdb ? id : id.left(2) + '/' + id)).constData(), &st);
            return QPair<quint64, qint64>(st.st_ino, st.st_mtim.tv_nsec + st.st_mtime * 1000000000LL);
        };
        const QString kept = u"Library/SMS/sms.db"_s, changed = u"Library/Sizes/f8192.bin"_s;
        const auto keptBefore = data(kept), changedBefore = data(changed);
        QFile f(files(udid) + u"/HomeDomain/"_s + changed);
        const QDateTime mtime = QFileInfo(f).lastModified();
        QVERIFY(f.open(QIODevice::ReadWrite));
        f.write("same size, other bytes");
        f.flush();
        f.setFileTime(mtime, QFileDevice::FileModificationTime);
        f.close();
        QVERIFY(run(udid, false).final);
        QCOMPARE(data(kept), keptBefore);
        QVERIFY(data(changed) != changedBefore);
        QCOMPARE(peerView(backupDir(udid), password), u"finished\n"_s + asText(fileTree(files(udid))));
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
        QVERIFY(run(udid, false).final);
        QMap<QString, quint64> inodes;
        QMap<QString, QString> expected = fileTree(files(udid), &inodes);
        if (!edit.isEmpty()) {
            QCOMPARE(python(u"import hashlib, plistlib, sqlite3, sys\nb = sys.argv[1]\ndef sql(q):\n"
                            "    c = sqlite3.connect(b + '/Manifest.db')\n    c.execute(q)\n    c.commit()\n"_s +
                                edit,
                            {backupDir(udid)})
                         .exitCode,
                     0);
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

        const Reply r = run(udid, true, password);
        QVERIFY(r.final);
        QCOMPARE(r.errorCode, errorCode);
        QMap<QString, quint64> inodesAfter;
        QCOMPARE(asText(fileTree(files(udid), &inodesAfter)), asText(errorCode ? moved : expected));
        for (auto it = inodesAfter.cbegin(); errorCode == 0 && it != inodesAfter.cend(); ++it) {
            if (!it.key().endsWith(u"/empty.txt"_s) && !it.key().endsWith(u"/f16.bin"_s)) {
                QCOMPARE(it.value(), inodes.value(it.key())); // nothing unchanged was rewritten
            }
        }
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
        const Reply r = run(udid, true, variant.password);
        QCOMPARE(r.errorCode, 0);
        QVERIFY(r.final);
        QCOMPARE(asText(fileTree(files(udid))), asText(fileTree(src)));
    }

    // The faults a test can set in Sim.Faults, and the device states the helper refuses.
    void faults_data() { addRowsFrom(kTables, "faults"); }
    void faults() {
        QFETCH(QString, fault);
        QFETCH(bool, restore);
        QFETCH(int, errorCode);
        QString udid = device(u"14.4"_s);
        QVERIFY(run(udid, false).final); // an earlier finished backup: a failed run must not look finished
        for (const QString& kv : fault.split(';')) {
            const QString key = kv.section('=', 0, 0);
            QVERIFY(key == u"!missing"_s ||
                    sim.set(udid, key.startsWith('!') ? key.mid(1) : u"Sim.Faults."_s + key, kv.section('=', 1)));
        }
        const QMap<QString, QString> before = fileTree(files(udid));
        const bool silent = fault.startsWith(u"HelperSilent"_s);
        const Reply r = run(fault == u"!missing"_s ? u"missing"_s : udid, restore, {}, silent ? 1500 : 60000);
        QCOMPARE(r.final, errorCode != 1);
        QCOMPARE(r.errorCode, errorCode == 1 ? 0 : errorCode);
        QCOMPARE(r.silent, silent);
        QCOMPARE(r.exit, fault.startsWith(u"HelperDies"_s) ? QProcess::CrashExit : QProcess::NormalExit);
        if (!restore) { // a run that stopped after its first write no longer looks finished
            QCOMPARE(statusOf(udid), fault.contains(u"Bytes"_s) ? u"uploading"_s : u"finished"_s);
        }
        QCOMPARE(asText(fileTree(files(udid))), asText(before));
        if (fault.startsWith(u"Unplug"_s)) {
            QString xml;
            QVERIFY(sim.tool({u"cat"_s, u"--udid"_s, udid}, &xml));
            QVERIFY(xml.contains(u"<key>Connected</key>\n\t\t<false/>"_s));
        }
    }
};

QTEST_GUILESS_MAIN(SimBackupTest)
#include "tst_simbackup.moc"
