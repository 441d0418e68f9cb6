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
#include <QProcess>
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

QStringList childNames(const BackupManifest::_FileNode* node) {
    QStringList names;
    for (const BackupManifest::_FileNode* c : node->children) {
        names << c->name;
    }
    return names;
}

const BackupManifest::_FileNode* childAt(const BackupManifest::_FileNode* node, int i) {
    return i < node->children.size() ? node->children.at(i) : nullptr;
}

} // namespace

class TestManifestFast : public QObject {
    Q_OBJECT
private slots:
    void binaryAndXmlAgree_data() {
        QTest::addColumn<QByteArray>("binary");
        QTest::addColumn<QByteArray>("xml");
        QProcess py;
        py.start(QStringLiteral(VEXLAR_PYTHON), {QStringLiteral(VEXLAR_SOURCE_DIR "/tests/backup/mbfile_shapes.py")});
        QVERIFY(py.waitForFinished(60000));
        QCOMPARE(py.exitCode(), 0);
        const QJsonArray cases = QJsonDocument::fromJson(py.readAllStandardOutput()).array();
        QVERIFY(cases.size() > 10);
        for (const QJsonValue& v : cases) {
            const QJsonObject o = v.toObject();
            QTest::newRow(qPrintable(o.value(QStringLiteral("name")).toString()))
                << QByteArray::fromHex(o.value(QStringLiteral("bin")).toString().toLatin1())
                << QByteArray::fromHex(o.value(QStringLiteral("xml")).toString().toLatin1());
        }
    }
    void binaryAndXmlAgree() {
        QFETCH(QByteArray, binary);
        QFETCH(QByteArray, xml);
        QVERIFY(binary.startsWith("bplist00"));
        QCOMPARE(decode(binary), decode(xml));
        if (QLatin1String(QTest::currentDataTag()) != QLatin1String("usual")) {
            return;
        }
        // The usual case field by field, so that agreement is not agreement on nothing.
        const MBDBParser::_MBDBItem i =
            MBDBParser::itemFromMbFilePlist(binary, QStringLiteral("HomeDomain"), QStringLiteral("Library/a.db"));
        QCOMPARE(i.linkTarget.toString(), QStringLiteral("../b.db"));
        QCOMPARE(i.digest.data, QByteArray(20, 'd'));
        QCOMPARE(i.encryptionKey.data.size(), 44);
        QCOMPARE(i.mode, quint16(0100644));
        QCOMPARE(i.inode, quint64(123456789012));
        QCOMPARE(i.size, qint64(1) << 40);
        QCOMPARE(i.protectionClass, qint8(3));
        QCOMPARE(i.backupFileName(),
                 MBDBParser::getFileHashName(QStringLiteral("HomeDomain"), QStringLiteral("Library/a.db")));
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
        const BackupManifest::_FileNode* root = &m.root;
        QCOMPARE(childNames(root),
                 (QStringList{QStringLiteral("x"), QStringLiteral("a"), QStringLiteral("c"), QStringLiteral("c"),
                              QStringLiteral("Odd/Domain"), QStringLiteral("h")}));
        QCOMPARE(childNames(childAt(root, 0)), QStringList{QStringLiteral("y")});
        QCOMPARE(childNames(childAt(root, 1)), QStringList{QStringLiteral("b")});
        QCOMPARE(childAt(childAt(root, 1), 0)->item.domain.toString(), QStringLiteral("HomeDomain"));
        QCOMPARE(childAt(root, 2)->item.relativePath.toString(), QStringLiteral("a//c"));
        QCOMPARE(childNames(childAt(root, 2)), QStringList{QStringLiteral("d")});
        QCOMPARE(childAt(root, 3)->item.relativePath.toString(), QStringLiteral("c"));
        QCOMPARE(childNames(childAt(root, 3)), QStringList{QStringLiteral("e")});
        QCOMPARE(childNames(childAt(root, 4)), QStringList{QStringLiteral("f")});
        QCOMPARE(childAt(root, 5)->item.relativePath.toString(), QStringLiteral("g/h"));
    }
};

QTEST_GUILESS_MAIN(TestManifestFast)
#include "tst_manifestfast.moc"
