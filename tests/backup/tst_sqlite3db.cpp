// The SQLite wrapper against in-memory databases rebuilt for every test (real
// device databases, whose triggers call app-defined functions, are cleaned
// in tst_cleaners).

#include "sqlite/sqlite3db.h"
#include "tests/app/datarows.h"
#include "tests/backup/backupfixture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <sqlite3.h>

using namespace Qt::StringLiterals;

class TestSqlite3DB : public QObject {
    Q_OBJECT

private:
    Sqlite3DB m_db;

private slots:
    void init() {
        m_db.openThrow(u":memory:"_s, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        m_db.executeThrow("create table t(id integer primary key, name text, n integer, data blob)");
        m_db.executeThrow("with recursive r(i) as (select 1 union all select i + 1 from r where i < 5) "
                          "insert into t(name, n, data) select 'row ' || i, i * 10, zeroblob(i) from r");
    }
    void cleanup() { m_db.close(); }

    void countIsKnownBeforeTheFirstRow() {
        Sqlite3Cursor d = m_db.queryThrow(Sqlite3Sql("select * from t where n > ? order by id").addIntParam(20));
        QCOMPARE(d.count(), 3);
        QVERIFY(d.moveNext());
        QCOMPARE(d.getText(u"name"_s), u"row 3"_s);
        // Counting mid-way keeps the cursor where it was.
        QCOMPARE(d.count(), 3);
        QVERIFY(d.moveNext());
        QCOMPARE(d.getInt(u"n"_s), 40);
        QVERIFY(d.moveNext());
        QVERIFY(!d.moveNext());
        QVERIFY(!d.moveNext());
        QCOMPARE(d.count(), 3);
    }

    void parametersBindInOrder() {
        Sqlite3Cursor c = m_db.queryThrow(
            Sqlite3Sql("select typeof(?) || typeof(?) || typeof(?) || typeof(?) || typeof(?) as ty, ? as t, ? as b, "
                       "? as i")
                .addTextParam(u"x"_s)
                .addTextParam(QString())
                .addBlobParam(QByteArray("\0\1\2", 3))
                .addBlobParam(QByteArray())
                .addInt64Param(1)
                .addTextParam(u"h\u00e9llo"_s)
                .addBlobParam(QByteArray("\0\1\2", 3))
                .addInt64Param(Q_INT64_C(1) << 40));
        QVERIFY(c.moveNext());
        // An empty text stays text and an empty blob stays a blob, never NULL.
        QCOMPARE(c.getText(u"ty"_s), u"texttextblobblobinteger"_s);
        QCOMPARE(c.getText(u"t"_s), u"h\u00e9llo"_s);
        QCOMPARE(c.getBlob(u"b"_s), QByteArray("\0\1\2", 3));
        QCOMPARE(c.getInt64(u"i"_s), Q_INT64_C(1) << 40);
    }

    void errorsAreThrownWithSqliteText_data() {
        addRowsFrom(QStringLiteral(VEXLAR_SOURCE_DIR "/tests/backup/tst_sqlite3db.json"),
                    "errorsAreThrownWithSqliteText");
    }
    void errorsAreThrownWithSqliteText() {
        QFETCH(QString, sql);
        QFETCH(QString, expected);
        const QString text = thrownText([&] { m_db.executeThrow(Sqlite3Sql(sql)); });
        QVERIFY2(text.contains(expected), qPrintable(text));
        // The rejected second statement did not run.
        Sqlite3Cursor c = m_db.queryThrow("select count(*) as n from t");
        QVERIFY(c.moveNext());
        QCOMPARE(c.getInt(u"n"_s), 5);
    }

    void smallErrors() {
        QVERIFY(thrownText([&] { m_db.executeThrow("delete from t where id = 1;  \n"); }).isEmpty());
        QCOMPARE(m_db.changes(), 1);
        Sqlite3Cursor c = m_db.queryThrow("select id from t");
        QVERIFY(!thrownText([&] { c.getText(u"id"_s); }).isEmpty()); // before the first row
        QVERIFY(c.moveNext());
        QVERIFY(thrownText([&] { c.getText(u"nope"_s); }).contains(u"no column nope"_s));
        QTemporaryDir tmp;
        const QString path = tmp.filePath(u"missing.db"_s);
        Sqlite3DB db;
        QVERIFY(thrownText([&] { db.openThrow(path, SQLITE_OPEN_READWRITE); }).contains(path));
        QVERIFY(!db.isOpen());
        QVERIFY(!QFile::exists(path));
    }

    void closeRollsBackAnOpenTransaction() {
        QTemporaryDir tmp;
        const QString path = tmp.filePath(u"t.db"_s);
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
        QCOMPARE(c.getInt(u"n"_s), 0);
    }

    void userFunctions() {
        m_db.createFunctionThrow(u"twice"_s, 1,
                                 [](const QList<QVariant>& args) { return QVariant(args.value(0).toLongLong() * 2); });
        m_db.createFunctionThrow(u"fails"_s, 0,
                                 [](const QList<QVariant>&) -> QVariant { throw std::runtime_error("refused"); });
        Sqlite3Cursor c = m_db.queryThrow("select twice(n) as v from t where id = 2");
        QVERIFY(c.moveNext());
        QCOMPARE(c.getInt(u"v"_s), 40);
        QVERIFY(thrownText([&] { m_db.executeThrow("select fails()"); }).contains(u"refused"_s));
    }
};

QTEST_GUILESS_MAIN(TestSqlite3DB)
#include "tst_sqlite3db.moc"
