// The backup cleaning workers on fixture backups of all four shapes and on real device databases, judged by the
// independent Python peer's reading of the backup before and after.

#include "backup/backupmanifest.h"
#include "cleaners/iosclearallmessagesthread.h"
#include "cleaners/iosclearcallsthread.h"
#include "cleaners/iosclearmmsattathread.h"
#include "cleaners/iosclearsafarithread.h"
#include "cleaners/iosclearsysthread.h"
#include "sqlite/sqlite3db.h"
#include "tests/backup/backupfixture.h"

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

class Reporter final : public ProgressReporter {
public:
    void invokeUpdateProgress(const QString&, int, const QString&) override {}
    void invokeErrorOccurred(const QString& err) override { errors << err; }
    void invokeSucceed(const QString&) override { ++successes; }
    void invokeTipsWait(const QString&) override {}
    QStringList errors;
    int successes = 0;
};

enum Worker { Sys, MmsAtta, Messages, Safari, Calls };
const char* const kWorkerNames[] = {"sys", "mmsatta", "messages", "safari", "calls"};

// What each worker removes and edits on the synthetic device (-wal siblings count nothing).
const char* const kDropped[] = {
    "H/Library/Caches/a h/library/caches/x R/Library/Caches/r",
    "M/Library/SMS/Attachments/3f/15/junk.jpg M/Library/SMS/Attachments/3f/15/ABC/sub/x.jpg "
    "M/Library/SMS/Parts/2c/05/37-2.JPG",
    "M/Library/SMS/Attachments/3f M/Library/SMS/Attachments/3f/15/ABC/IMG_1.jpeg M/Library/SMS/Parts/2c/05/37-2.JPG "
    "M/Library/SMS/Attachments/3f/15/ABC/IMG_1-preview.jpg M/Library/SMS/Attachments/3f/15/junk.jpg "
    "M/Library/SMS/Attachments/3f/15/ABC/sub/x.jpg H/Library/SMS/Drafts/d1 H/Library/SMS/sms.db-wal",
    "S/Library/Safari/Thumbnails/t1.png S/Library/WebKit/WebsiteData/LocalStorage/ls "
    "S/Library/Safari/History.plist.bak H/Library/Safari/History.db-wal",
    ""};
const char* const kEdited[] = {"", "", "H/Library/SMS/sms.db",
                               "S/Library/Safari/History.db H/Library/Safari/History.db",
                               "W/Library/CallHistory/call_history.db H/Library/CallHistoryDB/CallHistory.storedata"};

// One run of a worker; a null `dropped` or `edited` means the worker's usual.
struct Case {
    int worker = Sys;
    FixtureForm form = FixtureForm::Db;
    const char* variant = "synthetic";
    const char* dropped = nullptr;
    const char* edited = nullptr;
    int limit = 0;          // file-size limit in bytes, 0: none; -1: cancelled before the start
    const char* error = ""; // expected failure: nothing in the backup may change
    bool scan = false;
};

template <class T>
BackupCleanerThread* make(BackupManifest& m, ProgressReporter& r) {
    return new T(m, r);
}
BackupCleanerThread* (*const kMakeWorker[])(BackupManifest&, ProgressReporter&) = {
    make<IOSClearSysThread>, make<IOSClearMMSAttaThread>, make<IOSClearAllMessagesThread>, make<IOSClearSafariThread>,
    make<IOSClearCallsThread>};

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

// "H/Library/x" -> "HomeDomain/Library/x": one letter per domain keeps the tables short.
QString key(const QString& token) {
    static const QStringList domains = u"HomeDomain homedomain MediaDomain RootDomain WirelessDomain "
                                       "AppDomain-com.apple.mobilesafari AppDomain-com.example.app"_s.split(u' ');
    return domains.value(u"HhMRWSA"_s.indexOf(token.at(0))) + token.mid(1);
}

const char* const kNewerSms =
    "create table chat(ROWID integer primary key autoincrement, guid)|create table handle(id)|create table message(t)|"
    "create table attachment(guid, filename)|create table chat_handle_join(c, h)|create table chat_message_join(c, m)|"
    "create table message_attachment_join(message_id, attachment_id)|create trigger a after delete on attachment begin "
    "select delete_attachment_path(old.filename); end|create trigger b before delete on attachment begin select "
    "before_delete_attachment_path(old.ROWID, old.guid); end|insert into chat values(1, 'c')|insert into handle "
    "values(1)|insert into message values('hi')|insert into chat_message_join values(1, 1)|#|insert into attachment "
    "values('g', "
    "'~/Library/SMS/Attachments/3f/15/ABC/IMG_1.jpeg')|insert into message_attachment_join values(1, 1)";
const char* const kOlderSms =
    "create table message(ROWID integer primary key autoincrement, flags, group_id)|create table msg_pieces(message_id,"
    " part_id, content_loc)|create table group_member(g)|create table msg_group(ROWID integer primary key, unread)|"
    "create trigger d after delete on message when not read(old.flags) begin update msg_group set unread = unread - 1; "
    "end|insert into msg_group values(300, 1)|insert into group_member values(1)|insert into message values(37, 0, 300)"
    "|insert into msg_pieces values(37, 2, 'photo.JPG')";
const char* const kHistory =
    "create table history_items(id integer primary key autoincrement, url)|create table history_visits(item)|create "
    "table history_tombstones(url)|create table metadata(k)|#|insert into history_items values(1, 'https://a.org/')|"
    "insert into history_visits values(1)";

// The device files: "<domain letter><path>" for a folder, "=<size>" or "=<database>" for a file.
QList<FixtureFile> deviceFiles(const QString& variant) {
    QHash<QString, QPair<QByteArray, QByteArray>> dbs{
        {u"sms"_s, makeDb(QString::fromLatin1(variant == "ios5"_L1 ? kOlderSms : kNewerSms))},
        {u"history"_s, makeDb(variant == "notables"_L1 ? u"create table history_items(i)"_s
                                                       : QString::fromLatin1(kHistory).remove(u"|#"_s))},
        {u"homehistory"_s, makeDb(QString::fromLatin1(kHistory))},
        {u"calls"_s,
         makeDb(u"create table call(ROWID integer primary key autoincrement, a)|insert into call values(1, 2)"_s)},
        {u"store"_s,
         makeDb(u"create table ZCALLRECORD(Z_PK)|create table ZCALLDBPROPERTIES(Z_PK)|create table "
                "Z_PRIMARYKEY(Z_NAME, Z_MAX)|insert into ZCALLRECORD values(1)|insert into ZCALLDBPROPERTIES "
                "values(1)|insert into Z_PRIMARYKEY values('CallRecord', 1)"_s)}};
    if (variant == "corrupt"_L1) {
        dbs[u"sms"_s] = {QByteArray("not a database at all ").repeated(300), {}};
    }
    if (variant.contains(u'=')) { // a real database in place of one of ours: "<name>=<file>"
        const QString file = kRealData + variant.section(u'=', 1);
        dbs[variant.section(u'=', 0, 0)] = qMakePair(readAll(file), readAll(file + u"-wal"_s));
    }
    QList<FixtureFile> files;
    for (const QString& token :
         QString::fromLatin1(
             "H/Library/SMS H/Library/Safari H/Library/Caches H/Library/CallHistoryDB W/Library/CallHistory "
             "S/Library/Safari M/Library/SMS/Attachments M/Library/SMS/Attachments/3f H/Library/SMS/sms.db=sms "
             "H/Library/SMS/sms.db-wal=sms-wal H/Library/SMS/Drafts/d1=101 H/library/sms/Drafts/x=102 "
             "H/Library/SMS/Attachments/zz/q.jpg=103 M/Library/SMS/Attachments/3f/15/ABC/IMG_1.jpeg=1000 "
             "M/Library/SMS/Attachments/3f/15/ABC/IMG_1-preview.jpg=1001 M/Library/SMS/Attachments/3f/15/junk.jpg=1002 "
             "M/Library/SMS/Attachments/3f/15/ABC/sub/x.jpg=1003 M/Library/SMS/Parts/2c/05/37-2.JPG=1004 "
             "M/library/sms/attachments/zz/q.jpg=1005 H/Library/Caches/a=201 h/library/caches/x=202 "
             "R/Library/Caches/r=203 H/Library/CachesOld/c=204 M/Library/Caches/m=205 A/Library/Caches/e=206 "
             "S/Library/Safari/History.db=history H/Library/Safari/History.db=homehistory "
             "H/Library/Safari/History.db-wal=homehistory-wal S/Library/Safari/Thumbnails/t1.png=301 "
             "S/Library/WebKit/WebsiteData/LocalStorage/ls=302 S/Library/Safari/History.plist.bak=303 "
             "S/Library/Safari/history.plist=304 H/Library/Safari/Thumbnails/t2.png=305 "
             "W/Library/CallHistory/call_history.db=calls H/Library/CallHistoryDB/CallHistory.storedata=store")
             .split(u' ')) {
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
    for k in sys.argv[4:]:
        db = os.path.join(t, str(len(out["dbs"])))
        for s in (s for s in ("", "-wal") if k + s in recs):
            open(db + s, "wb").write(b.read_plain(recs[k + s]))
        plain = open(db, "rb").read()
        c = sqlite3.connect(db)
        names = {n for (n,) in c.execute("select name from sqlite_master where type='table'")} & set(
            "message chat handle attachment msg_pieces msg_group group_member history_items history_visits metadata "
            "call ZCALLRECORD ZCALLDBPROPERTIES".split())
        rows = sum(c.execute("select count(*) from " + n).fetchone()[0] for n in names)
        out["dbs"][k] = [c.execute("pragma integrity_check").fetchone()[0], plain[18], rows,
                         hashlib.sha1(plain).hexdigest() == out["records"][k][1]]
print(json.dumps(out)))";
    const QByteArray out = runPython(QStringList{u"-c"_s, QString::fromLatin1(script),
                                                 QStringLiteral(VEXLAR_SOURCE_DIR "/tests/backupinterop"), b.dir,
                                                 b.encrypted() ? b.password : QString()} +
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
Q_DECLARE_METATYPE(Case)

class TestBackupCleaners : public QObject {
    Q_OBJECT
    QTemporaryDir m_backups;
    QTemporaryDir m_tmp; // the workers' system temporary folder: empty again after every run

private slots:
    void initTestCase() { std::signal(SIGXFSZ, SIG_IGN); }

    void clean_data() {
        QTest::addColumn<Case>("c");
        for (int w = Sys; w <= Calls; ++w) {
            for (FixtureForm f :
                 {FixtureForm::Mbdb, FixtureForm::MbdbEncrypted, FixtureForm::Db, FixtureForm::DbEncrypted}) {
                QTest::addRow("%s-%s", kWorkerNames[w], fixtureFormName(f)) << Case{.worker = w, .form = f};
            }
            QTest::addRow("%s-scan", kWorkerNames[w]) << Case{.worker = w, .scan = true};
        }
        using F = FixtureForm;
        const std::pair<const char*, Case> rows[] = {
            {"messages-ios5-read-trigger", {Messages, F::Mbdb, "ios5"}},
            {"mmsatta-ios5-part-kept",
             {MmsAtta, F::DbEncrypted, "ios5",
              "M/Library/SMS/Attachments/3f/15/junk.jpg M/Library/SMS/Attachments/3f/15/ABC/sub/x.jpg "
              "M/Library/SMS/Attachments/3f/15/ABC/IMG_1.jpeg M/Library/SMS/Attachments/3f/15/ABC/IMG_1-preview.jpg"}},
            {"real-ios13-messages", {Messages, F::DbEncrypted, "sms=magnetctf2020-amandawills/sms.db"}},
            {"real-ios5-messages-wal", {Messages, F::Mbdb, "sms=xry-eichbaumj/sms.db"}},
            {"real-safari-history", {Safari, F::DbEncrypted, "homehistory=plaso/History.db"}},
            {"real-call-history", {Calls, F::Mbdb, "calls=otapki-iphone/call_history.db"}},
            {"manifest-save-past-size-limit-mbdb", {Messages, F::Mbdb, "padded", {}, {}, 300000, "File too large"}},
            {"manifest-save-past-size-limit-db", {Calls, F::DbEncrypted, "padded", {}, {}, 300000, "File too large"}},
            {"corrupt-message-database", {Messages, F::Db, "corrupt", {}, {}, 0, "file is not a database"}},
            {"corrupt-database-junk-scan", {MmsAtta, F::Mbdb, "corrupt", {}, {}, 0, "file is not a database"}},
            {"history-without-tables",
             {Safari, F::MbdbEncrypted, "notables", {}, {}, 0, "no such table: history_tombstones"}},
            {"cancelled", {Messages, F::Db, "synthetic", {}, {}, -1}}};
        for (const auto& [name, c] : rows) {
            QTest::newRow(name) << c;
        }
    }

    void clean() {
        QFETCH(Case, c);
        const QString variant = QString::fromLatin1(c.variant), error = QString::fromLatin1(c.error);
        if (variant.contains(u'=') && !QFileInfo::exists(kRealData + variant.section(u'=', 1))) {
            QSKIP("real device files are absent");
        }
        const bool fails = c.limit != 0 || !error.isEmpty();
        const auto expected = [&c, fails](const char* given, const char* const usual[]) {
            const char* packed = fails ? "" : given ? given : usual[c.worker];
            QStringList out = QString::fromLatin1(packed).split(u' ', Qt::SkipEmptyParts);
            std::transform(out.begin(), out.end(), out.begin(), key);
            return out;
        };
        const QStringList drops = expected(c.dropped, kDropped), edits = expected(c.edited, kEdited);
        const QString dir = m_backups.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(u'/', u'_'));
        QVERIFY(QDir().mkpath(dir));
        const FixtureBackup b = writeFixtureBackup(dir, c.form, deviceFiles(variant));
        const QJsonObject before = peerState(b, edits);
        const QMap<QString, QByteArray> files = folderFiles(dir);
        BackupManifest manifest(dir);
        manifest.readManifestInfo();
        QVERIFY(!manifest.info.isEncrypted || manifest.setPasscodeNoUIThrow(b.password));
        manifest.parseInfo();
        Reporter reporter;
        reporter.canceled = c.limit < 0;
        std::unique_ptr<BackupCleanerThread> w(kMakeWorker[c.worker](manifest, reporter));
        w->scanOnly = c.scan;
        qputenv("TMPDIR", m_tmp.path().toUtf8());
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        const rlimit lowered{c.limit > 0 ? rlim_t(c.limit) : saved.rlim_cur, saved.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &lowered);
        w->start();
        w->wait();
        ::setrlimit(RLIMIT_FSIZE, &saved);
        qunsetenv("TMPDIR");
        QVERIFY2(QDir(m_tmp.path()).isEmpty(), "a working copy was left behind");
        const QJsonObject after = peerState(b, edits);
        if (fails) {
            QCOMPARE(qMakePair(reporter.successes, int(reporter.errors.size())), qMakePair(0, c.limit < 0 ? 0 : 1));
            QVERIFY2(reporter.errors.value(0).contains(error), qPrintable(reporter.errors.value(0)));
            QCOMPARE(after, before);
            QCOMPARE(folderFiles(dir), files);
            return;
        }
        QCOMPARE(qMakePair(reporter.successes, reporter.errors), qMakePair(1, QStringList()));
        const QJsonObject was = before["records"_L1].toObject(), now = after["records"_L1].toObject();
        qint64 expectFound = 0;
        int gone = 0;
        for (const QString& k : drops + edits) {
            expectFound += k.endsWith("-wal"_L1) ? 0 : qint64(was[k].toArray()[0].toDouble());
            gone += was.contains(k) && drops.contains(k) && !c.scan;
        }
        QCOMPARE(w->foundBytes, expectFound);
        QCOMPARE(w->clearedBytes, c.scan ? (c.worker == Sys ? expectFound : 0) : expectFound);
        QCOMPARE(now.size(), was.size() - gone);
        for (auto it = was.begin(); it != was.end(); ++it) {
            if (c.scan || (!drops.contains(it.key()) && !edits.contains(it.key()))) {
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
