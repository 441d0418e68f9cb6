// The backup cleaning workers on fixture backups of all four shapes, judged by
// the independent Python peer's reading of the backup before and after.

#include "backup/backupmanifest.h"
#include "cleaners/iosclearallmessagesthread.h"
#include "cleaners/iosclearcallsthread.h"
#include "cleaners/iosclearmmsattathread.h"
#include "cleaners/iosclearsafarithread.h"
#include "cleaners/iosclearsysthread.h"
#include "sqlite/sqlite3db.h"
#include "tests/backup/backupfixture.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/resource.h>

using namespace Qt::StringLiterals;
Q_DECLARE_METATYPE(FixtureForm)

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

BackupCleanerThread* makeWorker(int worker, BackupManifest& m, ProgressReporter& r) {
    switch (worker) {
    case Sys:
        return new IOSClearSysThread(m, r);
    case MmsAtta:
        return new IOSClearMMSAttaThread(m, r);
    case Messages:
        return new IOSClearAllMessagesThread(m, r);
    case Safari:
        return new IOSClearSafariThread(m, r);
    default:
        return new IOSClearCallsThread(m, r);
    }
}

// Database bytes built by SQL; statements from `walFrom` on stay in the write-ahead log (second part).
QPair<QByteArray, QByteArray> makeDb(const QStringList& sql, int walFrom = -1) {
    QTemporaryDir dir;
    const QString path = dir.filePath(u"x.db"_s);
    Sqlite3DB db;
    db.openThrow(path, 6);
    db.executeThrow(walFrom < 0 ? "pragma journal_mode=delete" : "pragma journal_mode=wal");
    db.executeThrow("pragma wal_autocheckpoint=0");
    for (int i = 0; i < sql.size(); ++i) {
        if (i == walFrom) {
            db.executeThrow("pragma wal_checkpoint(truncate)");
        }
        db.executeThrow(Sqlite3Sql(sql.at(i)));
    }
    return {readAll(path), readAll(path + u"-wal"_s)};
}

QString realData(const char* name) {
    return QStringLiteral(VEXLAR_REALDATA_DIR "/") + QLatin1String(name);
}

// The device files: one database per worker and files each worker must take or leave.
QList<FixtureFile> deviceFiles(const QString& variant) {
    QPair<QByteArray, QByteArray> sms;
    if (variant == "ios5"_L1) {
        sms = makeDb({u"create table message(ROWID integer primary key autoincrement, flags, group_id, text)"_s,
                      u"create table msg_pieces(ROWID integer primary key autoincrement, message_id, part_id, "
                      "content_loc)"_s,
                      u"create table group_member(ROWID integer primary key autoincrement, group_id, address)"_s,
                      u"create table msg_group(ROWID integer primary key autoincrement, unread_count)"_s,
                      u"create trigger delete_message after delete on message when not read(old.flags) begin update "
                      "msg_group set unread_count = unread_count - 1 where ROWID = old.group_id; end"_s,
                      u"insert into msg_group values(300, 1)"_s, u"insert into group_member values(1, 300, 'x')"_s,
                      u"insert into message values(37, 0, 300, 'hi')"_s,
                      u"insert into msg_pieces values(1, 37, 2, 'photo.JPG')"_s});
    } else if (variant.startsWith("real:"_L1)) {
        sms = {readAll(realData(qPrintable(variant.mid(5)))), readAll(realData(qPrintable(variant.mid(5) + "-wal")))};
    } else if (variant == "corrupt"_L1) {
        sms.first = QByteArray("not a database at all ").repeated(300);
    } else {
        sms = makeDb({u"create table chat(ROWID integer primary key autoincrement, guid)"_s,
                      u"create table handle(ROWID integer primary key autoincrement, id)"_s,
                      u"create table message(ROWID integer primary key autoincrement, text, handle_id)"_s,
                      u"create table attachment(ROWID integer primary key autoincrement, guid, filename)"_s,
                      u"create table chat_handle_join(chat_id, handle_id)"_s,
                      u"create table chat_message_join(chat_id, message_id)"_s,
                      u"create table message_attachment_join(message_id, attachment_id)"_s,
                      u"create trigger a after delete on attachment begin select delete_attachment_path(old.filename); "
                      "end"_s,
                      u"create trigger b before delete on attachment begin select "
                      "before_delete_attachment_path(old.ROWID, old.guid); end"_s,
                      u"insert into chat values(1, 'c')"_s, u"insert into handle values(1, '+1')"_s,
                      u"insert into message values(1, 'hello', 1)"_s, u"insert into chat_message_join values(1, 1)"_s,
                      u"insert into attachment values(1, 'g', '~/Library/SMS/Attachments/3f/15/ABC/IMG_1.jpeg')"_s,
                      u"insert into message_attachment_join values(1, 1)"_s},
                     13);
    }
    const QStringList historySql{u"create table history_items(id integer primary key autoincrement, url)"_s,
                                 u"create table history_visits(id integer primary key autoincrement, item)"_s,
                                 u"create table history_tombstones(id integer primary key autoincrement, url)"_s,
                                 u"create table metadata(key, value)"_s,
                                 u"insert into history_items values(1, 'https://example.org/')"_s,
                                 u"insert into history_visits values(1, 1)"_s,
                                 u"insert into metadata values('k', 'v')"_s};
    const auto history = makeDb(variant == "notables"_L1 ? historySql.mid(0, 3) : historySql);
    const auto homeHistory = variant == "real:plaso/History.db"_L1
                                 ? qMakePair(readAll(realData("plaso/History.db")), QByteArray())
                                 : makeDb(historySql, 4);
    const auto calls = variant.startsWith("real:otapki"_L1)
                           ? qMakePair(readAll(realData("otapki-iphone/call_history.db")), QByteArray())
                           : makeDb({u"create table call(ROWID integer primary key autoincrement, address)"_s,
                                     u"insert into call values(1, '+1')"_s});
    const auto store =
        makeDb({u"create table ZCALLRECORD(Z_PK integer primary key, ZADDRESS)"_s,
                u"create table ZCALLDBPROPERTIES(Z_PK integer primary key, ZKEY)"_s,
                u"create table Z_PRIMARYKEY(Z_ENT integer primary key, Z_NAME, Z_SUPER, Z_MAX)"_s,
                u"insert into ZCALLRECORD values(1, '+1')"_s, u"insert into ZCALLDBPROPERTIES values(1, 'k')"_s,
                u"insert into Z_PRIMARYKEY values(1, 'CallRecord', 0, 1)"_s});
    QList<FixtureFile> files;
    const auto data = [](int n) { return QByteArray(n, 'd'); };
    for (const char* folder : {"HomeDomain:Library/SMS", "HomeDomain:Library/Safari", "HomeDomain:Library/Caches",
                               "HomeDomain:Library/CallHistoryDB", "WirelessDomain:Library/CallHistory",
                               "AppDomain-com.apple.mobilesafari:Library/Safari", "MediaDomain:Library/SMS/Attachments",
                               "MediaDomain:Library/SMS/Attachments/3f"}) {
        const QStringList p = QString::fromLatin1(folder).split(u':');
        files << fixtureEntry(qPrintable(p[0]), p[1]);
    }
    const auto add = [&](const char* domain, const char* path, const QByteArray& content) {
        if (!content.isEmpty()) {
            files << fixtureEntry(domain, QString::fromUtf8(path), content);
        }
    };
    add("HomeDomain", "Library/SMS/sms.db", sms.first);
    add("HomeDomain", "Library/SMS/sms.db-wal", sms.second);
    add("HomeDomain", "Library/SMS/Drafts/d1", data(101));
    add("HomeDomain", "library/sms/Drafts/x", data(102));
    add("HomeDomain", "Library/SMS/Attachments/zz/q.jpg", data(103));
    add("MediaDomain", "Library/SMS/Attachments/3f/15/ABC/IMG_1.jpeg", data(1000));
    add("MediaDomain", "Library/SMS/Attachments/3f/15/ABC/IMG_1-preview.jpg", data(1001));
    add("MediaDomain", "Library/SMS/Attachments/3f/15/junk.jpg", data(1002));
    add("MediaDomain", "Library/SMS/Attachments/3f/15/ABC/sub/x.jpg", data(1003));
    add("MediaDomain", "Library/SMS/Parts/2c/05/37-2.JPG", data(1004));
    add("MediaDomain", "library/sms/attachments/zz/q.jpg", data(1005));
    add("HomeDomain", "Library/Caches/a", data(201));
    add("homedomain", "library/caches/x", data(202));
    add("RootDomain", "Library/Caches/r", data(203));
    add("HomeDomain", "Library/CachesOld/c", data(204));
    add("MediaDomain", "Library/Caches/m", data(205));
    add("AppDomain-com.example.app", "Library/Caches/e", data(206));
    add("AppDomain-com.apple.mobilesafari", "Library/Safari/History.db", history.first);
    add("HomeDomain", "Library/Safari/History.db", homeHistory.first);
    add("HomeDomain", "Library/Safari/History.db-wal", homeHistory.second);
    add("AppDomain-com.apple.mobilesafari", "Library/Safari/Thumbnails/t1.png", data(301));
    add("AppDomain-com.apple.mobilesafari", "Library/WebKit/WebsiteData/LocalStorage/ls", data(302));
    add("AppDomain-com.apple.mobilesafari", "Library/Safari/History.plist.bak", data(303));
    add("AppDomain-com.apple.mobilesafari", "Library/Safari/history.plist", data(304));
    add("HomeDomain", "Library/Safari/Thumbnails/t2.png", data(305));
    add("WirelessDomain", "Library/CallHistory/call_history.db", calls.first);
    add("HomeDomain", "Library/CallHistoryDB/CallHistory.storedata", store.first);
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
tables = ("message", "chat", "handle", "attachment", "msg_pieces", "msg_group", "group_member", "history_items",
          "history_visits", "metadata", "call", "ZCALLRECORD", "ZCALLDBPROPERTIES")
with tempfile.TemporaryDirectory() as t:
    for k in sys.argv[4:]:
        db = os.path.join(t, str(len(out["dbs"])))
        for s in ("", "-wal"):
            if k + s in recs:
                open(db + s, "wb").write(b.read_plain(recs[k + s]))
        plain = open(db, "rb").read()
        c = sqlite3.connect(db)
        names = {n for (n,) in c.execute("select name from sqlite_master where type='table'")}
        rows = sum(c.execute("select count(*) from " + n).fetchone()[0] for n in tables if n in names)
        out["dbs"][k] = [c.execute("pragma integrity_check").fetchone()[0], plain[18], rows,
                         hashlib.sha1(plain).hexdigest() == out["records"][k][1]]
print(json.dumps(out)))";
    const QByteArray out = runPython(QStringList{u"-c"_s, QString::fromLatin1(script),
                                                 QStringLiteral(VEXLAR_SOURCE_DIR "/tests/backupinterop"), b.dir,
                                                 b.encrypted() ? b.password : QString()} +
                                     dbs);
    const QJsonObject state = QJsonDocument::fromJson(out).object();
    if (state.isEmpty()) {
        qWarning("peer: %s", out.constData());
    }
    return state;
}

// Every file of the backup folder and its digest.
QMap<QString, QByteArray> folderDigests(const QString& dir) {
    QMap<QString, QByteArray> out;
    for (QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
        const QString path = it.next();
        out.insert(path, QCryptographicHash::hash(readAll(path), QCryptographicHash::Sha1));
    }
    return out;
}

} // namespace

class TestBackupCleaners : public QObject {
    Q_OBJECT
    QTemporaryDir m_backups;
    QTemporaryDir m_tmp; // the system temporary folder of the workers: empty after every run
    int m_count = 0;

    // Builds the backup, runs the worker on it (under a file-size limit when given) and checks the private folder went.
    FixtureBackup run(FixtureForm form, const QString& variant, int worker, bool scan, Reporter& reporter,
                      qint64* found, qint64* cleared, QJsonObject* before, const QStringList& dbs = {},
                      rlim_t limit = 0, QMap<QString, QByteArray>* files = nullptr) {
        const QString dir = m_backups.filePath(QString::number(++m_count));
        QDir().mkpath(dir);
        FixtureBackup b = writeFixtureBackup(dir, form, deviceFiles(variant));
        *before = peerState(b, dbs);
        if (files) {
            *files = folderDigests(dir);
        }
        BackupManifest manifest(dir);
        manifest.readManifestInfo();
        if (manifest.info.isEncrypted && !manifest.setPasscodeNoUIThrow(b.password)) {
            throw std::runtime_error("password rejected");
        }
        manifest.parseInfo();
        qputenv("TMPDIR", m_tmp.path().toUtf8());
        std::unique_ptr<BackupCleanerThread> w(makeWorker(worker, manifest, reporter));
        w->scanOnly = scan;
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        rlimit lowered = saved;
        lowered.rlim_cur = limit ? limit : saved.rlim_cur;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
        w->start();
        w->wait();
        ::setrlimit(RLIMIT_FSIZE, &saved);
        qunsetenv("TMPDIR");
        *found = w->foundBytes;
        *cleared = w->clearedBytes;
        if (!QDir(m_tmp.path()).isEmpty()) {
            throw std::runtime_error("a working copy was left behind");
        }
        return b;
    }

private slots:
    void initTestCase() { std::signal(SIGXFSZ, SIG_IGN); }

    void workers_data() {
        QTest::addColumn<int>("worker");
        QTest::addColumn<FixtureForm>("form");
        QTest::addColumn<bool>("scan");
        QTest::addColumn<QString>("variant");
        QTest::addColumn<QStringList>("dropped"); // domain/path; -wal siblings count nothing
        QTest::addColumn<QStringList>("edited");
        const QString att = u"MediaDomain/Library/SMS/Attachments/3f"_s;
        const QStringList smsDb{u"HomeDomain/Library/SMS/sms.db"_s},
            history{u"AppDomain-com.apple.mobilesafari/Library/Safari/History.db"_s,
                    u"HomeDomain/Library/Safari/History.db"_s},
            calls{u"WirelessDomain/Library/CallHistory/call_history.db"_s,
                  u"HomeDomain/Library/CallHistoryDB/CallHistory.storedata"_s};
        const QStringList messageFiles{att,
                                       att + u"/15/ABC/IMG_1.jpeg"_s,
                                       att + u"/15/ABC/IMG_1-preview.jpg"_s,
                                       att + u"/15/junk.jpg"_s,
                                       att + u"/15/ABC/sub/x.jpg"_s,
                                       u"MediaDomain/Library/SMS/Parts/2c/05/37-2.JPG"_s,
                                       u"HomeDomain/Library/SMS/Drafts/d1"_s,
                                       u"HomeDomain/Library/SMS/sms.db-wal"_s};
        const QList<QPair<QStringList, QStringList>> expected{
            {{u"HomeDomain/Library/Caches/a"_s, u"homedomain/library/caches/x"_s, u"RootDomain/Library/Caches/r"_s},
             {}},
            {{att + u"/15/junk.jpg"_s, att + u"/15/ABC/sub/x.jpg"_s, u"MediaDomain/Library/SMS/Parts/2c/05/37-2.JPG"_s},
             {}},
            {messageFiles, smsDb},
            {{u"AppDomain-com.apple.mobilesafari/Library/Safari/Thumbnails/t1.png"_s,
              u"AppDomain-com.apple.mobilesafari/Library/WebKit/WebsiteData/LocalStorage/ls"_s,
              u"AppDomain-com.apple.mobilesafari/Library/Safari/History.plist.bak"_s,
              u"HomeDomain/Library/Safari/History.db-wal"_s},
             history},
            {{}, calls}};
        for (int w = Sys; w <= Calls; ++w) {
            for (FixtureForm f :
                 {FixtureForm::Mbdb, FixtureForm::MbdbEncrypted, FixtureForm::Db, FixtureForm::DbEncrypted}) {
                QTest::addRow("%s-%s", kWorkerNames[w], fixtureFormName(f))
                    << w << f << false << u"synthetic"_s << expected[w].first << expected[w].second;
            }
            QTest::addRow("%s-scan", kWorkerNames[w])
                << w << FixtureForm::Db << true << u"synthetic"_s << expected[w].first << expected[w].second;
        }
        QTest::newRow("messages-ios5-read-trigger")
            << int(Messages) << FixtureForm::Mbdb << false << u"ios5"_s << messageFiles << smsDb;
        QTest::newRow("mmsatta-ios5-part-kept")
            << int(MmsAtta) << FixtureForm::DbEncrypted << false << u"ios5"_s
            << QStringList{att + u"/15/junk.jpg"_s, att + u"/15/ABC/sub/x.jpg"_s, att + u"/15/ABC/IMG_1.jpeg"_s,
                           att + u"/15/ABC/IMG_1-preview.jpg"_s}
            << QStringList();
        for (const char* real : {"magnetctf2020-amandawills/sms.db", "xry-eichbaumj/sms.db",
                                 "xry-eichbaumj/Logical/sms.db", "plaso/imessage_chat.db"}) {
            QTest::addRow("real-messages-%s", real) << int(Messages) << FixtureForm::DbEncrypted << false
                                                    << u"real:"_s + QLatin1String(real) << messageFiles << smsDb;
        }
        QTest::newRow("real-safari-history") << int(Safari) << FixtureForm::Db << false << u"real:plaso/History.db"_s
                                             << expected[Safari].first << history;
        QTest::newRow("real-call-history") << int(Calls) << FixtureForm::Mbdb << false
                                           << u"real:otapki-iphone/call_history.db"_s << QStringList() << calls;
    }

    void workers() {
        QFETCH(int, worker);
        QFETCH(FixtureForm, form);
        QFETCH(bool, scan);
        QFETCH(QString, variant);
        QFETCH(QStringList, dropped);
        QFETCH(QStringList, edited);
        if (variant.startsWith("real:"_L1) && !QFileInfo::exists(realData(qPrintable(variant.mid(5))))) {
            QSKIP("real device files are absent");
        }
        Reporter reporter;
        qint64 found = 0, cleared = 0;
        QJsonObject before;
        const FixtureBackup b = run(form, variant, worker, scan, reporter, &found, &cleared, &before, edited);
        QCOMPARE(reporter.errors, QStringList());
        QCOMPARE(reporter.successes, 1);
        const QJsonObject after = peerState(b, edited);
        const QJsonObject was = before["records"_L1].toObject(), now = after["records"_L1].toObject();
        qint64 expectFound = 0;
        for (const QString& key : dropped + edited) {
            if (was.contains(key) && !key.endsWith("-wal"_L1)) {
                expectFound += qint64(was[key].toArray()[0].toDouble());
            }
        }
        QCOMPARE(found, expectFound);
        QCOMPARE(cleared, scan ? (worker == Sys ? found : 0) : found);
        for (auto it = was.begin(); it != was.end(); ++it) {
            if (scan || (!dropped.contains(it.key()) && !edited.contains(it.key()))) {
                QVERIFY2(now[it.key()] == it.value(), qPrintable(it.key()));
            } else if (dropped.contains(it.key())) {
                QVERIFY2(!now.contains(it.key()), qPrintable(it.key()));
            } else {
                const QJsonArray a = now[it.key()].toArray(), w = it.value().toArray();
                QVERIFY(a[1] != w[1] && a[2] == w[2] && a[3] == w[3]); // new digest, same mode and protection
                QCOMPARE(after["dbs"_L1][it.key()].toArray(), (QJsonArray{u"ok"_s, 1, 0, true}));
            }
        }
        QCOMPARE(now.size(), scan ? was.size()
                                  : was.size() - int(std::count_if(dropped.begin(), dropped.end(),
                                                                   [&](const QString& k) { return was.contains(k); })));
    }

    // A failing worker says so and leaves every record and data file as it was.
    void failures_data() {
        QTest::addColumn<int>("worker");
        QTest::addColumn<FixtureForm>("form");
        QTest::addColumn<QString>("variant");
        QTest::addColumn<int>("limit"); // file-size limit in bytes, 0: none; -1: cancelled before start
        QTest::addColumn<QString>("error");
        QTest::newRow("manifest-save-past-size-limit-mbdb")
            << int(Messages) << FixtureForm::Mbdb << u"padded"_s << 300000 << u"File too large"_s;
        QTest::newRow("manifest-save-past-size-limit-db")
            << int(Calls) << FixtureForm::DbEncrypted << u"padded"_s << 300000 << u"File too large"_s;
        QTest::newRow("corrupt-message-database")
            << int(Messages) << FixtureForm::Db << u"corrupt"_s << 0 << u"file is not a database"_s;
        QTest::newRow("corrupt-database-junk-scan")
            << int(MmsAtta) << FixtureForm::Mbdb << u"corrupt"_s << 0 << u"file is not a database"_s;
        QTest::newRow("history-without-metadata")
            << int(Safari) << FixtureForm::MbdbEncrypted << u"notables"_s << 0 << u"no such table: metadata"_s;
        QTest::newRow("cancelled") << int(Messages) << FixtureForm::Db << u"synthetic"_s << -1 << QString();
    }

    void failures() {
        QFETCH(int, worker);
        QFETCH(FixtureForm, form);
        QFETCH(QString, variant);
        QFETCH(int, limit);
        QFETCH(QString, error);
        Reporter reporter;
        reporter.canceled = limit < 0;
        qint64 found = 0, cleared = 0;
        QJsonObject before;
        QMap<QString, QByteArray> files;
        const FixtureBackup b =
            run(form, variant, worker, false, reporter, &found, &cleared, &before, {}, rlim_t(qMax(0, limit)), &files);
        QCOMPARE(reporter.successes, 0);
        QCOMPARE(reporter.errors.size(), limit < 0 ? 0 : 1);
        QVERIFY2(error.isEmpty() || reporter.errors[0].contains(error), qPrintable(reporter.errors.value(0)));
        QCOMPARE(peerState(b, {}), before);
        QCOMPARE(folderDigests(b.dir), files);
    }
};

QTEST_GUILESS_MAIN(TestBackupCleaners)
#include "tst_backupcleaners.moc"
