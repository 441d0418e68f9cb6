// The cleaning workers. The app listing and app cache workers against the simulated device framework, driven
// directly; the backup cleaning workers on fixture backups of all four shapes and on real device databases,
// judged by the independent Python peer's reading of the backup before and after. A reporter records what they say.

#include "app/paths.h"
#include "backup/backupmanifest.h"
#include "cleaners/iosclearallmessagesthread.h"
#include "cleaners/iosclearappcachethread.h"
#include "cleaners/iosclearcallsthread.h"
#include "cleaners/iosclearmmsattathread.h"
#include "cleaners/iosclearsafarithread.h"
#include "cleaners/iosclearsysthread.h"
#include "cleaners/iosloadappthread.h"
#include "sqlite/sqlite3db.h"
#include "tests/app/datarows.h"
#include "tests/backup/backupfixture.h"
#include "tests/cleaners/recordingreporter.h"
#include "tests/device/devicereceiver.h"
#include "tests/device/simfixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTranslator>
#include <numeric>
#include <sys/resource.h>

using namespace Qt::StringLiterals;

namespace {

// The tables of the data-driven cases, and their other fixture data.
const QString kTables = QStringLiteral(VEXLAR_SOURCE_DIR "/tests/cleaners/tst_cleaners.json");

BackupCleanerThread* makeWorker(const QString& name, BackupManifest& m, ProgressReporter& r) {
    using T = BackupCleanerThread*;
    return name == "sys"_L1        ? T(new IOSClearSysThread(m, r))
           : name == "mmsatta"_L1  ? T(new IOSClearMMSAttaThread(m, r))
           : name == "messages"_L1 ? T(new IOSClearAllMessagesThread(m, r))
           : name == "safari"_L1   ? T(new IOSClearSafariThread(m, r))
                                   : T(new IOSClearCallsThread(m, r));
}

// Bytes of a device-like database (write-ahead log mode) from '|'-separated SQL, and of its log: statements after
// a "#" stay in the log.
QPair<QByteArray, QByteArray> makeDb(const QString& sql) {
    QTemporaryDir dir;
    const QString path = dir.filePath(u"x.db"_s);
    Sqlite3DB db;
    db.openThrow(path, 6);
    for (const QString& statement :
         (u"pragma journal_mode=wal|pragma wal_autocheckpoint=0|"_s + sql + (sql.contains(u'#') ? u""_s : u"|#"_s))
             .split(u'|')) {
        db.executeThrow(Sqlite3Sql(statement == "#"_L1 ? u"pragma wal_checkpoint(truncate)"_s : statement));
    }
    return {readAll(path), readAll(path + u"-wal"_s)};
}

const QString kRealData = QStringLiteral(VEXLAR_REALDATA_DIR "/");

// tst_cleaners.json: the device files, the databases' SQL, what each worker removes and edits, the cases.
QStringList fixtureList(const char* group, const char* name = nullptr) {
    static const QJsonObject o = jsonFile(kTables);
    const QJsonValue v = o[QLatin1String(group)];
    return (name ? v[QLatin1String(name)] : v).toVariant().toStringList();
}
// "H/Library/x" -> "HomeDomain/Library/x": one letter per domain keeps the tables short.
QString key(const QString& token) {
    return fixtureList("domains").value(u"HhMRWSA"_s.indexOf(token.at(0))) + token.mid(1);
}

// The device files: "<domain letter><path>" for a folder, "=<size>" or "=<database>" for a file.
QList<FixtureFile> deviceFiles(const QString& variant) {
    QHash<QString, QPair<QByteArray, QByteArray>> dbs{
        {u"sms"_s, makeDb(fixtureList("sql", variant == "ios5"_L1 ? "sms-ios5" : "sms").join(u'|'))},
        {u"history"_s, makeDb(variant == "notables"_L1 ? u"create table history_items(i)"_s
                                                       : fixtureList("sql", "history").join(u'|').remove(u"|#"_s))},
        {u"homehistory"_s, makeDb(fixtureList("sql", "history").join(u'|'))},
        {u"calls"_s, makeDb(fixtureList("sql", "calls").join(u'|'))},
        {u"store"_s, makeDb(fixtureList("sql", "store").join(u'|'))}};
    if (variant == "corrupt"_L1) {
        dbs[u"sms"_s] = {QByteArray("not a database at all ").repeated(300), {}};
    }
    if (variant.contains(u'=')) { // a real database in place of one of ours: "<name>=<file>"
        const QString file = kRealData + variant.section(u'=', 1);
        dbs[variant.section(u'=', 0, 0)] = qMakePair(readAll(file), readAll(file + u"-wal"_s));
    }
    QList<FixtureFile> files;
    for (const QString& token : fixtureList("files")) {
        const QString k = key(token.section(u'=', 0, 0)), content = token.section(u'=', 1);
        const auto db = dbs.value(content.section(u'-', 0, 0));
        const QByteArray bytes = content.isEmpty()             ? QByteArray()
                                 : content.at(0).isDigit()     ? QByteArray(content.toInt(), 'd')
                                 : content.endsWith("-wal"_L1) ? db.second
                                                               : db.first;
        if (content.isEmpty() || !bytes.isEmpty()) { // null: a folder; a database without a log has no -wal record
            files << fixtureEntry(qPrintable(k.section(u'/', 0, 0)), k.section(u'/', 1), bytes);
        }
    }
    for (int i = 0; variant == "padded"_L1 && i < 4000; ++i) {
        files << fixtureEntry("HomeDomain", u"Library/Padding/folder-%1"_s.arg(i));
    }
    return files;
}

// The peer's reading: every record, and for each database named its integrity, journal byte, rows and digest check.
QJsonObject peerState(const FixtureBackup& b, const QStringList& dbs) {
    static const char* script = R"(
import hashlib, json, os, sqlite3, sys, tempfile
sys.path.insert(0, sys.argv[1]); import devicebackup as p
b = p.OpenBackup(sys.argv[2], sys.argv[3].encode() if sys.argv[3] else None)
recs = {r["domain"] + "/" + r["path"]: r for r in b.records()}
row = lambda r: [r["size"], r["digest"].hex() if isinstance(r["digest"], bytes) else None, r["mode"], r["protection"]]
out = {"records": {k: row(r) for k, r in recs.items()}, "dbs": {}}
with tempfile.TemporaryDirectory() as t:
    for k in sys.argv[5:]:
        db = os.path.join(t, str(len(out["dbs"])))
        [open(db + s, "wb").write(b.read_plain(recs[k + s])) for s in ("", "-wal") if k + s in recs]
        plain, c = open(db, "rb").read(), sqlite3.connect(db)
        names = {n for (n,) in c.execute("select name from sqlite_master where type='table'")} & set(json.load(open(sys.argv[4]))["dataTables"])
        rows = sum(c.execute("select count(*) from " + n).fetchone()[0] for n in names)
        out["dbs"][k] = [c.execute("pragma integrity_check").fetchone()[0], plain[18], rows,
                         hashlib.sha1(plain).hexdigest() == out["records"][k][1]]
print(json.dumps(out)))";
    const QByteArray out = runPython(QStringList{u"-c"_s, QString::fromLatin1(script),
                                                 QStringLiteral(VEXLAR_SOURCE_DIR "/tests/backupinterop"), b.dir,
                                                 b.encrypted() ? b.password : QString(), kTables} +
                                     dbs);
    const QJsonObject state = QJsonDocument::fromJson(out).object();
    return state.isEmpty() ? (qWarning("peer: %s", out.constData()), state) : state;
}

// Every file of the backup folder with its content.
QMap<QString, QByteArray> folderFiles(const QString& dir) {
    QMap<QString, QByteArray> out;
    for (QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
        const QString path = it.next();
        out.insert(path, readAll(path));
    }
    return out;
}

} // namespace

class TestCleaners : public QObject {
    Q_OBJECT

    SimStore m_sim;
    DeviceReceiver m_receiver;
    QString m_udid;
    IOSDevice m_device;
    QTranslator m_translator;

    QString container(const QString& appId) const { return m_sim.deviceDir(m_udid) + u"/files/AppDomain-"_s + appId; }
    bool setFault(const QString& name, const QString& value) {
        return m_sim.set(m_udid, u"Sim.Faults."_s + name, value);
    }

    QByteArray cachedIcon(const QString& appId) const {
        return readAll(m_device.appDir(appId).filePath(u"iTunesArtwork"_s));
    }

    qint64 cacheOnDisk(const QString& appId) const {
        qint64 total = 0;
        for (const QString& entry : fileTree(container(appId) + u"/Library/Caches"_s).values() +
                                        fileTree(container(appId) + u"/Library/tmp"_s).values()) {
            total += treeSize(entry);
        }
        return total;
    }

    QTemporaryDir m_backups;
    QTemporaryDir m_tmp; // the backup workers' system temporary folder: empty again after every run

private slots:
    void initTestCase() {
        std::signal(SIGXFSZ, SIG_IGN);
        QString why;
        QVERIFY2(m_sim.init(&why), qPrintable(why));
        if (m_translator.load(u":/en.qm"_s)) {
            QCoreApplication::installTranslator(&m_translator);
        }
        m_udid = m_sim.create({u"--name"_s, u"Worker Phone"_s, u"--product-type"_s, u"iPhone10,3"_s, u"--ios"_s,
                               u"13.3"_s, u"--preset"_s, u"demo"_s});
        QVERIFY(!m_udid.isEmpty());
        g_listen_ctx = _mobiledevice_listen_ctx(&m_receiver, "iosDeviceConnected", "iosDeviceDisconnected");
        QVERIFY(mobiledevice_listen(&g_listen_ctx));
        QVERIFY((m_device.device = m_receiver.waitFor(m_udid, 30000)));
        m_device.udid = m_udid;
        g_delDirCascade(m_device.cacheDir().absolutePath());
    }

    void listingAndIconCache() {
        // An icon larger than the copy buffer must arrive whole; one above the cap is not cached.
        const QString bigId = u"com.example.pixelpost"_s;
        QByteArray big(700000, '\0');
        for (int i = 0; i < big.size(); ++i) {
            big[i] = char((quint32(i) * 7919u) >> 3);
        }
        QVERIFY(writeFile(container(bigId) + u"/iTunesArtwork"_s, big));
        QVERIFY(writeFile(container(u"com.example.streamly"_s) + u"/iTunesArtwork"_s,
                          QByteArray(IOSLoadAppThread::kMaxIconBytes + 1, 'i')));
        // An App Store app's container is refused: the loop goes on, and its icon is SpringBoard's, the same picture.
        QVERIFY(setFault(u"VendContainerFail"_s, uR"(["com.example.trailmap"])"_s));
        const auto vendable = qScopeGuard([&] { setFault(u"VendContainerFail"_s, u"null"_s); });
        RecordingReporter reporter(true);
        IOSLoadAppThread worker(m_device, reporter);
        worker.start();
        QVERIFY(worker.wait(120000));
        QCOMPARE(reporter.errors, QStringList());
        QCOMPARE(reporter.successes, QStringList{QString()});
        QVERIFY(worker.apps.size() >= 3);
        QCOMPARE(reporter.updates.last().percent, 100);
        for (const _IOSAppInfo& app : worker.apps) {
            QVERIFY(!app.appName.isEmpty());
            if (app.appId == QLatin1String("com.example.widgetkit")) {
                QCOMPARE(app.appName, app.appId);
            }
            const QString local = m_device.appDir(app.appId).filePath(u"iTunesArtwork"_s);
            QFile remote(container(app.appId) + u"/iTunesArtwork"_s);
            if (remote.open(QIODevice::ReadOnly) && remote.size() <= IOSLoadAppThread::kMaxIconBytes) {
                QCOMPARE(cachedIcon(app.appId), remote.readAll());
            } else {
                QVERIFY(!QFile::exists(local) && !QFile::exists(local + u".part"_s));
            }
        }
        QCOMPARE(cachedIcon(bigId), big);
        QVERIFY(!cachedIcon(u"com.example.trailmap"_s).isEmpty()); // compared with the device's above

        // A cached icon is never fetched again; a missing one is tried again.
        QVERIFY(writeFile(container(bigId) + u"/iTunesArtwork"_s, "changed on the device"));
        const QString ledgerly = u"com.example.ledgerly"_s;
        QVERIFY(writeFile(container(ledgerly) + u"/iTunesArtwork"_s, "now it has one"));
        RecordingReporter again(true);
        IOSLoadAppThread second(m_device, again);
        second.start();
        QVERIFY(second.wait(120000));
        QCOMPARE(again.successes.size(), 1);
        QCOMPARE(cachedIcon(bigId), big);
        QCOMPARE(cachedIcon(ledgerly), QByteArray("now it has one"));
    }

    void cacheWorker_data() { addRowsFrom(kTables, "cacheWorker"); }

    void cacheWorker() {
        QFETCH(bool, scanOnly);
        const QString noTmp = u"com.example.fitloop"_s;
        const QString plain = u"com.example.skycast"_s;
        // An app without Library/tmp counts its Caches alone.
        QDir(container(noTmp) + u"/Library/tmp"_s).removeRecursively();
        // The device refuses to delete one file, lists a vanished one, and offers its Documents
        // as a cache entry, resolving ".." if asked.
        QVERIFY(writeFile(container(plain) + u"/Library/Caches/locked.bin"_s, QByteArray(1000, 'l')));
        QVERIFY(setFault(u"AfcListExtra"_s, uR"({"/Library/Caches": ["../../Documents", "gone.tmp"]})"_s));
        QVERIFY(setFault(u"AfcDotDot"_s, u"true"_s));
        QVERIFY(setFault(u"AfcRemoveRefused"_s, u"[\"/Library/Caches/locked.bin\"]"_s));
        const qint64 expectNoTmp = cacheOnDisk(noTmp);
        const qint64 expectPlain = cacheOnDisk(plain);
        QVERIFY(expectNoTmp > 0 && expectPlain > 0);

        const QList<_IOSAppInfo> apps{{noTmp, u"FitLoop"_s}, {plain, u"SkyCast"_s}};
        RecordingReporter reporter(true);
        IOSClearAppCacheThread worker(m_device, apps, reporter);
        worker.scanOnly = scanOnly;
        worker.start();
        QVERIFY(worker.wait(120000));
        for (const QString& fault : {u"AfcListExtra"_s, u"AfcDotDot"_s, u"AfcRemoveRefused"_s}) {
            QVERIFY(setFault(fault, u"null"_s));
        }
        QCOMPARE(reporter.errors, QStringList());
        for (const QString& id : {noTmp, plain}) {
            QVERIFY(QFile::exists(container(id) + u"/Documents/notes.txt"_s));
        }
        QCOMPARE(worker.appCacheBytes.value(noTmp), expectNoTmp);
        QCOMPARE(worker.appCacheBytes.value(plain), expectPlain);
        QCOMPARE(worker.totalScanBytes(), expectNoTmp + expectPlain);
        QCOMPARE(reporter.updates.first().status, scanOnly ? u"Scanning Apps..."_s : u"Deleting App cache..."_s);
        QCOMPARE(reporter.updates.at(1).status, scanOnly ? u"Scanning FitLoop..."_s : u"Deleting FitLoop cache..."_s);
        QCOMPARE(reporter.updates.at(1).percent, 50);
        if (scanOnly) {
            QCOMPARE(worker.clearedBytes, qint64(0));
            QCOMPARE(reporter.successes, QStringList{QString()});
            QCOMPARE(cacheOnDisk(plain), expectPlain);
        } else {
            // Only what the device really deleted counts as freed.
            QCOMPARE(worker.clearedBytes, expectNoTmp + expectPlain - 1000);
            QCOMPARE(reporter.successes,
                     QStringList{u"Successfully deleted %2 App cache (Total: %1)."_s.arg(
                         formatSpaceShow(expectNoTmp + expectPlain), formatSpaceShow(worker.clearedBytes))});
            QCOMPARE(cacheOnDisk(plain), qint64(1000));
            QVERIFY(QDir(container(plain) + u"/Library/tmp"_s).exists());
            QCOMPARE(QDir(container(plain) + u"/Library/Caches"_s).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                     QStringList{u"locked.bin"_s});
            QVERIFY(QFile::exists(container(plain) + u"/Library/Preferences/settings.plist"_s));
        }
        QFile::remove(container(plain) + u"/Library/Caches/locked.bin"_s);
    }

    // An app whose container the device refuses (not installed, or from the App Store) is skipped and the run
    // goes on; an empty list still succeeds. (A connection lost mid-scan is a row of the fault matrix.)
    void endsWithItsReport_data() { addRowsFrom(kTables, "endsWithItsReport"); }

    void endsWithItsReport() {
        QFETCH(QStringList, apps);
        QFETCH(QString, report);
        QList<_IOSAppInfo> infos;
        for (const QString& id : apps) {
            infos.append({id, id});
        }
        RecordingReporter reporter(true);
        IOSClearAppCacheThread worker(m_device, infos, reporter);
        worker.scanOnly = !apps.isEmpty();
        worker.start();
        QVERIFY(worker.wait(60000));
        const QStringList said = reporter.successes + reporter.errors; // exactly one, and no success after an error
        QVERIFY2(said.size() == 1 && said.first().startsWith(report), qPrintable(said.join(u'\n')));
        QCOMPARE(worker.appCacheBytes.value(u"com.example.tunewave"_s, -1),
                 apps.isEmpty() ? -1 : cacheOnDisk(u"com.example.tunewave"_s));
        QCOMPARE(worker.refusedApps, apps.mid(1, 1));
        QCOMPARE(worker.appCacheBytes.contains(u"com.example.quickcart"_s), !apps.isEmpty());
    }

    void cancelFlagStopsSilently_data() { addRowsFrom(kTables, "cancelFlagStopsSilently"); }

    void cancelFlagStopsSilently() {
        QFETCH(bool, listing);
        const QList<_IOSAppInfo> apps{{u"com.example.bytenews"_s, u"ByteNews"_s}};
        const qint64 before = cacheOnDisk(apps.first().appId);
        g_delDirCascade(m_device.appDir(apps.first().appId).absolutePath());
        RecordingReporter reporter(true);
        reporter.canceled = true;
        IOSLoadAppThread lister(m_device, reporter);
        IOSClearAppCacheThread clearer(m_device, apps, reporter);
        QThread& worker = listing ? static_cast<QThread&>(lister) : clearer;
        worker.start();
        QVERIFY(worker.wait(60000));
        QCOMPARE(reporter.successes, QStringList());
        QCOMPARE(reporter.errors, QStringList());
        QCOMPARE(cacheOnDisk(apps.first().appId), before);
        QVERIFY(lister.apps.isEmpty());
        QVERIFY(!QFile::exists(m_device.appDir(apps.first().appId).filePath(u"iTunesArtwork"_s)));
    }

    // Every worker on every backup form and as a scan, then the named cases of tst_cleaners.json.
    void clean_data() { addRowsFrom(kTables, "cases"); }

    void clean() {
        QFETCH(QString, worker);
        QFETCH(QString, form);
        QFETCH(QString, variant);
        QFETCH(QString, dropped);
        QFETCH(QString, edited);
        QFETCH(int, limit);
        QFETCH(QString, error);
        QFETCH(bool, scan);
        const FixtureForm f =
            FixtureForm(QStringList{u"mbdb"_s, u"mbdb-encrypted"_s, u"db"_s, u"db-encrypted"_s}.indexOf(form));
        if (variant.contains(u'=') && !QFileInfo::exists(kRealData + variant.section(u'=', 1))) {
            QSKIP("real device files are absent");
        }
        const bool fails = limit != 0 || !error.isEmpty();
        const auto expected = [&worker, fails](const QString& given, const char* group) {
            QStringList out = fails             ? QStringList()
                              : !given.isNull() ? given.split(u' ', Qt::SkipEmptyParts)
                                                : fixtureList(group, qPrintable(worker));
            std::transform(out.begin(), out.end(), out.begin(), key);
            return out;
        };
        const QStringList drops = expected(dropped, "dropped"), edits = expected(edited, "edited");
        const QString dir = m_backups.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(u'/', u'_'));
        QVERIFY(QDir().mkpath(dir));
        const FixtureBackup b = writeFixtureBackup(dir, f, deviceFiles(variant));
        const QJsonObject before = peerState(b, edits);
        const QMap<QString, QByteArray> files = folderFiles(dir);
        BackupManifest manifest(dir);
        manifest.readManifestInfo();
        QVERIFY(!manifest.info.isEncrypted || manifest.setPasscodeNoUIThrow(b.password));
        manifest.parseInfo();
        RecordingReporter reporter;
        reporter.canceled = limit < 0;
        std::unique_ptr<BackupCleanerThread> cleaner(makeWorker(worker, manifest, reporter));
        cleaner->scanOnly = scan;
        cleaner->wantDetails = true;
        qputenv("TMPDIR", m_tmp.path().toUtf8());
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        const rlimit lowered{limit > 0 ? rlim_t(limit) : saved.rlim_cur, saved.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &lowered);
        cleaner->start();
        cleaner->wait();
        ::setrlimit(RLIMIT_FSIZE, &saved);
        qunsetenv("TMPDIR");
        QVERIFY2(QDir(m_tmp.path()).isEmpty(), "a working copy was left behind");
        const QJsonObject after = peerState(b, edits);
        if (fails) {
            QCOMPARE(qMakePair(int(reporter.successes.size()), int(reporter.errors.size())),
                     qMakePair(0, limit < 0 ? 0 : 1));
            QVERIFY2(reporter.errors.value(0).contains(error), qPrintable(reporter.errors.value(0)));
            QCOMPARE(after, before);
            QCOMPARE(folderFiles(dir), files);
            return;
        }
        QCOMPARE(qMakePair(int(reporter.successes.size()), reporter.errors), qMakePair(1, QStringList()));
        const QJsonObject was = before["records"_L1].toObject(), now = after["records"_L1].toObject();
        qint64 expectFound = 0;
        int gone = 0;
        for (const QString& k : drops + edits) {
            expectFound += k.endsWith("-wal"_L1) ? 0 : qint64(was[k].toArray()[0].toDouble());
            gone += was.contains(k) && drops.contains(k) && !scan;
        }
        QCOMPARE(cleaner->foundBytes, expectFound);
        // Every byte found is on one line of the details (a conversation's lines count its attachments alone).
        const qint64 listed = std::accumulate(cleaner->details.items.cbegin(), cleaner->details.items.cend(), qint64(0),
                                              [](qint64 n, const cleandetails::Item& item) { return n + item.bytes; });
        QCOMPARE(worker == "messages"_L1 ? expectFound : listed, expectFound);
        const QJsonObject counts = jsonFile(kTables)["detailCounts"_L1].toObject();
        QCOMPARE(cleaner->details.itemCount,
                 counts[QLatin1String(QTest::currentDataTag())].toInteger(cleaner->details.itemCount));
        QCOMPARE(cleaner->clearedBytes, scan ? (worker == "sys"_L1 ? expectFound : 0) : expectFound);
        QCOMPARE(now.size(), was.size() - gone);
        for (auto it = was.begin(); it != was.end(); ++it) {
            if (scan || (!drops.contains(it.key()) && !edits.contains(it.key()))) {
                QVERIFY2(now[it.key()] == it.value(), qPrintable(it.key()));
            } else if (edits.contains(it.key())) {
                const QJsonArray a = now[it.key()].toArray(), old = it.value().toArray();
                QVERIFY(a[1] != old[1] && a[2] == old[2] && a[3] == old[3]); // new digest, same mode and protection
                QCOMPARE(after["dbs"_L1][it.key()].toArray(), (QJsonArray{u"ok"_s, 1, 0, true}));
            }
        }
    }

    // A messages clean with a selection, on the simulator's messages (iOS 13), the peer's iOS 5 store and real
    // databases: the peer judges the rows and files left against the backup before; a scan with details first
    // promises what the clean then removes.
    void selectMessages_data() { addRowsFrom(kTables, "selectMessages"); }

    void selectMessages() {
        QFETCH(QString, source);
        QFETCH(QString, form);
        QFETCH(QStringList, selection);
        QTemporaryDir src;
        const QString root = source == "sim"_L1 ? m_sim.deviceDir(m_udid) + u"/files"_s : src.path();
        const QString sms = src.filePath(u"HomeDomain/Library/SMS/sms.db"_s);
        if (source == "ios5"_L1) {
            runPython({QStringLiteral(VEXLAR_SOURCE_DIR "/tests/backupinterop/devicebackup.py"), u"gen-sms-ios5"_s,
                       root, u"--now"_s, QString::number(QDateTime::currentSecsSinceEpoch())});
        } else if (source != "sim"_L1) {
            if (!QFileInfo::exists(kRealData + source)) {
                QSKIP("real device files are absent");
            }
            QVERIFY(QDir().mkpath(QFileInfo(sms).path()) && writeFile(sms, readAll(kRealData + source)));
            QVERIFY(readAll(kRealData + source + u"-wal"_s).isEmpty() ||
                    writeFile(sms + u"-wal"_s, readAll(kRealData + source + u"-wal"_s)));
        }
        QList<FixtureFile> files;
        for (const char* domain : {"HomeDomain", "MediaDomain"}) {
            const QString dir = root + u'/' + QLatin1String(domain);
            for (QDirIterator it(dir + u"/Library/SMS"_s, QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
                const QString path = it.next();
                files << fixtureEntry(domain, QDir(dir).relativeFilePath(path), readAll(path));
            }
        }
        cleandetails::MessageSelection chosen;
        for (qsizetype i = 0; i < selection.size(); ++i) {
            chosen.attachmentsOnly = chosen.attachmentsOnly || selection[i] == "--attachments-only"_L1;
            chosen.olderThanDays = selection[i] == "--older-than"_L1 ? selection[i + 1].toInt() : chosen.olderThanDays;
            chosen.conversations << (selection[i] == "--conversation"_L1 ? selection.mid(i + 1, 1) : QStringList());
        }
        const QString tag = m_backups.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(u'/', u'_'));
        const FixtureForm f =
            FixtureForm(QStringList{u"mbdb"_s, u"mbdb-encrypted"_s, u"db"_s, u"db-encrypted"_s}.indexOf(form));
        QVERIFY(QDir().mkpath(tag) && QDir().mkpath(tag + u"-before"_s));
        const FixtureBackup before = writeFixtureBackup(tag + u"-before"_s, f, files);
        const FixtureBackup b = writeFixtureBackup(tag, f, files);
        BackupManifest manifest(b.dir);
        manifest.readManifestInfo();
        QVERIFY(!manifest.info.isEncrypted || manifest.setPasscodeNoUIThrow(b.password));
        manifest.parseInfo();
        RecordingReporter reporter;
        IOSClearAllMessagesThread scan(manifest, reporter), clean(manifest, reporter);
        const qint64 began = QDateTime::currentSecsSinceEpoch();
        for (IOSClearAllMessagesThread* worker : {&scan, &clean}) {
            worker->scanOnly = worker == &scan;
            worker->wantDetails = true;
            worker->selection = chosen;
            worker->start();
            worker->wait();
        }
        QCOMPARE(qMakePair(int(reporter.successes.size()), reporter.errors), qMakePair(2, QStringList()));
        const QByteArray said =
            runPython(QStringList{QStringLiteral(VEXLAR_SOURCE_DIR "/tests/backupinterop/devicebackup.py"),
                                  u"check-messages"_s, before.dir, b.dir, u"--now"_s, QString::number(began)} +
                      (b.encrypted() ? QStringList{u"--password"_s, b.password} : QStringList()) + selection);
        const QJsonObject peer = QJsonDocument::fromJson(said).object();
        QVERIFY2(peer.contains("skip"_L1) || peer.contains("problems"_L1), said.constData());
        if (peer.contains("skip"_L1)) {
            QSKIP("a message lies on the cutoff");
        }
        QCOMPARE(peer["problems"_L1].toArray(), QJsonArray());
        const auto figures = [](const cleandetails::MessageSummary& s) {
            return QJsonArray{s.messages, s.attachments, s.attachmentBytes};
        };
        QCOMPARE(figures(clean.summary), peer["went"_L1].toArray());
        QCOMPARE(figures(scan.summary), figures(clean.summary));
        QCOMPARE(QJsonArray({scan.details.itemCount, scan.details.first.toString(Qt::ISODate),
                             scan.details.last.toString(Qt::ISODate)}),
                 peer["range"_L1].toArray());
        QVERIFY(clean.clearedBytes >= clean.summary.attachmentBytes && scan.foundBytes == clean.clearedBytes);
        // Without a date cut, the scan's conversations add up to what went.
        qint64 promised = 0;
        for (const cleandetails::Item& item : scan.details.items) {
            promised += chosen.conversations.isEmpty() || chosen.conversations.contains(item.id)
                            ? (chosen.attachmentsOnly ? item.attachmentBytes : item.bytes)
                            : 0;
        }
        QCOMPARE(chosen.olderThanDays > 0 ? clean.summary.attachmentBytes : promised, clean.summary.attachmentBytes);
    }
};

QTEST_GUILESS_MAIN(TestCleaners)
#include "tests/device/moc_devicereceiver.cpp"
#include "tst_cleaners.moc"
