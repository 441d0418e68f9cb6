// Property lists against an independent implementation (Python's plistlib)
// and against real files from a device backup.

#include "device/cftype.h"
#include "tests/plist/plistfixture.h"

#include <QJsonDocument>
#include <QProcess>
#include <QtTest>
#include <sqlite3.h>

namespace {

// Runs the oracle; its one line of output is the canonical form.
QJsonValue oracle(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral(VEXLAR_PYTHON),
            QStringList{QStringLiteral(VEXLAR_SOURCE_DIR "/tests/plist/plist_oracle.py")} + args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning() << "oracle failed:" << p.readAllStandardError();
        return QJsonValue();
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(p.readAllStandardOutput(), &error);
    if (error.error != QJsonParseError::NoError)
        return QJsonValue();
    return doc.object();
}

// Where two canonical forms first differ (empty when equal), for readable failures.
QString difference(const QJsonValue& a, const QJsonValue& b, const QString& path = QStringLiteral("/")) {
    if (a == b)
        return {};
    if (a.isObject() && b.isObject() && a.toObject().keys() == b.toObject().keys()) {
        for (const QString& k : a.toObject().keys()) {
            const QString d = difference(a.toObject().value(k), b.toObject().value(k), path + k + QLatin1Char('/'));
            if (!d.isEmpty())
                return d;
        }
    }
    if (a.isArray() && b.isArray() && a.toArray().size() == b.toArray().size()) {
        for (qsizetype i = 0; i < a.toArray().size(); ++i) {
            const QString d =
                difference(a.toArray().at(i), b.toArray().at(i), path + QString::number(i) + QLatin1Char('/'));
            if (!d.isEmpty())
                return d;
        }
    }
    auto show = [](const QJsonValue& v) { return QString::fromUtf8(QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact)).left(300); };
    return path + QStringLiteral(": ") + show(a) + QStringLiteral(" != ") + show(b);
}

// The oracle's reading of a file against this side's value.
#define COMPARE_WITH_PYTHON(path, here)                                                                                \
    do {                                                                                                               \
        const QJsonValue dumped = oracle({QStringLiteral("dump"), path});                                              \
        QVERIFY(dumped.isObject());                                                                                    \
        QVERIFY2(dumped == (here), qPrintable(difference(dumped, here)));                                              \
    } while (false)

} // namespace

class TestPlistInterop : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        if (!QFile::exists(QStringLiteral(VEXLAR_PYTHON)))
            QSKIP("no Python interpreter for the oracle");
    }

    void writtenHereReadByPython_data() {
        QTest::addColumn<CFType>("value");
        QTest::addColumn<long>("format");
        for (long format : {long(kCFPropertyListXMLFormat_v1_0), long(kCFPropertyListBinaryFormat_v1_0)}) {
            const bool binary = format == kCFPropertyListBinaryFormat_v1_0;
            const char* f = binary ? "binary" : "xml";
            QTest::addRow("%s rich", f) << richSample(binary) << format;
            QTest::addRow("%s top-level string", f) << str(QStringLiteral("\u00e9t\u00e9")) << format;
            QTest::addRow("%s top-level negative", f) << CFType::createCFNumberInt64(-7) << format;
            QTest::addRow("%s keyed archive", f)
                << CFType::createNSDictionaryStringCFType(
                       {{QStringLiteral("Size"), CFType::createCFNumberInt64(1)}, {QStringLiteral("\u00fc"), str("x")}},
                       true)
                << format;
        }
        // Many objects: binary object references wider than one byte.
        CFType many = CFType::createCFArray();
        for (int i = 0; i < 70000; ++i)
            many.append(CFType::createCFNumberInt32(i));
        QTest::newRow("binary 70000 numbers") << many << long(kCFPropertyListBinaryFormat_v1_0);
    }

    void writtenHereReadByPython() {
        QFETCH(CFType, value);
        QFETCH(long, format);
        const QString path =
            m_dir.filePath(QStringLiteral("%1.plist").arg(QString::fromLatin1(QTest::currentDataTag())));
        const QByteArray bytes = value.CFPropertyListToBytes(format);
        QVERIFY(!bytes.isEmpty() && writeFile(path, bytes));
        COMPARE_WITH_PYTHON(path, plistCanon(value));
    }

    void writtenByPythonReadHere_data() {
        QTest::addColumn<QString>("format");
        QTest::newRow("xml") << "xml";
        QTest::newRow("binary") << "bin";
    }

    void writtenByPythonReadHere() {
        QFETCH(QString, format);
        const QString path = m_dir.filePath(QStringLiteral("python.%1").arg(format));
        const QJsonValue python = oracle({QStringLiteral("write"), format, path});
        QVERIFY(python.isObject());
        const CFType value = CFType::createCFPropertyListFromFile(path);
        QVERIFY(value.isCFDictionary());
        QVERIFY2(python == plistCanon(value), qPrintable(difference(python, plistCanon(value))));
        QCOMPARE(value.get(QStringLiteral("big")).CFNumberUInt64(), 18446744073709551615ULL);
        QCOMPARE(value.get(QStringLiteral("ints")).at(10).CFNumberInt64(), std::numeric_limits<long long>::min());
        // What is read here is written back unchanged.
        const QByteArray again = value.CFPropertyListToBytes(
            format == QLatin1String("bin") ? kCFPropertyListBinaryFormat_v1_0 : kCFPropertyListXMLFormat_v1_0);
        const QString againPath = path + QStringLiteral(".again");
        QVERIFY(writeFile(againPath, again));
        COMPARE_WITH_PYTHON(againPath, python);
    }

    void realInfoPlist() {
        const QString path = QStringLiteral(VEXLAR_REALDATA_DIR "/mvt/Info.plist");
        if (!QFile::exists(path))
            QSKIP("real backup files are not present");
        const CFType info = CFType::createCFPropertyListFromFile(path);
        QVERIFY(info.isCFDictionary());
        QCOMPARE(info.get(QStringLiteral("Product Version")).CFStringQString(), QStringLiteral("14.3"));
        QCOMPARE(info.get(QStringLiteral("Product Type")).CFStringQString(), QStringLiteral("iPhone9,3"));
        QCOMPARE(info.get(QStringLiteral("Installed Applications")).array_size(), 6L);
        QCOMPARE(info.get(QStringLiteral("Last Backup Date")).CFDateToDateTime(),
                 QDateTime(QDate(2021, 12, 3), QTime(19, 33, 13), Qt::LocalTime));
        COMPARE_WITH_PYTHON(path, plistCanon(info));
    }

    void realManifestRecords() {
        const QString path = QStringLiteral(VEXLAR_REALDATA_DIR "/mvt/Manifest.db");
        if (!QFile::exists(path))
            QSKIP("real backup files are not present");
        sqlite3* db = nullptr;
        // The folder is read-only and the database is in WAL mode: open it immutable.
        const QByteArray uri = "file:" + path.toUtf8() + "?immutable=1";
        QCOMPARE(sqlite3_open_v2(uri.constData(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr), SQLITE_OK);
        sqlite3_stmt* st = nullptr;
        QCOMPARE(sqlite3_prepare_v2(db, "SELECT fileID, relativePath, flags, file FROM Files ORDER BY fileID", -1, &st,
                                    nullptr),
                 SQLITE_OK);
        int rows = 0;
        int withKey = 0;
        QStringList checkedByPython;
        while (sqlite3_step(st) == SQLITE_ROW) {
            ++rows;
            const QString fileId = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
            const QString relativePath = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 1)));
            const int flags = sqlite3_column_int(st, 2);
            const QByteArray blob(static_cast<const char*>(sqlite3_column_blob(st, 3)), sqlite3_column_bytes(st, 3));
            const CFType archive = CFType::createCFPropertyList(blob);
            QVERIFY2(archive.isCFDictionary(), qPrintable(fileId));
            const QHash<QString, CFType> file = archive.NSKeyedArchiver();
            QCOMPARE(file.value(QStringLiteral("RelativePath")).CFStringQString(), relativePath);
            QCOMPARE(file.value(QStringLiteral("$class")).get(QStringLiteral("$classname")).CFStringQString(),
                     QStringLiteral("MBFile"));
            for (const char* key : {"LastModified", "Flags", "GroupID", "UserID", "Mode", "Size", "Birth",
                                    "LastStatusChange", "InodeNumber", "ProtectionClass"})
                QVERIFY2(file.value(QLatin1String(key)).isCFNumber(), key);
            // Directories carry the S_IFDIR mode bits, files S_IFREG.
            const int type = file.value(QStringLiteral("Mode")).CFNumberInt() & 0170000;
            if (flags == 1)
                QCOMPARE(type, 0100000);
            else if (flags == 2)
                QCOMPARE(type, 0040000);
            if (file.contains(QStringLiteral("EncryptionKey"))) {
                ++withKey;
                QVERIFY(file.value(QStringLiteral("EncryptionKey")).get(QStringLiteral("NS.data")).CFDataLength() > 0);
            }
            if (fileId.startsWith(QLatin1String("3d0d7e5f"))) {
                QCOMPARE(relativePath, QStringLiteral("Library/SMS/sms.db"));
                QCOMPARE(file.value(QStringLiteral("Size")).CFNumberInt64(), 278528LL);
            }
            // A few records in full against the independent reader, re-encoded by us.
            if (rows % 1000 == 1 || fileId.startsWith(QLatin1String("3d0d7e5f"))) {
                const QString blobPath = m_dir.filePath(fileId);
                QVERIFY(writeFile(blobPath, archive.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0)));
                COMPARE_WITH_PYTHON(blobPath, plistCanon(archive));
                checkedByPython << fileId;
            }
        }
        sqlite3_finalize(st);
        sqlite3_close(db);
        QCOMPARE(rows, 3721);
        QCOMPARE(withKey, 1089);
        QVERIFY(checkedByPython.size() >= 4);
    }
};

QTEST_GUILESS_MAIN(TestPlistInterop)
#include "tst_plist_interop.moc"
