// simbackup driven over its pipes as the program drives it; its backups read
// by the independent Python peer and by vexlar-backup, peer-written backups
// restored by it, and its injected faults.

#include "tests/backupinterop/peer.h"
#include "tests/device/simfixture.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QtTest>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

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

// device files/ as "Domain/path" -> "d", "l <target>" or "f <sha1>"; inodes beside.
QMap<QString, QString> tree(const QString& files, QMap<QString, quint64>* inodes = nullptr) {
    QMap<QString, QString> out;
    QDirIterator it(files, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString rel = QDir(files).relativeFilePath(path);
        const QFileInfo fi(path);
        if (fi.isSymLink()) {
            QByteArray buf(4096, 0);
            buf.resize(::readlink(QFile::encodeName(path).constData(), buf.data(), buf.size()));
            out[rel] = u"l "_s + QString::fromUtf8(buf);
        } else if (fi.isDir()) {
            out[rel] = u"d"_s;
        } else {
            QFile f(path);
            f.open(QIODevice::ReadOnly);
            out[rel] = u"f "_s + QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha1).toHex();
        }
        struct stat st {};
        ::lstat(QFile::encodeName(path).constData(), &st);
        if (inodes && out[rel].startsWith('f')) {
            (*inodes)[rel] = st.st_ino;
        }
    }
    return out;
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
b = d.OpenBackup(sys.argv[2], sys.argv[3].encode() if len(sys.argv) > 3 else None)
lines = []
for r in b.records():
    kind = r["mode"] & 0o170000
    name = r["domain"] + ("/" + r["path"] if r["path"] else "")
    if kind == 0o100000:
        plain = b.read_plain(r)
        if r["digest"] and r["digest"] != hashlib.sha1(plain).digest():
            name += " BAD DIGEST"
        lines.append(name + "\tf " + hashlib.sha1(plain).hexdigest())
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
        QStringList args{u"--ios"_s, ios};
        if (!password.isEmpty()) {
            args << u"--encrypt"_s << password;
        }
        const QString udid = sim.create(args);
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
        plist_t dict = plist_new_dict();
        plist_t opts = plist_new_dict();
        plist_dict_set_item(opts, "RootDirectory", plist_new_string(root.toUtf8().constData()));
        if (!password.isEmpty()) {
            plist_dict_set_item(opts, "Password", plist_new_string(password.toUtf8().constData()));
        }
        plist_dict_set_item(dict, "AMSRequestKey",
                            plist_new_string(restore ? "AMSRestoreWithApplicationsRequest" : "AMSBackupRequest"));
        plist_dict_set_item(dict, "AMSTargetIdentifierKey", plist_new_string(udid.toUtf8().constData()));
        plist_dict_set_item(dict, restore ? "AMSRestoreRestoreOptionsKey" : "AMSBackupOptionsKey", opts);
        char* xml = nullptr;
        uint32_t len = 0;
        plist_to_xml(dict, &xml, &len);
        plist_free(dict);
        const int32_t n = int32_t(len);
        bool sent = ::write(req[1], &n, 4) == 4 && ::write(req[1], xml, len) == ssize_t(len);
        plist_to_xml_free(xml);
        Reply reply;
        int32_t size = 0;
        while (sent && !reply.final && readFull(resp[0], reinterpret_cast<char*>(&size), 4, waitMs) && size > 0) {
            QByteArray body(size, 0);
            plist_t msg = nullptr;
            if (!readFull(resp[0], body.data(), size_t(size), waitMs)) {
                break;
            }
            plist_from_memory(body.constData(), uint32_t(size), &msg);
            plist_t pct = plist_dict_get_item(msg, "AMSBackupPercentageKey");
            uint64_t v = 0;
            if (pct && plist_dict_get_size(msg) == 1) {
                plist_get_uint_val(pct, &v);
                reply.percents << int(v);
            } else {
                reply.final = true;
                if (plist_t code = plist_dict_get_item(msg, "errorCode")) {
                    plist_get_uint_val(code, &v);
                    reply.errorCode = int(int64_t(v));
                }
            }
            plist_free(msg);
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
        QStringList args{peerScript(), dir};
        if (!password.isEmpty()) {
            args << password;
        }
        const PeerResult r = python(QString::fromLatin1(kPeerView), args);
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
    // its data, and vexlar-backup lists and extracts the same.
    void backupReadByPeers_data() {
        QTest::addColumn<QString>("ios");
        QTest::addColumn<QString>("password");
        QTest::newRow("ios14 plain") << u"14.4"_s << QString();
        QTest::newRow("ios14 encrypted") << u"14.4"_s << peerPassword();
        QTest::newRow("ios10.1 encrypted") << u"10.1"_s << peerPassword();
        QTest::newRow("ios9 plain") << u"9.3.5"_s << QString();
        QTest::newRow("ios9 encrypted") << u"9.3.5"_s << peerPassword();
    }
    void backupReadByPeers() {
        QFETCH(QString, ios);
        QFETCH(QString, password);
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
        QCOMPARE(peerView(dir, password), u"finished\n"_s + asText(tree(files(udid))));

        QProcessEnvironment env = cleanEnvironment();
        env.insert(u"VEXLAR_BACKUP_PASSWORD"_s, password);
        const PeerResult ls = runProgram(QStringLiteral(VEXLAR_BACKUP_CLI), {u"ls"_s, dir}, env);
        QCOMPARE(ls.exitCode, 0);
        QCOMPARE(ls.out.count('\n'), tree(files(udid)).size());
        const QString out = work.filePath(u"extracted"_s);
        QFile::remove(out);
        QCOMPARE(runProgram(QStringLiteral(VEXLAR_BACKUP_CLI),
                            {u"extract"_s, dir, u"HomeDomain"_s, u"Library/SMS/sms.db"_s, out}, env)
                     .exitCode,
                 0);
        QCOMPARE(u"f "_s + QCryptographicHash::hash(
                               [&] {
                                   QFile f(out);
                                   f.open(QIODevice::ReadOnly);
                                   return f.readAll();
                               }(),
                               QCryptographicHash::Sha1)
                               .toHex(),
                 tree(files(udid)).value(u"HomeDomain/Library/SMS/sms.db"_s));
    }

    // A second backup keeps the data files of unchanged device files (same
    // inode and time) and rewrites a file whose content changed at equal size and time.
    void backupReusesUnchangedDataFiles_data() {
        QTest::addColumn<QString>("ios");
        QTest::addColumn<QString>("password");
        QTest::newRow("ios14 encrypted") << u"14.4"_s << u"pw"_s;
        QTest::newRow("ios9 plain") << u"9.3.5"_s << QString();
    }
    void backupReusesUnchangedDataFiles() {
        QFETCH(QString, ios);
        QFETCH(QString, password);
        const QString udid = device(ios, password);
        QVERIFY(run(udid, false).final);
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
        QCOMPARE(peerView(backupDir(udid), password), u"finished\n"_s + asText(tree(files(udid))));
    }

    // Restores of a backup after edits of the backup or the device. A failed
    // restore leaves the device exactly as it was.
    void restore_data() {
        QTest::addColumn<QString>("ios");
        QTest::addColumn<QString>("devicePassword"); // the backup's
        QTest::addColumn<QString>("password");       // sent with the restore
        QTest::addColumn<QString>("fault");          // Sim.Faults key=value
        QTest::addColumn<QString>("edit");           // Python run on the backup folder b after the backup
        QTest::addColumn<int>("errorCode");
        const QString pw = u"secret"_s;
        const QString insert = u"sql(\"insert into Files values('x', '%1', '%2', 1, (select file from Files where "
                               "relativePath='Library/Notes/empty.txt'))\")"_s;
        const QString none;
        QTest::newRow("unchanged") << u"14.4"_s << none << none << none << none << 0;
        QTest::newRow("unchanged encrypted") << u"14.4"_s << pw << pw << none << none << 0;
        QTest::newRow("unchanged ios9 encrypted") << u"9.3.5"_s << pw << pw << none << none << 0;
        QTest::newRow("dropped records") << u"14.4"_s << none << none << none
                                         << u"sql(\"delete from Files where relativePath like 'Library/Sizes/f%'\")"_s
                                         << 0;
        QTest::newRow("unfinished backup") << u"14.4"_s << none << none << none
                                           << u"plistlib.dump({'SnapshotState': 'uploading'}, open(b + "
                                              "'/Status.plist', 'wb'))"_s
                                           << -20;
        QTest::newRow("digest mismatch") << u"9.3.5"_s << none << none << none
                                         << u"open(b + '/' + hashlib.sha1(b'HomeDomain-Library/SMS/sms.db')"
                                            ".hexdigest(), 'r+b').write(b'X')"_s
                                         << -20;
        QTest::newRow("wrong password") << u"14.4"_s << pw << u"wrong"_s << none << none << -5;
        QTest::newRow("no password") << u"9.3.5"_s << pw << none << none << none << -5;
        QTest::newRow("fails midway") << u"14.4"_s << none << none << u"errorCode=-30;FailAfterBytes=40000"_s << none
                                      << -30;
        QTest::newRow("unplugged midway") << u"14.4"_s << none << none << u"UnplugAfterBytes=40000"_s << none << -10;
        QTest::newRow("path climbs out") << u"14.4"_s << none << none << none
                                         << insert.arg(u"HomeDomain"_s, u"../../../escaped"_s) << -20;
        QTest::newRow("domain climbs out")
            << u"14.4"_s << none << none << none << insert.arg(u".."_s, u"escaped"_s) << -20;
        QTest::newRow("absolute path") << u"14.4"_s << none << none << none
                                       << insert.arg(u"HomeDomain"_s, u"/escaped"_s) << -20;
        QTest::newRow("through a link") << u"14.4"_s << none << none << none
                                        << insert.arg(u"HomeDomain"_s, u"Library/Notes/link/escaped"_s) << -20;
    }
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
        QMap<QString, QString> expected = tree(files(udid), &inodes);
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
        const QMap<QString, QString> moved = tree(files(udid));
        for (const QString& kv : fault.split(';', Qt::SkipEmptyParts)) {
            QVERIFY(sim.set(udid, u"Sim.Faults."_s + kv.section('=', 0, 0), kv.section('=', 1)));
        }

        const Reply r = run(udid, true, password);
        QVERIFY(r.final);
        QCOMPARE(r.errorCode, errorCode);
        QMap<QString, quint64> inodesAfter;
        QCOMPARE(asText(tree(files(udid), &inodesAfter)), asText(errorCode ? moved : expected));
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
        QCOMPARE(asText(tree(files(udid))), asText(tree(src)));
    }

    // The faults a test can set in Sim.Faults, and the device states the helper refuses.
    void faults_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("restore");
        QTest::addColumn<int>("errorCode"); // 1: no final answer
        for (int code : {-38, -37, -36, -35, -30, -21, -20, -19, -10, -2, -1}) {
            QTest::addRow("backup %d", code) << u"errorCode=%1"_s.arg(code) << false << code;
        }
        QTest::newRow("restore -36") << u"errorCode=-36"_s << true << -36;
        QTest::newRow("restore -20") << u"errorCode=-20"_s << true << -20;
        QTest::newRow("positive code") << u"errorCode=30"_s << false << -30;
        QTest::newRow("restore only") << u"errorCode=-20;errorCodeOperation=restore"_s << false << 0;
        QTest::newRow("backup fails midway") << u"errorCode=-30;FailAfterBytes=40000"_s << false << -30;
        QTest::newRow("unplugged midway") << u"UnplugAfterBytes=40000"_s << false << -10;
        QTest::newRow("dies midway") << u"HelperDiesAfterBytes=40000"_s << false << 1;
        QTest::newRow("silent") << u"HelperSilent=true"_s << false << 1;
        QTest::newRow("not plugged in") << u"!Sim.Connected=false"_s << false << -2;
        QTest::newRow("no such device") << u"!missing"_s << false << -2;
    }
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
        const QMap<QString, QString> before = tree(files(udid));
        const bool silent = fault.startsWith(u"HelperSilent"_s);
        const Reply r = run(fault == u"!missing"_s ? u"missing"_s : udid, restore, {}, silent ? 1500 : 60000);
        QCOMPARE(r.final, errorCode != 1);
        QCOMPARE(r.errorCode, errorCode == 1 ? 0 : errorCode);
        QCOMPARE(r.silent, silent);
        QCOMPARE(r.exit, fault.startsWith(u"HelperDies"_s) ? QProcess::CrashExit : QProcess::NormalExit);
        if (!restore) { // a run that stopped after its first write no longer looks finished
            QCOMPARE(statusOf(udid), fault.contains(u"Bytes"_s) ? u"uploading"_s : u"finished"_s);
        }
        QCOMPARE(asText(tree(files(udid))), asText(before));
        if (fault.startsWith(u"Unplug"_s)) {
            QString xml;
            QVERIFY(sim.tool({u"cat"_s, u"--udid"_s, udid}, &xml));
            QVERIFY(xml.contains(u"<key>Connected</key>\n\t\t<false/>"_s));
        }
    }
};

QTEST_GUILESS_MAIN(SimBackupTest)
#include "tst_simbackup.moc"
