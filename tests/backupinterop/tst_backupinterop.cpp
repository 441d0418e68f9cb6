// The backup store and the vexlar-backup command line against backups written
// by an independent device-side peer (devicebackup.py), in both directions.

#include "app/paths.h"
#include "backup/backupjournal.h"
#include "backup/backupmanifest.h"
#include "backup/mbdbparser.h"
#include "sqlite/sqlite3db.h"
#include "tests/app/datarows.h"
#include "tests/backup/backupfixture.h"
#include "tests/backupinterop/peer.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

const char kUdid[] = "00008030-001a2b3c4d5e6f70";
const char kDeviceName[] = "Test iPhone";

struct SourceFile {
    QString domain, path, fullPath;
    bool isLink = false;
};

QList<SourceFile> walkSource(const QString& root) {
    QList<SourceFile> out;
    QDirIterator it(root, QDir::Files | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QString rel = QDir(root).relativeFilePath(it.filePath());
        const qsizetype slash = rel.indexOf(u'/');
        out.append({rel.left(slash), rel.mid(slash + 1), it.filePath(), it.fileInfo().isSymLink()});
    }
    return out;
}

// What "ls DIR [PREFIX]" must print for the peer's records, as a set of lines.
QSet<QByteArray> expectedListing(const QList<QJsonObject>& peer, const QString& prefix = QString()) {
    QSet<QByteArray> lines;
    for (const QJsonObject& r : peer) {
        const QString domain = r.value(u"domain"_s).toString();
        if (domain.startsWith(prefix)) {
            lines.insert(u"%1\t%2\t%3\t%4"_s.arg(domain, r.value(u"path"_s).toString().replace(u'\t', "\\t"_L1))
                             .arg(r.value(u"size"_s).toInteger())
                             .arg((r.value(u"mode"_s).toInt() & 0x4000) ? 1 : 0)
                             .toUtf8());
        }
    }
    return lines;
}

QSet<QByteArray> lineSet(const QByteArray& out) {
    const QList<QByteArray> lines = out.trimmed().split('\n');
    return QSet<QByteArray>(lines.begin(), lines.end());
}

mode_t modeOf(const QString& path) {
    struct stat st {};
    ::stat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 07777;
}

QString hex(const MBDBParser::_MBDBBinary& b) {
    return b.isValid() ? QString::fromLatin1(b.data.toHex()) : QString();
}

} // namespace

class TestBackupInterop : public QObject {
    Q_OBJECT

    QTemporaryDir m_tmp;
    QTemporaryDir m_cliTmp; // the temporary folder of the command line and of this process
    QString m_src;
    int m_counter = 0;
    QString m_plainDb; // shared by the usage rows, which never change it
    QString m_encryptedDb;
    struct Pristine {
        QString dir, before, after;
    };
    QHash<QString, Pristine> m_pristine; // killedClean's backups by variant

    void variantRows() {
        QTest::addColumn<BackupVariant>("variant");
        for (const auto& [name, v] : backupVariants()) {
            QTest::newRow(name) << v;
        }
    }

    // A fresh backup of the source tree in a folder named by the device's identifier.
    QString freshBackup(const BackupVariant& v) {
        // Characters that mean something in a URI must stay part of the path.
        const QString dir = m_tmp.filePath(QString::number(++m_counter) + u" ?#%41/"_s + QLatin1String(kUdid));
        return writeBackup(v, m_src, dir) ? dir : QString();
    }

    void unlockAndParse(BackupManifest& m, const BackupVariant& v) {
        m.readManifestInfo();
        QCOMPARE(m.info.isEncrypted, v.encrypted());
        if (v.encrypted()) {
            QVERIFY(m.setPasscode(v.password));
        }
        m.parseInfo();
    }

    // pipeTo: a shell command reading the output, as in "vexlar-backup ls DIR | head -1".
    PeerResult runCli(const QStringList& args, const QString& password = {}, const QString& pipeTo = {}) {
        QProcessEnvironment env = cleanEnvironment();
        if (!password.isNull()) {
            env.insert(u"VEXLAR_BACKUP_PASSWORD"_s, password);
        }
        env.insert(u"TMPDIR"_s, m_cliTmp.path());
        if (pipeTo.isEmpty()) {
            return runProgram(QStringLiteral(VEXLAR_BACKUP_CLI), args, env);
        }
        return runProgram(
            u"/bin/sh"_s,
            QStringList{u"-c"_s, u"\"$0\" \"$@\" | "_s + pipeTo, QStringLiteral(VEXLAR_BACKUP_CLI)} + args, env);
    }

private slots:
    void initTestCase() {
        qputenv("TMPDIR", QFile::encodeName(m_cliTmp.path()));
        m_src = m_tmp.filePath(u"src"_s);
        // The large file is big enough that the command line reports progress while extracting it.
        PeerResult r = runPeer({u"gen-src"_s, m_src, u"--large"_s, u"1500000"_s});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY(walkSource(m_src).size() > 20);
        m_plainDb = freshBackup({"db", "14.3", QString(), false});
        m_encryptedDb = freshBackup({"db", "14.3", peerPassword(), false});
    }

    // The store reads and copies out what the peer wrote; then vexlar-backup describes, lists and extracts it.
    void readAndCopy_data() { variantRows(); }
    void readAndCopy() {
        QFETCH(BackupVariant, variant);
        const QString dir = freshBackup(variant);
        QVERIFY(!dir.isEmpty());

        BackupManifest m(dir);
        m.readManifestInfo();
        // The display name is the device's alone: the folder is named by the identifier.
        QCOMPARE(QStringList({m.info.deviceName, m.info.uniqueDeviceId, m.info.productVersion, m.info.productType,
                              m.displayName}),
                 QStringList({kDeviceName, kUdid, variant.version, u"iPhone12,1"_s, kDeviceName}));
        QCOMPARE(m.info.date, QFileInfo(QDir(dir).filePath(u"Status.plist"_s)).lastModified());
        QCOMPARE(m.info.isEncrypted, variant.encrypted());
        if (variant.encrypted()) {
            // A wrong password leaves nothing unlocked or decrypted behind (near misses: tst_passcodedlg).
            QVERIFY(!m.setPasscodeNoUIThrow(u"wrong"_s));
            QVERIFY(m.passcode.isEmpty() && m.manifestDbKey.isEmpty() && m.decryptedManifestDbPath.isEmpty());
            QVERIFY(m.setPasscode(variant.password));
            // A wrong password after the right one keeps the unlocked state: every copy below still decrypts.
            QVERIFY(!m.setPasscodeNoUIThrow(u"wrong"_s));
        }
        QVERIFY(!QFileInfo::exists(QDir(dir).filePath(u"Manifest-decrypted.db"_s)));
        // The plain manifest lives in a private folder of its own, in the temporary folder cleanup() checks.
        QCOMPARE(modeOf(m.decryptedManifestDbPath), mode_t(variant.encryptedManifestDb() ? 0600 : 0));
        QCOMPARE(m.decryptedManifestDbPath.isEmpty() ? 0 : modeOf(QFileInfo(m.decryptedManifestDbPath).path()),
                 mode_t(variant.encryptedManifestDb() ? 0700 : 0));
        QVERIFY(m.decryptedManifestDbPath.startsWith(m_cliTmp.path()) || !variant.encryptedManifestDb());
        QCOMPARE(m.manifestDbKey.isEmpty(), !variant.encryptedManifestDb());
        m.parseInfo();

        // Every record as the peer wrote it.
        const QList<QJsonObject> peer = dumpBackup(variant, dir);
        QVERIFY(!peer.isEmpty());
        QCOMPARE(m.items.size(), peer.size());
        for (const QJsonObject& rec : peer) {
            const QString domain = rec.value(u"domain"_s).toString();
            const QString path = rec.value(u"path"_s).toString();
            const QString key = MBDBParser::getFileHashName(domain, path);
            QVERIFY2(m.items.contains(key), qPrintable(domain + u'-' + path));
            const MBDBParser::_MBDBItem& it = m.items[key];
            // The peer's record with our values put in (absent and empty strings alike).
            QJsonObject theirs = rec, ours = rec;
            for (const char* k : {"key", "digest", "target"}) {
                theirs[QLatin1String(k)] = rec.value(QLatin1String(k)).toString();
            }
            for (const auto& [k, v] : {std::pair<const char*, QJsonValue>{"mode", it.mode},
                                       {"size", it.size},
                                       {"mtime", it.lastModified},
                                       {"inode", qint64(it.inode)},
                                       {"protection", it.protectionClass},
                                       {"key", hex(it.encryptionKey)},
                                       {"digest", hex(it.digest)},
                                       {"target", it.linkTarget.toString()}}) {
                ours[QLatin1String(k)] = v;
            }
            QCOMPARE(ours, theirs);
        }

        // Every file copied out byte for byte, with its time.
        QTemporaryDir out;
        int copied = 0;
        for (const SourceFile& f : walkSource(m_src)) {
            const QString key = MBDBParser::getFileHashName(f.domain, f.path);
            QVERIFY2(m.items.contains(key), qPrintable(f.path));
            const MBDBParser::_MBDBItem& it = m.items[key];
            if (f.isLink) {
                QCOMPARE(it.linkTarget.toString(), QFileInfo(f.fullPath).symLinkTarget().section(u'/', -1));
                continue;
            }
            const QString dest = out.filePath(u"sub/dir/%1"_s.arg(copied++));
            std::pair<long long, long long> progress{-1, 0}; // total, done
            m.copyItemThrow(it, dest, &progress, [](long long total, long long done, void* p) {
                *static_cast<std::pair<long long, long long>*>(p) = {total, done};
            });
            QVERIFY2(readAll(dest) == readAll(f.fullPath), qPrintable(f.domain + u'-' + f.path));
            QCOMPARE(QFileInfo(dest).lastModified(), QFileInfo(f.fullPath).lastModified());
            QCOMPARE(QFileInfo(dest).permissions() & 0x7077, QFile::ReadOwner | QFile::WriteOwner); // a user's data
            const qint64 stored = QFileInfo(MBDBParser::getBKFilePath(m.dir, it.backupFileName(), false)).size();
            QVERIFY(stored == 0 || progress == std::pair(stored, stored));
        }
        QVERIFY(copied > 20);
        m.copyFile(nullptr, out.filePath(u"none"_s), nullptr, nullptr);
        QVERIFY(!QFileInfo::exists(out.filePath(u"none"_s)));
        if (variant.encrypted()) {
            // Never ciphertext handed out as content: a class the keybag lacks, or a size the plain text does not
            // have (a data file cut short), is an error naming the file, and nothing is left under the name.
            MBDBParser::_MBDBItem noClass = m.smsDb->item, wrongSize = m.smsDb->item;
            noClass.protectionClass = 12;
            wrongSize.size += 16;
            for (const MBDBParser::_MBDBItem& bad : {noClass, wrongSize}) {
                QVERIFY(thrownText([&] {
                            m.copyItemThrow(bad, out.filePath(u"bad"_s), nullptr, nullptr);
                        }).contains(u"HomeDomain-Library/SMS/sms.db"_s));
                QVERIFY(!QFileInfo::exists(out.filePath(u"bad"_s)));
            }
        }
        // The tree and index rules are the manifest suite's; here only that the peer's names land in them.
        QVERIFY(m.smsDb && m.callHistoryDb && m.cameraImages.size() == 1 && m.cameraVideos.size() == 1);

        // The command line reads the same backup.
        const QString pw = variant.encrypted() ? variant.password : QString();
        // Reading never replays (and so deletes) a journal left in the user's backup.
        const QString journal = QDir(dir).filePath(u"Manifest.db-journal"_s);
        QVERIFY(variant.format != "db"_L1 || writeFile(journal, QByteArray("left by a crashed writer ")));
        const QStringList files = QDir(dir).entryList(QDir::AllEntries | QDir::Hidden);

        PeerResult info = runCli({u"info"_s, dir}, pw);
        QVERIFY2(info.exitCode == 0, info.err.constData());
        for (const QString& line :
             {u"Device:\t%1\n"_s.arg(QLatin1String(kDeviceName)), u"iOS version:\t%1\n"_s.arg(variant.version),
              u"Encrypted:\t%1\n"_s.arg(QLatin1String(variant.encrypted() ? "yes" : "no")),
              u"Manifest:\tManifest.%1"_s.arg(variant.format), u"Records:\t%1 ("_s.arg(peer.size())}) {
            QVERIFY2(info.out.contains(line.toUtf8()), info.out.constData());
        }

        PeerResult ls = runCli({u"ls"_s, dir}, pw);
        QVERIFY2(ls.exitCode == 0, ls.err.constData());
        QCOMPARE(ls.out.count('\n'), peer.size());
        QCOMPARE(lineSet(ls.out), expectedListing(peer));
        QVERIFY(ls.out.contains("HomeDomain\tLibrary/Notes/tab\\there.txt\t17\t0\n"));
        PeerResult lsApps = runCli({u"ls"_s, dir, u"AppDomain"_s}, pw);
        QCOMPARE(lsApps.exitCode, 0);
        QCOMPARE(lineSet(lsApps.out), expectedListing(peer, u"AppDomain"_s));

        struct Extract {
            QString domain, path;
            bool progress;
        };
        for (const Extract& e : {Extract{u"HomeDomain"_s, u"Library/SMS/sms.db"_s, false},
                                 Extract{u"CameraRollDomain"_s, u"Media/DCIM/100APPLE/IMG_0001.JPG"_s, true},
                                 Extract{u"HomeDomain"_s, u"Library/Notes/empty.txt"_s, false}}) {
            const QString dest = out.filePath(u"cli/"_s + QFileInfo(e.path).fileName());
            PeerResult x = runCli({u"extract"_s, dir, e.domain, e.path, dest}, pw);
            QVERIFY2(x.exitCode == 0, x.err.constData());
            const QString source = m_src + u'/' + e.domain + u'/' + e.path;
            QCOMPARE(readAll(dest), readAll(source));
            QCOMPARE(QFileInfo(dest).lastModified(), QFileInfo(source).lastModified());
            QCOMPARE(x.err.contains("Extracting: 100%"), e.progress);
        }
        QCOMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::Hidden), files);
        QCOMPARE(readAll(journal), variant.format == "db"_L1 ? QByteArray("left by a crashed writer ") : QByteArray());

        if (!variant.encrypted()) {
            return;
        }
        // The password from a file (first line, line end dropped); wrong ones are the fault matrix's.
        const QString pwFile = out.filePath(u"pw.txt"_s);
        QVERIFY(writeFile(pwFile, variant.password.toUtf8() + "\n"));
        PeerResult viaFile = runCli({u"--password-file"_s, pwFile, u"ls"_s, dir});
        QVERIFY2(viaFile.exitCode == 0, viaFile.err.constData());
        QCOMPARE(viaFile.out, ls.out);
        QVERIFY(viaFile.err.contains("key derivation rounds"));

        // No password at all: info still describes the backup, ls cannot.
        PeerResult infoNoPw = runCli({u"info"_s, dir});
        QCOMPARE(infoNoPw.exitCode, 0);
        QVERIFY(infoNoPw.out.contains("Records:\tunknown"));
        PeerResult lsNoPw = runCli({u"ls"_s, dir});
        QCOMPARE(lsNoPw.exitCode, 1);
        QVERIFY(lsNoPw.err.contains("VEXLAR_BACKUP_PASSWORD"));
    }

    void putBack_data() { variantRows(); }
    void putBack() {
        QFETCH(BackupVariant, variant);
        const QString dir = freshBackup(variant);
        QVERIFY(!dir.isEmpty());
        const int before = dumpBackup(variant, dir).size();

        BackupManifest m(dir);
        unlockAndParse(m, variant);
        if (QTest::currentTestFailed()) {
            return;
        }
        QHash<QString, MBDBParser::_MBDBItem> items = MBDBParser::parse(m);
        QByteArray key;
        MBDBParser::_MBDBItem templ;
        if (variant.encrypted()) {
            templ = m.firstEncryptedItem(key);
            QCOMPARE(key.size(), 32);
        }

        QTemporaryDir work;
        struct PutBack {
            QString path;
            QByteArray data;
        };
        // Edited files (their data files are replaced) and a new one two folders deep; sizes around the cipher's
        // 16-byte block and 8 KiB.
        QList<PutBack> files{{u"Library/SMS/sms.db"_s, QByteArray("edited sms ").repeated(1818)},
                             {u"Library/New/Deep/new.bin"_s, QByteArray("new!").repeated(2048)},
                             {u"Library/Notes/empty.txt"_s, QByteArray("")}};
        for (int n : {15, 16, 17, 8191, 8193}) {
            files.append({u"Library/Sizes/f%1.bin"_s.arg(n), QByteArray(n, char('a' + n % 26))});
        }
        const QString domain = u"HomeDomain"_s;
        for (const PutBack& pb : files) {
            const QString plain = work.filePath(QFileInfo(pb.path).fileName());
            QVERIFY(writeFile(plain, pb.data));
            // Replaced over the existing data file; size 0: the record takes the size of the file.
            const QString dest = MBDBParser::getBKFilePath(m.dir, MBDBParser::getFileHashName(domain, pb.path), true);
            BackupManifest::encryptFileThrow(plain, dest, key);
            QString error;
            QVERIFY2(MBDBParser::appendFile(items, plain, domain, pb.path, 0, variant.encrypted() ? &templ : nullptr,
                                            &error),
                     qPrintable(error));
        }
        const QString dropped = MBDBParser::getFileHashName(domain, u"Library/Sizes/f1.bin"_s);
        QVERIFY(items.contains(dropped));
        items[dropped].deleted = true;
        // An existing row of Manifest.db is updated in place, not deleted and inserted again.
        auto smsRowId = [&](const BackupManifest& b) {
            Sqlite3DB db;
            db.openThrow(b.manifestDbPathInUse(), SQLITE_OPEN_READONLY);
            Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select rowid as r from Files where fileID=?")
                                                .addTextParam(MBDBParser::getFileHashName(domain, files[0].path)));
            return c.moveNext() ? c.getInt64(u"r"_s) : -1;
        };
        const qint64 rowId = variant.format == "db"_L1 ? smsRowId(m) : 0;
        MBDBParser::save2File(items.values(), m);
        QVERIFY(QDir(dir).entryList({u"*.new-*"_s, u"*-decrypted*"_s}).isEmpty());

        // The device side decrypts every file, finds the digests kept consistent and the new contents.
        const QString view = peerView(dir, variant.password) + u'\n';
        for (const PutBack& pb : files) {
            const QString sha1 = QCryptographicHash::hash(pb.data, QCryptographicHash::Sha1).toHex();
            QVERIFY2(view.contains(u"\n%1/%2\tf %3 %4\n"_s.arg(domain, pb.path).arg(pb.data.size()).arg(sha1)),
                     qPrintable(view));
        }
        const QList<QJsonObject> after = dumpBackup(variant, dir);
        QCOMPARE(after.size(), before - 1 + 3); // f1.bin gone; Library/New, Library/New/Deep and new.bin added
        for (const QJsonObject& rec : after) {
            const QString path = rec.value(u"path"_s).toString();
            QVERIFY(path != "Library/Sizes/f1.bin"_L1);
            for (const PutBack& pb : files) {
                QVERIFY(path != pb.path || rec.value(u"size"_s).toInteger() == pb.data.size());
            }
        }
        if (variant.encryptedManifestDb()) {
            QCOMPARE(QDir(dir).entryList({u"Manifest.db-bak*"_s}, QDir::Files).size(), 1);
        }

        // And a fresh reader on our side sees the same records (their contents are the peer's to check).
        BackupManifest again(dir);
        unlockAndParse(again, variant);
        if (QTest::currentTestFailed()) {
            return;
        }
        QCOMPARE(again.items.size(), after.size());
        QCOMPARE(variant.format == "db"_L1 ? smsRowId(again) : 0, rowId);
    }

    void cliUsage_data() {
        addRowsFrom(QStringLiteral(VEXLAR_SOURCE_DIR "/tests/backupinterop/tst_backupinterop.json"), "cliUsage");
    }
    void cliUsage() {
        QFETCH(QStringList, args);
        QFETCH(bool, encrypted);
        QFETCH(int, exitCode);
        QFETCH(QString, stderrHas);
        QTemporaryDir scratch;
        const QString out = scratch.filePath(u"out/file"_s);
        for (QString& a : args) {
            a.replace(u"@DIR@"_s, encrypted ? m_encryptedDb : m_plainDb);
            a.replace(u"@OUT@"_s, out);
            a.replace(u"@EMPTY@"_s, scratch.path());
        }
        stderrHas.replace(u"@EMPTY@"_s, scratch.path());
        PeerResult r = runCli(args, encrypted ? peerPassword() : QString());
        QCOMPARE(r.exitCode, exitCode);
        QVERIFY2(r.err.contains(stderrHas.toUtf8()), r.err.constData());
        if (exitCode == 0) {
            QVERIFY(r.out.contains("Usage:"));
        }
        // A failed extraction leaves nothing behind, not even a partial file.
        QCOMPARE(QFileInfo(out).dir().entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    // The decrypted manifest never enters the backup folder and is gone with the
    // process however it ends (cleanup() checks the temporary folder).
    void cliLeavesNoPlaintext() {
        const QString dir = m_tmp.filePath(u"synth"_s);
        // More listing than a pipe holds, so the listing is cut by SIGPIPE midway.
        PeerResult synth = runPeer({u"synth"_s, dir, u"--records"_s, u"3000"_s, u"--password"_s, peerPassword()});
        QVERIFY2(synth.exitCode == 0, synth.err.constData());
        const QStringList files = QDir(dir).entryList(QDir::AllEntries | QDir::Hidden);
        QCOMPARE(runCli({u"ls"_s, dir}, peerPassword(), u"head -1"_s).out.count('\n'), 1);
        QCOMPARE(runCli({u"ls"_s, dir}, u"wrong"_s).exitCode, 3);
        QFile db(dir + u"/Manifest.db"_s);
        QVERIFY(db.resize(db.size() - 5));
        PeerResult torn = runCli({u"ls"_s, dir}, peerPassword());
        QCOMPARE(torn.exitCode, 1);
        QVERIFY2(torn.err.contains("POLARSSL_ERR_AES_INVALID_INPUT_LENGTH"), torn.err.constData());
        QCOMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::Hidden), files);
    }

    // A Manifest.db from a real device (stored decrypted), given a Manifest.plist
    // of our own: the command line and the peer must list the same records.
    void realManifestDb() {
        const QString real = QStringLiteral(VEXLAR_REALDATA_DIR "/mvt/Manifest.db");
        if (!QFileInfo::exists(real)) {
            QSKIP("no real Manifest.db here");
        }
        QTemporaryDir dir;
        QVERIFY(QFile::copy(real, dir.filePath(u"Manifest.db"_s)));
        QFile(dir.filePath(u"Manifest.db"_s)).setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        QVERIFY(
            writeFile(dir.filePath(u"Manifest.plist"_s),
                      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Lockdown</key><dict><key>ProductVersion"
                      "</key><string>14.3</string><key>DeviceName</key><string>Real</string></dict><key>IsEncrypted"
                      "</key><false/><key>Date</key><date>2021-12-03T00:00:00Z</date></dict></plist>"));

        const QList<QJsonObject> peer = dumpBackup({"db", "14.3", QString(), false}, dir.path());
        QCOMPARE(peer.size(), 3721);
        PeerResult ls = runCli({u"ls"_s, dir.path()});
        QVERIFY2(ls.exitCode == 0, ls.err.constData());
        QCOMPARE(ls.out.count('\n'), peer.size());
        QCOMPARE(lineSet(ls.out), expectedListing(peer));
        QVERIFY(ls.out.contains("HomeDomain\tLibrary/SMS/sms.db\t278528\t0\n"));
        PeerResult info = runCli({u"info"_s, dir.path()});
        QCOMPARE(info.exitCode, 0);
        QVERIFY2(info.out.contains("Records:\t3721 (1089 files, 2618 folders, 14 links)"), info.out.constData());
    }

    // A clean killed at each step of its write sequence (tags: fileutil.h), then a command on the backup (the
    // second one killed too while it recovers, where a row says so): the peer reads the backup exactly as before
    // or exactly as after the clean, and nothing of the edit is left in the folder.
    void killedClean_data() {
        QTest::addColumn<BackupVariant>("variant");
        QTest::addColumn<QString>("killAt");
        QTest::addColumn<QString>("recoveryKilledAt");
        for (const auto& [name, v] : {std::pair<const char*, BackupVariant>{"mbdb-plain", {"mbdb", "9.3.5", {}}},
                                      {"mbdb-encrypted", {"mbdb", "9.3.5", peerPassword()}},
                                      {"db-plain", {"db", "14.3", {}}},
                                      {"db-encrypted", {"db", "14.3", peerPassword()}}}) {
            QStringList steps{u"journal:1"_s, u"aside:1"_s, u"recovering:1"_s};
            for (int n = 1; n <= (v.encryptedManifestDb() ? 4 : 3); ++n) {
                steps << u"renaming:%1"_s.arg(n) << u"renamed:%1"_s.arg(n);
            }
            for (const QString& step : steps) {
                QTest::addRow("%s %s", name, qPrintable(step)) << v << step << QString();
            }
            QTest::addRow("%s renamed:2, recovery killed", name) << v << u"renamed:2"_s << u"recovering:1"_s;
            QTest::addRow("%s renamed:3, recovery killed", name) << v << u"renamed:3"_s << u"recovering:1"_s;
        }
    }
    void killedClean() {
        QFETCH(BackupVariant, variant);
        QFETCH(QString, killAt);
        QFETCH(QString, recoveryKilledAt);
        const QString key = variant.format + variant.password;
        if (!m_pristine.contains(key)) { // the backup and its views before and after a clean, once per variant
            const QString pristine = freshBackup(variant), cleaned = pristine + u"-cleaned"_s;
            QVERIFY(!pristine.isEmpty() && runProgram(u"/bin/cp"_s, {u"-a"_s, pristine, cleaned}, {}).exitCode == 0);
            QCOMPARE(runCli({u"clean"_s, cleaned, u"--messages"_s}, variant.password).exitCode, 0);
            m_pristine[key] = {pristine, peerView(pristine, variant.password), peerView(cleaned, variant.password)};
        }
        const auto& [pristine, before, after] = m_pristine.value(key);
        QVERIFY(before != after && !after.contains(u"BAD"_s));
        const QString dir = m_tmp.filePath(QString::number(++m_counter));
        QCOMPARE(runProgram(u"/bin/cp"_s, {u"-a"_s, pristine, dir}, {}).exitCode, 0);
        auto run = [&](const QStringList& args, const QString& killAt) {
            qputenv("VEXLAR_TEST_KILL_AT", killAt.toUtf8());
            const PeerResult r = runCli(args, variant.password);
            qunsetenv("VEXLAR_TEST_KILL_AT");
            return r;
        };
        QCOMPARE(run({u"clean"_s, dir, u"--messages"_s}, killAt).exitCode, -1);
        // Any command finishes the edit first; info and scan take turns.
        const QStringList command =
            m_counter % 2 ? QStringList{u"info"_s, dir} : QStringList{u"scan"_s, dir, u"--messages"_s};
        if (!recoveryKilledAt.isEmpty()) {
            QCOMPARE(run(command, recoveryKilledAt).exitCode, -1);
        }
        const PeerResult recovered = run(command, {});
        QVERIFY2(recovered.exitCode == 0, recovered.err.constData());
        QVERIFY2(recovered.err.contains("An interrupted change") || killAt == u"renaming:1"_s,
                 recovered.err.constData());
        const QString view = peerView(dir, variant.password);
        QVERIFY2(view == before || view == after, qPrintable(view));
        const auto files = [](const QString& d) {
            QStringList out;
            for (QDirIterator it(d, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();) {
                out << QDir(d).relativeFilePath(it.next());
            }
            out.removeIf([](const QString& n) { return n.startsWith(u"Manifest.db-bak"_s); });
            out.sort();
            return out;
        };
        QCOMPARE(files(dir), files(pristine));
        // A later program sweeps the plain copies the killed one left in the temporary folder.
        QCOMPARE(run({u"scan"_s, dir, u"--messages"_s}, {}).exitCode, 0);
    }

    // A second writer of a backup waits briefly for the first, then refuses with its reason and changes nothing.
    void secondWriterRefused() {
        const QString dir = freshBackup({"db", "14.3", QString(), false});
        const QString before = peerView(dir);
        backupjournal::FolderLock first(dir);
        const PeerResult second = runCli({u"clean"_s, dir, u"--messages"_s});
        QCOMPARE(second.exitCode, 1);
        QVERIFY2(second.err.contains("Another program is changing the backup"), second.err.constData());
        QCOMPARE(peerView(dir), before);
    }

    // A clean keeps the folder as it was, as many times as the settings say; undo puts the newest back byte for
    // byte, and refuses, changing nothing, while a file it links to differs from what it kept.
    void restorePoints() {
        const QString dir = freshBackup({"db", "14.3", QString(), false});
        const auto tree = [&dir]() -> QStringList {
            QStringList out;
            for (QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();) {
                QFile f(it.next());
                const bool readable = f.open(QIODevice::ReadOnly);
                out << QDir(dir).relativeFilePath(f.fileName()) + QLatin1Char(' ') +
                           (readable ? QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha1).toHex()
                                     : QByteArray("unreadable"));
            }
            out.sort();
            return out;
        };
        g_setRestorePointsToKeep(2);
        QList<QStringList> states{tree()};
        for (const QString& category : {u"--safari"_s, u"--cache"_s, u"--messages"_s}) {
            const PeerResult cleaned = runCli({u"clean"_s, dir, category});
            QVERIFY2(cleaned.exitCode == 0, cleaned.err.constData());
            states << tree();
        }
        g_setRestorePointsToKeep(1);
        QVERIFY(states[2] != states[3]);
        const QJsonArray points = QJsonDocument::fromJson(runCli({u"restore-points"_s, dir, u"--json"_s}).out).array();
        QCOMPARE(points.size(), 2); // newest first
        QCOMPARE(points[0][u"cleaned"_s].toArray(), QJsonArray{u"messages"_s});
        QCOMPARE(points[1][u"cleaned"_s].toArray(), QJsonArray{u"cache"_s});

        QString linked; // a data file the newest restore point shares with the folder
        for (QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories); it.hasNext() && linked.isEmpty();) {
            struct stat st {};
            const QString path = it.next();
            linked = ::stat(QFile::encodeName(path).constData(), &st) == 0 && st.st_nlink > 1 ? path : QString();
        }
        QFile file(linked);
        QVERIFY(!linked.isEmpty() && file.open(QIODevice::ReadWrite));
        const QByteArray kept = file.readAll();
        struct stat keptTimes {};
        QCOMPARE(::stat(QFile::encodeName(linked).constData(), &keptTimes), 0);
        QVERIFY(file.write("changed in place") && file.flush());
        const QStringList changed = tree();
        QCOMPARE(runCli({u"undo"_s, dir}).exitCode, 1);
        QCOMPARE(tree(), changed);
        QVERIFY(file.resize(kept.size()) && file.flush());
        file.close();
        const timespec times[2] = {keptTimes.st_atim, keptTimes.st_mtim};
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(linked).constData(), times, 0), 0);
        QCOMPARE(runCli({u"undo"_s, dir}).exitCode, 0);
        QCOMPARE(tree(), states[2]);
        QCOMPARE(runCli({u"undo"_s, dir}).exitCode, 0);
        QCOMPARE(tree(), states[1]);
        QCOMPARE(runCli({u"undo"_s, dir}).exitCode, 1); // the oldest went when the third clean succeeded
    }

    void cleanup() {
        QCOMPARE(QDir(m_cliTmp.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList());
    }
};

QTEST_GUILESS_MAIN(TestBackupInterop)
#include "tst_backupinterop.moc"
