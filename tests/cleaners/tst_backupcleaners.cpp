// The backup cleaning workers on fixture backups of all four shapes and on real device databases, judged by the
// independent Python peer's reading of the backup before and after.

#include "backup/backupmanifest.h"
#include "cleaners/iosclearallmessagesthread.h"
#include "cleaners/iosclearcallsthread.h"
#include "cleaners/iosclearmmsattathread.h"
#include "cleaners/iosclearsafarithread.h"
#include "cleaners/iosclearsysthread.h"
#include "sqlite/sqlite3db.h"
#include "tests/app/datarows.h"
#include "tests/backup/backupfixture.h"
#include "tests/cleaners/recordingreporter.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/resource.h>

using namespace Qt::StringLiterals;

namespace {

// The tables of the data-driven cases, and their other fixture data.
const QString kTables = QStringLiteral(VEXLAR_SOURCE_DIR "/tests/cleaners/backupcleaners.json");

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

// backupcleaners.json: the device files, the databases' SQL, what each worker removes and edits, the cases.
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

class TestBackupCleaners : public QObject {
    Q_OBJECT
    QTemporaryDir m_backups;
    QTemporaryDir m_tmp; // the workers' system temporary folder: empty again after every run

private slots:
    void initTestCase() { std::signal(SIGXFSZ, SIG_IGN); }

    // Every worker on every backup form and as a scan, then the cases of backupcleaners.json.
    void clean_data() {
        addRowsFrom(kTables, "cases");
        for (const char* w : {"sys", "mmsatta", "messages", "safari", "calls"}) {
            for (FixtureForm f :
                 {FixtureForm::Mbdb, FixtureForm::MbdbEncrypted, FixtureForm::Db, FixtureForm::DbEncrypted}) {
                QTest::addRow("%s-%s", w, fixtureFormName(f))
                    << QString::fromLatin1(w) << QString::fromLatin1(fixtureFormName(f)) << u"synthetic"_s << QString()
                    << QString() << 0 << QString() << false;
            }
            QTest::addRow("%s-scan", w) << QString::fromLatin1(w) << u"db"_s << u"synthetic"_s << QString() << QString()
                                        << 0 << QString() << true;
        }
    }

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
};

QTEST_GUILESS_MAIN(TestBackupCleaners)
#include "tst_backupcleaners.moc"
