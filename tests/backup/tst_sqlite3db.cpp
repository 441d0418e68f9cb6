// The SQLite wrapper against in-memory databases rebuilt for every test, and
// against real device databases whose triggers call app-defined functions.

#include "sqlite/sqlite3db.h"
#include "tests/backup/backupfixture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <sqlite3.h>

class TestSqlite3DB : public QObject {
    Q_OBJECT

private:
    Sqlite3DB m_db;

private slots:
    void init() {
        m_db.openThrow(QStringLiteral(":memory:"), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        m_db.executeThrow("create table t(id integer primary key, name text, n integer, data blob)");
        for (int i = 1; i <= 5; ++i) {
            m_db.executeThrow(Sqlite3Sql("insert into t(name, n, data) values(?,?,?)")
                                  .addTextParam(QStringLiteral("row %1").arg(i))
                                  .addIntParam(i * 10)
                                  .addBlobParam(QByteArray(i, char(i))));
        }
    }
    void cleanup() { m_db.close(); }

    void countIsKnownBeforeTheFirstRow() {
        Sqlite3Cursor d = m_db.queryThrow(Sqlite3Sql("select * from t where n > ? order by id").addIntParam(20));
        QCOMPARE(d.count(), 3);
        QVERIFY(d.moveNext());
        QCOMPARE(d.getText(QStringLiteral("name")), QStringLiteral("row 3"));
        // Counting mid-way keeps the cursor where it was.
        QCOMPARE(d.count(), 3);
        QVERIFY(d.moveNext());
        QCOMPARE(d.getInt(QStringLiteral("n")), 40);
        QVERIFY(d.moveNext());
        QVERIFY(!d.moveNext());
        QVERIFY(!d.moveNext());
        QCOMPARE(d.count(), 3);
    }

    void parametersBindInOrder() {
        Sqlite3Cursor c = m_db.queryThrow(
            Sqlite3Sql("select typeof(?) || typeof(?) || typeof(?) || typeof(?) || typeof(?) as ty, ? as t, ? as b, "
                       "? as i")
                .addTextParam(QStringLiteral("x"))
                .addTextParam(QString())
                .addBlobParam(QByteArray("\0\1\2", 3))
                .addBlobParam(QByteArray())
                .addInt64Param(1)
                .addTextParam(QStringLiteral("h\u00e9llo"))
                .addBlobParam(QByteArray("\0\1\2", 3))
                .addInt64Param(Q_INT64_C(1) << 40));
        QVERIFY(c.moveNext());
        // An empty text stays text and an empty blob stays a blob, never NULL.
        QCOMPARE(c.getText(QStringLiteral("ty")), QStringLiteral("texttextblobblobinteger"));
        QCOMPARE(c.getText(QStringLiteral("t")), QStringLiteral("h\u00e9llo"));
        QCOMPARE(c.getBlob(QStringLiteral("b")), QByteArray("\0\1\2", 3));
        QCOMPARE(c.getInt64(QStringLiteral("i")), Q_INT64_C(1) << 40);
    }

    void errorsAreThrownWithSqliteText_data() {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<QString>("expected");
        QTest::newRow("syntax") << QStringLiteral("selec 1") << QStringLiteral("syntax error");
        QTest::newRow("no table") << QStringLiteral("select * from nothere") << QStringLiteral("no such table");
        QTest::newRow("two statements") << QStringLiteral("delete from t; drop table t")
                                        << QStringLiteral("more than one statement");
        QTest::newRow("missing parameter") << QStringLiteral("select ?") << QStringLiteral("parameters given");
        QTest::newRow("constraint") << QStringLiteral("insert into t(id) values(1)") << QStringLiteral("UNIQUE");
        QTest::newRow("empty") << QStringLiteral("  ") << QStringLiteral("empty statement");
    }
    void errorsAreThrownWithSqliteText() {
        QFETCH(QString, sql);
        QFETCH(QString, expected);
        const QString text = thrownText([&] { m_db.executeThrow(Sqlite3Sql(sql)); });
        QVERIFY2(text.contains(expected), qPrintable(text));
        // The rejected second statement did not run.
        Sqlite3Cursor c = m_db.queryThrow("select count(*) as n from t");
        QVERIFY(c.moveNext());
        QCOMPARE(c.getInt(QStringLiteral("n")), 5);
    }

    void smallErrors() {
        QVERIFY(thrownText([&] { m_db.executeThrow("delete from t where id = 1;  \n"); }).isEmpty());
        QCOMPARE(m_db.changes(), 1);
        Sqlite3Cursor c = m_db.queryThrow("select id from t");
        QVERIFY(!thrownText([&] { c.getText(QStringLiteral("id")); }).isEmpty()); // before the first row
        QVERIFY(c.moveNext());
        QVERIFY(thrownText([&] { c.getText(QStringLiteral("nope")); }).contains(QStringLiteral("no column nope")));
        QTemporaryDir tmp;
        const QString path = tmp.filePath(QStringLiteral("missing.db"));
        Sqlite3DB db;
        QVERIFY(thrownText([&] { db.openThrow(path, SQLITE_OPEN_READWRITE); }).contains(path));
        QVERIFY(!db.isOpen());
        QVERIFY(!QFile::exists(path));
    }

    void closeRollsBackAnOpenTransaction() {
        QTemporaryDir tmp;
        const QString path = tmp.filePath(QStringLiteral("t.db"));
        {
            Sqlite3DB db;
            db.openThrow(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
            db.executeThrow("create table x(a)");
            db.beginTran();
            db.executeThrow("insert into x values(1)");
            db.close();
        }
        Sqlite3DB db;
        db.openThrow(path, SQLITE_OPEN_READWRITE);
        Sqlite3Cursor c = db.queryThrow("select count(*) as n from x");
        QVERIFY(c.moveNext());
        QCOMPARE(c.getInt(QStringLiteral("n")), 0);
    }

    void userFunctions() {
        m_db.createFunctionThrow(QStringLiteral("twice"), 1,
                                 [](const QList<QVariant>& args) { return QVariant(args.value(0).toLongLong() * 2); });
        m_db.createFunctionThrow(QStringLiteral("fails"), 0,
                                 [](const QList<QVariant>&) -> QVariant { throw std::runtime_error("refused"); });
        Sqlite3Cursor c = m_db.queryThrow("select twice(n) as v from t where id = 2");
        QVERIFY(c.moveNext());
        QCOMPARE(c.getInt(QStringLiteral("v")), 40);
        QVERIFY(thrownText([&] { m_db.executeThrow("select fails()"); }).contains(QStringLiteral("refused")));
    }

    // Real message databases have triggers that call app-defined functions.
    void realTriggersRunWithRegisteredFunctions_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("statement");
        QTest::newRow("ios13 attachments")
            << QStringLiteral("magnetctf2020-amandawills/sms.db") << QStringLiteral("delete from attachment");
        QTest::newRow("ios5 messages") << QStringLiteral("xry-eichbaumj/Logical/sms.db")
                                       << QStringLiteral("delete from message");
    }
    void realTriggersRunWithRegisteredFunctions() {
        QFETCH(QString, file);
        QFETCH(QString, statement);
        const QString src = QStringLiteral(VEXLAR_REALDATA_DIR "/") + file;
        if (!QFile::exists(src)) {
            QSKIP("real sample data not present");
        }
        QTemporaryDir tmp;
        const QString path = tmp.filePath(QStringLiteral("sms.db"));
        QVERIFY(QFile::copy(src, path));
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
        Sqlite3DB db;
        db.openThrow(path, SQLITE_OPEN_READWRITE);
        // Without the functions the triggers fail.
        QVERIFY(
            thrownText([&] { db.executeThrow(Sqlite3Sql(statement)); }).contains(QStringLiteral("no such function")));
        auto zero = [](const QList<QVariant>&) { return QVariant(0); };
        db.createFunctionThrow(QStringLiteral("delete_attachment_path"), 1, zero);
        db.createFunctionThrow(QStringLiteral("before_delete_attachment_path"), 2, zero);
        db.createFunctionThrow(QStringLiteral("read"), 1, zero);
        db.beginTran();
        db.executeThrow(Sqlite3Sql(statement));
        QVERIFY(db.changes() > 0);
        db.commitTran();
    }
};

QTEST_GUILESS_MAIN(TestSqlite3DB)
#include "tst_sqlite3db.moc"
