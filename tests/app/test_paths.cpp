// Data directory resolution and the path and size helpers.

#include "app/paths.h"
#include "tests/app/datarows.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// The tables of the data-driven cases, and their other fixture data.
const QString kTables = QStringLiteral(VEXLAR_SOURCE_DIR "/tests/app/test_paths.json");

const QString kId = QStringLiteral("3C9E17B0A4D25F68C1E0B7734D9A2F15");

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(path));
    f.write(bytes);
}
} // namespace

class TestPaths : public QObject {
    Q_OBJECT

    QTemporaryDir m_home;
    QString m_base;

private slots:
    void initTestCase() {
        QVERIFY(m_home.isValid());
        qputenv("HOME", QFile::encodeName(m_home.path()));
        m_base = m_home.path() + QStringLiteral("/Library/Application Support/Quorvindale");
    }

    void cleanup() { QFile::remove(m_base + QLatin1Char('/') + kId + QStringLiteral(".redirect")); }

    void dataDirectory_data() { addRowsFrom(kTables, "dataDirectory"); }
    void dataDirectory() {
        QFETCH(QString, redirectContent);
        QFETCH(bool, redirected);
        QTemporaryDir target;
        QVERIFY(target.isValid());
        if (!redirectContent.isNull()) {
            QVERIFY(QDir().mkpath(m_base));
            writeFile(m_base + QLatin1Char('/') + kId + QStringLiteral(".redirect"),
                      QString(redirectContent).replace(QLatin1Char('@'), target.path()).toUtf8());
        }
        QCOMPARE(g_defaultSaveDirPath(), m_base);
        QCOMPARE(g_dataSaveDirLink(), redirected ? target.path() : QString());
        QCOMPARE(g_resolveDataSaveDirPath(), (redirected ? target.path() : m_base) + QLatin1Char('/') + kId);
    }

    void dataDirectoryIsCreatedAndKept() {
        const QDir dir = g_dataSaveDir();
        QVERIFY(dir.exists());
        QCOMPARE(dir.absolutePath(), m_base + QLatin1Char('/') + kId);
        // Resolved once: a redirect written later changes nothing in this process.
        QTemporaryDir other;
        writeFile(m_base + QLatin1Char('/') + kId + QStringLiteral(".redirect"), other.path().toUtf8());
        QCOMPARE(g_dataSaveDir().absolutePath(), m_base + QLatin1Char('/') + kId);
    }

    void delDirCascade() {
        QTemporaryDir tmp;
        const QString root = tmp.path() + u"/root"_s;
        for (const QString& file : {u"a.txt"_s, u"sub/b.txt"_s, u"sub/deeper/c.txt"_s, u"keep/.hidden"_s,
                                    u"gone/d.txt"_s, u"../outside/precious.txt"_s}) {
            QVERIFY(QDir().mkpath(QFileInfo(root + u'/' + file).absolutePath()));
            writeFile(root + u'/' + file, "x");
        }
        // A link to a folder outside must go as a link, never by emptying its target.
        QVERIFY(QFile::link(tmp.path() + u"/outside"_s, root + u"/link"_s));
        QVERIFY(QFile::link(tmp.path() + u"/nowhere"_s, root + u"/broken"_s));

        g_delDirCascade(root);

        QVERIFY(QFile::exists(tmp.path() + u"/outside/precious.txt"_s));
        for (const QString& gone : {u"link"_s, u"broken"_s, u"a.txt"_s, u"sub"_s, u"gone"_s}) {
            QVERIFY2(!QFileInfo(root + u'/' + gone).exists() && !QFileInfo(root + u'/' + gone).isSymLink(),
                     qPrintable(gone));
        }
        // The dot-file is not listed, so it and every folder above it stay.
        QVERIFY(QFile::exists(root + u"/keep/.hidden"_s));

        g_delDirCascade(tmp.path() + u"/missing"_s); // nothing to do, no crash
        QFile::remove(root + u"/keep/.hidden"_s);
        g_delDirCascade(root);
        QVERIFY(!QFile::exists(root));
    }

    void formatFileName_data() { addRowsFrom(kTables, "formatFileName"); }
    void formatFileName() {
        QFETCH(QString, name);
        QFETCH(QString, expected);
        QCOMPARE(g_formatFileName(name), expected);
    }

    void formatSpaceShow_data() { addRowsFrom(kTables, "formatSpaceShow"); }
    void formatSpaceShow() {
        QFETCH(qint64, bytes);
        QFETCH(QString, expected);
        QCOMPARE(::formatSpaceShow(bytes), expected);
    }
};

QTEST_GUILESS_MAIN(TestPaths)
#include "test_paths.moc"
