// The fast routes through a manifest against the general ones: records read
// straight from binary property lists against the same records read from
// their XML form (Python's plistlib writes both), field ordering against
// QString ordering, and the file tree for paths of odd shapes.

#include "backup/backupmanifest.h"
#include "backup/mbdbparser.h"
#include "backupfixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString describe(const MBDBParser::_MBDBItem& i) {
    auto bin = [](const MBDBParser::_MBDBBinary& b) {
        return b.isValid() ? QString::fromLatin1(b.data.toHex()) : QStringLiteral("-%1").arg(b.length);
    };
    return QStringList{bin(i.domain),
                       bin(i.relativePath),
                       bin(i.linkTarget),
                       bin(i.digest),
                       bin(i.encryptionKey),
                       QString::number(i.mode),
                       QString::number(i.inodeHigh),
                       QString::number(i.inode),
                       QString::number(i.userId),
                       QString::number(i.groupId),
                       QString::number(i.lastModified),
                       QString::number(i.lastStatusChange),
                       QString::number(i.birth),
                       QString::number(i.size),
                       QString::number(i.protectionClass)}
        .join(QLatin1Char(' '));
}

// The record as text, or the error it raised.
QString decode(const QByteArray& plist) {
    try {
        return describe(MBDBParser::itemFromMbFilePlist(plist, QStringLiteral("HomeDomain"), QStringLiteral("p")));
    } catch (const std::exception&) {
        return QStringLiteral("error");
    }
}

MBDBParser::_MBDBItem named(const QByteArray& domain, const QByteArray& path) {
    MBDBParser::_MBDBItem i;
    i.domain.setVal(domain);
    i.relativePath.setVal(path);
    return i;
}

// The tree as text: each node "name=domain:path", its children in brackets.
QString tree(const BackupManifest::_FileNode* node) {
    QStringList parts;
    for (const BackupManifest::_FileNode* c : node->children) {
        parts << c->name + QLatin1Char('=') + c->item.domain.toString() + QLatin1Char(':') +
                     c->item.relativePath.toString() +
                     (c->children.isEmpty() ? QString() : QLatin1Char('(') + tree(c) + QLatin1Char(')'));
    }
    return parts.join(QLatin1Char(' '));
}

} // namespace

class TestManifestFast : public QObject {
    Q_OBJECT
private slots:
    // Each shape must read the same from both forms, and read as expected: "error" for a refused archive,
    // otherwise a part of the record's text (UIDs pointing nowhere read as absent fields).
    void binaryAndXmlAgree_data() {
        QTest::addColumn<QByteArray>("binary");
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QString>("expected");
        const QString absent3 = QStringLiteral(" 70 -65535 -65535 -65535 ");
        const QHash<QString, QString> expected{
            {"usual", " 70 2e2e2f622e6462 " + QString::fromLatin1(QByteArray(20, 'd').toHex()) +
                          " 00010203000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f2021222324252627"
                          " 33188 0 123456789012 501 501 1500000000 1500000001 1400000000 1099511627776 3"},
            {"uid outside objects", absent3 + "33188 0 123456789012 "},
            {"inline values", " 70 74 " + QString::fromLatin1(QByteArray("inline digest bytes!").toHex() + ' ' +
                                                              QByteArray(44, 'k').toHex() + " 33188 ")},
            {"fraction refused", absent3 + "0 0 "},
            {"above 64 bits signed", " 1400000000 0 3"},
            {"root is a string", "error"},
            {"no $top", "error"},
            {"no $objects", "error"},
            {"objects not an array", "error"},
            {"root through nothing", "error"}};
        const QJsonArray cases =
            QJsonDocument::fromJson(runPython({QStringLiteral(VEXLAR_SOURCE_DIR "/tests/backup/mbfile_shapes.py")}))
                .array();
        QVERIFY(cases.size() > 10);
        for (const QJsonValue& v : cases) {
            const QJsonObject o = v.toObject();
            const QString name = o.value(QStringLiteral("name")).toString();
            QTest::newRow(qPrintable(name))
                << QByteArray::fromHex(o.value(QStringLiteral("bin")).toString().toLatin1())
                << QByteArray::fromHex(o.value(QStringLiteral("xml")).toString().toLatin1()) << expected.value(name);
        }
        QTest::newRow("garbage") << QByteArray("bplist00garbage") << QByteArray("<?xml garbage") << "error";
        QTest::newRow("empty") << QByteArray() << QByteArray() << "error";
    }
    void binaryAndXmlAgree() {
        QFETCH(QByteArray, binary);
        QFETCH(QByteArray, xml);
        QFETCH(QString, expected);
        const QString got = decode(binary);
        QCOMPARE(decode(xml), got);
        QVERIFY2(got.contains(expected) && (got == QLatin1String("error")) == (expected == QLatin1String("error")),
                 qPrintable(got));
    }

    void orderMatchesQString_data() {
        QTest::addColumn<QByteArray>("a");
        QTest::addColumn<QByteArray>("b");
        QTest::newRow("ascii") << QByteArray("Library/a") << QByteArray("Library/b");
        QTest::newRow("prefix") << QByteArray("Library") << QByteArray("Library/x");
        QTest::newRow("equal") << QByteArray("same") << QByteArray("same");
        QTest::newRow("empty") << QByteArray() << QByteArray("a");
        QTest::newRow("slash and dash") << QByteArray("a/b") << QByteArray("a-b");
        // UTF-16 puts U+FF21 after a supplementary character; UTF-8 puts it before.
        QTest::newRow("private use vs supplementary") << QByteArray("x\xef\xbc\xa1") << QByteArray("x\xf0\x9f\x98\x80");
        QTest::newRow("accent vs ascii") << QByteArray("caf\xc3\xa9") << QByteArray("cafz");
        QTest::newRow("prefix then non-ascii") << QByteArray("dir") << QByteArray("dir\xc3\xa9");
        QTest::newRow("invalid utf-8 at end") << QByteArray("a\xe2\x82") << QByteArray("a\xe2\x82\xac");
        QTest::newRow("invalid utf-8 before ascii") << QByteArray("a\xe2\x82z") << QByteArray("a\xe2\x82");
        QTest::newRow("bom only") << QByteArray() << QByteArray("\xef\xbb\xbf");
    }
    void orderMatchesQString() {
        QFETCH(QByteArray, a);
        QFETCH(QByteArray, b);
        for (const auto& [x, y] : {std::pair{a, b}, std::pair{b, a}}) {
            const int expected = QString::compare(QString::fromUtf8(x), QString::fromUtf8(y), Qt::CaseSensitive);
            QCOMPARE(compareMBDBItemLess(named("D", x), named("D", y)), expected < 0);
            QCOMPARE(compareMBDBItemLess(named(x, "p"), named(y, "p")), expected < 0);
        }
    }

    void backupFileNameOfOddText_data() {
        QTest::addColumn<QByteArray>("path");
        QTest::newRow("ascii") << QByteArray("Library/SMS/sms.db");
        QTest::newRow("utf-8") << QByteArray("Media/caf\xc3\xa9.jpg");
        QTest::newRow("invalid utf-8") << QByteArray("Media/\xff\xfe.jpg");
        QTest::newRow("empty") << QByteArray();
    }
    void backupFileNameOfOddText() {
        QFETCH(QByteArray, path);
        QCOMPARE(named("HomeDomain", path).backupFileName(),
                 MBDBParser::getFileHashName(QStringLiteral("HomeDomain"), QString::fromUtf8(path)));
    }

    void treeOfOddPaths() {
        // Paths are placed by their text: a parent path with no node puts the
        // node at the top, and later records find it by its whole path.
        QTemporaryDir tmp;
        const QList<FixtureFile> files{
            fixtureEntry("HomeDomain", QStringLiteral("/x")),
            fixtureEntry("HomeDomain", QStringLiteral("/x/y"), "1"),
            fixtureEntry("HomeDomain", QStringLiteral("a")),
            fixtureEntry("HomeDomain", QStringLiteral("a//c")),
            fixtureEntry("HomeDomain", QStringLiteral("a//c/d"), "2"),
            fixtureEntry("HomeDomain", QStringLiteral("a/b"), "3"),
            fixtureEntry("RootDomain", QStringLiteral("a/b"), "4"), // same place: the first one stays
            fixtureEntry("HomeDomain", QStringLiteral("c")),
            fixtureEntry("HomeDomain", QStringLiteral("c/e"), "5"),
            fixtureEntry("Odd/Domain", QStringLiteral("f"), "6"),
            fixtureEntry("Odd/Domain", QStringLiteral("g/h"), "7"),
        };
        QCOMPARE(thrownText([&] { writeFixtureBackup(tmp.path(), FixtureForm::Db, files); }), QString());
        BackupManifest m(tmp.path());
        m.readManifestInfo();
        m.parseInfo();
        QCOMPARE(tree(&m.root),
                 QStringLiteral("x=HomeDomain:/x(y=HomeDomain:/x/y) a=HomeDomain:a(b=HomeDomain:a/b) "
                                "c=HomeDomain:a//c(d=HomeDomain:a//c/d) c=HomeDomain:c(e=HomeDomain:c/e) "
                                "Odd/Domain=:(f=Odd/Domain:f) h=Odd/Domain:g/h"));
    }
};

QTEST_GUILESS_MAIN(TestManifestFast)
#include "tst_manifestfast.moc"
