// Property lists: the value model (number widths, dates, containers, keyed
// archives), interop with an independent implementation (Python's plistlib,
// through plist_oracle.py) and with real backup files, and hostile bytes
// (built here or read from hostile_*.txt), which must give the null value or a
// sound value, never a crash, a hang or unbounded memory (run under the
// sanitizer build as well).

#include "device/cfobject.h"
#include "device/cftype.h"
#include "tests/app/datarows.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <plist/plist.h>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

CFType str(const QString& s) {
    return CFType::createCFString(s);
}

CFType uid(long v) {
    return CFType::createCFKeyedArchiverUID(v);
}

// Rows of the data-driven cases whose values are plain text.
const QString kRows = QStringLiteral(VEXLAR_SOURCE_DIR "/tests/plist/tst_plist.json");

QHash<QString, CFType> archived() {
    return {{u"Size"_s, CFType::createCFNumberInt64(5000000000LL)},
            {u"\u00fc"_s, str(u"x"_s)},
            {u"Nested"_s, CFType::createCFDictionary({str(u"x"_s)}, {uid(1)})}};
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// What Python's own sample (round-tripped in readHereAndByPython) does not
// have: numbers of every width, quotes in text, dates far from 2001, deep
// nesting. Dates with fractions only for the binary format (XML keeps whole
// seconds).
CFType richSample(bool binary) {
    CFType root = CFType::createCFDictionary();
    root.put(u"unicode"_s, str(u"gr\u00fc\u00dfe \u65e5\u672c \U0001F600 <&>\"'"_s));
    using CF = CFType;
    using L = std::numeric_limits<long long>;
    root.put(u"ints"_s, CF::createCFArray(
                            {CF::createCFNumberInt8(char(-128)), CF::createCFNumberInt16(-32768),
                             CF::createCFNumberInt32(std::numeric_limits<int>::min()), CF::createCFNumberInt32(255),
                             CF::createCFNumberInt32(65536), CF::createCFNumberInt64(5000000000LL),
                             CF::createCFNumberInt64(-5000000000LL), CF::createCFNumberInt64(L::max()),
                             CF::createCFNumberInt64(L::min()), CF::createCFNumberCFIndex(-1),
                             CF::createCFNumberUInt64(1ULL << 63), CF::createCFNumberUInt64(18446744073709551615ULL)}));
    root.put(u"reals"_s,
             CF::createCFArray({CF::createCFNumberDouble(0.1), CF::createCFNumberFloat(3.5f),
                                CF::createCFNumberDouble(-1e-300), CF::createCFNumberDouble(1.7976931348623157e308),
                                CF::createCFNumberDouble(1.0 / 3)}));
    CFType dates = CF::createCFArray();
    for (const QDateTime& t :
         {QDateTime(QDate(2013, 5, 1), QTime(10, 20, 30, 999)), QDateTime(QDate(1999, 12, 31), QTime(23, 59, 59)),
          QDateTime(QDate(1900, 1, 1), QTime(0, 0)), QDateTime(QDate(2100, 6, 1), QTime(12, 0))})
        dates.append(CF::createCFDate(t));
    if (binary)
        dates.append(CFType::createCFDateFromAbsoluteTime(660252793.25));
    root.put(u"dates"_s, dates);
    root.put(u"uids"_s, CFType::createCFArray({uid(0), uid(255), uid(70000)}));
    CFType deep = str(u"bottom"_s);
    for (int i = 0; i < 40; ++i) {
        deep = (i % 2) ? CFType::createCFArray({deep, CFType::createCFArray()})
                       : CFType::createCFDictionary({str(QString::number(i)), str(u"e"_s)},
                                                    {deep, CFType::createCFDictionary()});
    }
    root.put(u"nested"_s, deep);
    return root;
}

QJsonValue plistCanon(const CFType& v) {
    auto one = [](const char* kind, const QJsonValue& value) { return QJsonObject{{QLatin1String(kind), value}}; };
    switch (v.typeId()) {
    case kCFTypeString:
        return one("s", v.CFStringQString());
    case kCFTypeNumber: {
        const int w = v.numberType();
        if (w == kCFNumberSInt128Type)
            return one("i", QString::number(v.CFNumberUInt64()));
        if (w != kCFNumberFloat32Type && w != kCFNumberFloat64Type && w != kCFNumberFloatType &&
            w != kCFNumberDoubleType)
            return one("i", QString::number(v.CFNumberInt64()));
        const double d = v.CFNumberDouble();
        quint64 bits = 0;
        std::memcpy(&bits, &d, 8);
        return one("r", std::isnan(d) ? u"nan"_s : QString::number(bits, 16).rightJustified(16, u'0'));
    }
    case kCFTypeBoolean:
        return one("b", v.CFNumberBool());
    case kCFTypeData:
        return one("d", QString::fromLatin1(v.CFDataBytes().toHex()));
    case kCFTypeDate: { // to the microsecond, as Python keeps it
        const qint64 us = std::llround(v.CFDateAbsoluteTime() * 1e6), secs = qint64(std::floor(double(us) / 1e6));
        const QDateTime t = QDateTime::fromSecsSinceEpoch(secs + 978307200, Qt::UTC);
        return one("t", t.toString(u"yyyy-MM-ddTHH:mm:ss."_s) + u"%1"_s.arg(us - secs * 1000000, 6, 10, QChar(u'0')));
    }
    case kCFTypeKeyedArchiverUID:
        return one("u", double(v.CFKeyedArchiverUIDGetValue()));
    case kCFTypeArray: {
        QJsonArray items;
        for (long i = 0; i < v.array_size(); ++i)
            items.append(plistCanon(v.at(int(i))));
        return one("a", items);
    }
    case kCFTypeDictionary: {
        QList<CFType> keys = v.dict_keys();
        std::ranges::sort(keys, std::less<>{}, &CFType::CFStringQString);
        QJsonArray pairs;
        for (const CFType& k : keys)
            pairs.append(QJsonArray{k.CFStringQString(), plistCanon(v.get(k))});
        return one("o", pairs);
    }
    default:
        return QJsonValue();
    }
}

// Runs the oracle; its one line of output is the canonical form.
QJsonValue oracle(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral(VEXLAR_PYTHON),
            QStringList{QStringLiteral(VEXLAR_SOURCE_DIR "/tests/plist/plist_oracle.py")} + args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        qWarning() << "oracle failed:" << p.readAllStandardError();
    const QJsonDocument doc = QJsonDocument::fromJson(p.readAllStandardOutput());
    return doc.isObject() ? QJsonValue(doc.object()) : QJsonValue();
}

// Any value that does come out must serialise again.
void checkSound(const CFType& v) {
    if (!v.isNull())
        (void)v.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0);
}

} // namespace

class TestPlist : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void numberReads_data() { addRowsFrom(kRows, "numberReads"); }

    void numberReads() {
        QFETCH(QString, maker);
        QFETCH(QString, literal);
        QFETCH(int, width);
        QFETCH(QString, reads);
        const QHash<QString, CFType> made{{u"int8"_s, CFType::createCFNumberInt8(char(literal.toInt()))},
                                          {u"int32"_s, CFType::createCFNumberInt32(literal.toInt())},
                                          {u"int64"_s, CFType::createCFNumberInt64(literal.toLongLong())},
                                          {u"uint64"_s, CFType::createCFNumberUInt64(literal.toULongLong())},
                                          {u"float"_s, CFType::createCFNumberFloat(literal.toFloat())},
                                          {u"double"_s, CFType::createCFNumberDouble(literal.toDouble())}};
        const CFType value = made.value(maker);
        QCOMPARE(value.numberType(), width);
        auto show = [](auto v, auto def) {
            if (v == def)
                return u"d"_s;
            if constexpr (std::is_floating_point_v<decltype(v)>)
                return QString::number(double(v), 'g', 6);
            else
                return QString::number(v);
        };
        const QStringList read{show(int(value.CFNumberInt8(char(99))), 99),
                               show(value.CFNumberInt16(99), short(99)),
                               show(value.CFNumberInt(99), 99),
                               show(value.CFNumberInt64(99), 99LL),
                               show(value.CFNumberUInt64(99), 99ULL),
                               show(value.CFNumberFloat(99.5f), 99.5f),
                               show(value.CFNumberDouble(99.5), 99.5),
                               u"="_s + value.toString()};
        QCOMPARE(read.join(u' '), reads);
    }

    // The time spec of the source is ignored: only its fields count.
    void dateFields_data() { addRowsFrom(kRows, "dateFields"); }

    void dateFields() {
        QFETCH(int, made); // 0: local time, else the offset from UTC in seconds
        QFETCH(QString, zone);
        QFETCH(QString, fieldsText);
        const QDateTime fields = QDateTime::fromString(fieldsText, u"yyyy-MM-dd HH:mm:ss"_s);
        const CFType date = CFType::createCFDate(
            QDateTime(QDate(2013, 5, 1), QTime(10, 20, 30, 999), made ? Qt::OffsetFromUTC : Qt::LocalTime, made));
        QCOMPARE(date.CFDateAbsoluteTime(), 389096430.0);
        QDateTime read;
        if (zone.isEmpty())
            read = date.CFDateToDateTime();
        else if (zone.startsWith(u'+') || zone.startsWith(u'-'))
            read = date.CFDateToDateTime(zone.toInt());
        else
            read = date.CFDateToDateTime(zone);
        QCOMPARE(read.timeSpec(), Qt::LocalTime);
        QCOMPARE(read, fields);
        __CFTimeZone tokyo{QTimeZone("Asia/Tokyo")}; // and the overload taking a zone object
        QCOMPARE(date.CFDateToDateTime(&tokyo).time(), QTime(19, 20, 30));
    }

    void dateSerialisation_data() { addRowsFrom(kRows, "dateSerialisation"); }

    // Binary keeps fractions; XML has whole seconds; both keep dates far from 2001.
    void dateSerialisation() {
        QFETCH(QString, absoluteText);
        QFETCH(QString, afterXml);
        const double absolute = absoluteText.toDouble();
        const CFType list = CFType::createCFArray({CFType::createCFDateFromAbsoluteTime(absolute)});
        auto back = [&list](long format) {
            return CFType::createCFPropertyList(list.CFPropertyListToBytes(format)).at(0).CFDateAbsoluteTime();
        };
        QCOMPARE(back(kCFPropertyListBinaryFormat_v1_0), absolute);
        QCOMPARE(back(kCFPropertyListXMLFormat_v1_0), afterXml.toDouble());
    }

    void containers() {
        CFType dict = CFType::createCFDictionary();
        dict.put(u"b"_s, CFType::createCFNumberInt32(1)).put(CFType::createCFNumberInt32(5), str(u"number key"_s));
        dict.put(u"ignored"_s, CFType()); // null values are refused
        QCOMPARE(dict.dict_size(), 2L);
        // Keys compare by value whatever the number's width...
        QCOMPARE(dict.get(CFType::createCFNumberDouble(5.0)).CFStringQString(), u"number key"_s);
        QVERIFY(dict.get(CFType::createCFBoolean(true)).isNull());
        // ...but only string keys can be written out.
        QVERIFY(dict.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0).isEmpty() && CFType::clone(dict).isNull());
        QVERIFY(dict.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0).isEmpty());

        // Indices out of range change nothing; one past the end appends.
        CFType array = CFType::createCFArray();
        array.append(str(u"a"_s)).array_replace(9, str(u"X"_s)).array_replace(-1, str(u"X"_s));
        array.array_replace(1, str(u"b"_s));
        QCOMPARE(array.at(0).CFStringQString() + array.at(1).CFStringQString() + array.at(2).toString(), u"ab"_s);

        // A container put inside itself would make a loop: refused.
        CFType outer = CFType::createCFArray();
        CFType inner = CFType::createCFDictionary();
        outer.append(inner);
        inner.put(u"loop"_s, outer).put(u"self"_s, inner);
        outer.append(outer).array_replace(0, outer);
        QVERIFY(inner.dict_size() == 0 && outer.array_size() == 1);
        QVERIFY(!outer.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0).isEmpty());
    }

    void unserialisableValues() {
        // 100000 nested arrays: freeing must not recurse.
        CFType chain = CFType::createCFArray();
        for (int i = 0; i < 100000; ++i)
            chain = CFType::createCFArray({chain});
        QVERIFY(chain.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0).isEmpty() && !chain.toPlistNode());
        QVERIFY(CFType::clone(chain).isNull() && !chain.equals(CFType::createCFArray()));
        chain = CFType();

        // At the limit it still works.
        CFType ok = str(u"leaf"_s);
        for (int i = 0; i < cf::kMaxDepth; ++i)
            ok = CFType::createCFArray({ok});
        QVERIFY(CFType::clone(ok).equals(ok));
        QVERIFY(CFType::createCFPropertyList(ok.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0)).equals(ok));

        // Shared twice at every level: 2^40 values once expanded.
        CFType wide = str(u"x"_s);
        for (int i = 0; i < 40; ++i)
            wide = CFType::createCFArray({wide, wide});
        QVERIFY(wide.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0).isEmpty());
    }

    // The device framework's values: libplist nodes to values and back (its integers are unsigned).
    void plistNodeBridge() {
        plist_t node = plist_new_dict(), list = plist_new_array();
        plist_dict_set_item(node, "name", plist_new_string("iPhone \xe2\x80\x99s"));
        plist_dict_set_item(node, "neg", plist_new_uint(uint64_t(-42)));
        plist_dict_set_item(node, "uid", plist_new_uid(9));
        for (plist_t item : {plist_new_bool(1), plist_new_real(2.5), plist_new_data("\0x", 2)})
            plist_array_append_item(list, item);
        plist_dict_set_item(node, "list", list);
        const CFType value = CFType::fromPlistNode(node);
        plist_free(node);
        QVERIFY(value.equals(CFType::createCFDictionary(
            {str(u"name"_s), str(u"neg"_s), str(u"uid"_s), str(u"list"_s)},
            {str(u"iPhone \u2019s"_s), CFType::createCFNumberInt64(-42), uid(9),
             CFType::createCFArray({CFType::createCFBoolean(true), CFType::createCFNumberDouble(2.5),
                                    CFType::createCFData({"\0x", 2})})})));
        plist_t back = value.toPlistNode();
        const bool same = back && CFType::fromPlistNode(back).equals(value);
        plist_free(back);
        QVERIFY(same && CFType::fromPlistNode(nullptr).isNull());
    }

    void keyedArchiveHostileShapes_data() { addRowsFrom(kRows, "keyedArchiveHostileShapes"); }

    void keyedArchiveHostileShapes() {
        QFETCH(int, entries);
        QFETCH(QString, xml);
        const CFType archive = CFType::createCFPropertyList(u"<plist version=\"1.0\">%1</plist>"_s.arg(xml).toUtf8());
        QVERIFY(archive.isCFDictionary());
        QCOMPARE(CFType::parseNSDictionaryStringCFType(archive).size(), entries);
        (void)archive.NSKeyedArchiver();
    }

    // Reference counts are atomic: wrappers of one value made and dropped on
    // several threads at once leave it intact and free it exactly once.
    void sharedAcrossThreads() {
        CFType shared = CFType::createCFDictionary();
        for (int i = 0; i < 64; ++i)
            shared.put(QString::number(i), CFType::createCFArray({str(QString::number(i))}));
        const CFType frozen = CFType::clone(shared);
        std::atomic<int> seen{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&frozen, &seen] {
                for (int round = 0; round < 2000; ++round) {
                    const CFType copy = frozen;
                    const CFType item = copy.get(QString::number(round % 64)).at(0);
                    seen += item.CFStringQString() == QString::number(round % 64);
                    const CFType holder = CFType::createCFArray({item, copy});
                }
            });
        }
        for (std::thread& t : threads)
            t.join();
        QCOMPARE(seen.load(), 4 * 2000);
        QVERIFY(frozen.equals(shared));
    }

    void interopWithPython_data() {
        QTest::addColumn<QString>("source"); // empty: the value; xml, bin: the oracle's own sample; else a real file
        QTest::addColumn<CFType>("value");
        QTest::addColumn<long>("format"); // written here in this format
        const long xml = kCFPropertyListXMLFormat_v1_0, bin = kCFPropertyListBinaryFormat_v1_0;
        QTest::newRow("python xml") << u"xml"_s << CFType() << xml;
        QTest::newRow("python binary") << u"bin"_s << CFType() << bin;
        QTest::newRow("real Info.plist") << QStringLiteral(VEXLAR_REALDATA_DIR "/mvt/Info.plist") << CFType() << bin;
        for (long format : {xml, bin}) {
            const char* f = format == bin ? "binary" : "xml";
            QTest::addRow("%s rich", f) << QString() << richSample(format == bin) << format;
            QTest::addRow("%s top-level string", f) << QString() << str(u"\u00e9t\u00e9"_s) << format;
            QTest::addRow("%s top-level negative", f) << QString() << CFType::createCFNumberInt64(-7) << format;
            // A keyed archive of the mutable class in binary, of the immutable one in XML.
            QTest::addRow("%s keyed archive", f)
                << QString() << CFType::createNSDictionaryStringCFType(archived(), format == bin) << format;
        }
        // Many objects: binary object references wider than one byte.
        CFType many = CFType::createCFArray();
        for (int i = 0; i < 70000; ++i)
            many.append(CFType::createCFNumberInt32(i));
        QTest::newRow("binary 70000 numbers") << QString() << many << bin;
    }

    // A file from Python (or a real one) is read here as plistlib reads it; then the value is written here,
    // and plistlib reads the file as the value is here, and so do we.
    void interopWithPython() {
        QFETCH(QString, source);
        QFETCH(CFType, value);
        QFETCH(long, format);
        const auto compare = [](const QJsonValue& python, const CFType& here) {
            QVERIFY2(python.isObject() && python == plistCanon(here),
                     QJsonDocument(QJsonArray{python, plistCanon(here)}).toJson(QJsonDocument::Compact).left(2000));
        };
        if (!source.isEmpty()) {
            const bool own = !source.contains(u'/');
            const QString path = own ? m_dir.filePath(u"python."_s + source) : source;
            if (!own && !QFile::exists(path))
                QSKIP("real backup files are not present");
            const QJsonValue python =
                oracle(own ? QStringList{u"write"_s, source, path} : QStringList{u"dump"_s, path});
            value = CFType::createCFPropertyListFromFile(path);
            QVERIFY(value.isCFDictionary());
            compare(python, value);
            if (!own) { // the date as the backup list shows it (the values above are the oracle's)
                QCOMPARE(value.get(u"Last Backup Date"_s).CFDateToDateTime(),
                         QDateTime(QDate(2021, 12, 3), QTime(19, 33, 13), Qt::LocalTime));
                QFile f(path); // every cut of the real file is refused
                const QByteArray bytes = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
                for (qsizetype n = 0; n < bytes.size(); ++n)
                    QVERIFY(CFType::createCFPropertyList(bytes.left(n)).isNull());
            }
        }
        const QString path = m_dir.filePath(u"%1.plist"_s.arg(QString::fromLatin1(QTest::currentDataTag())));
        const QByteArray bytes = value.CFPropertyListToBytes(format);
        QVERIFY(!bytes.isEmpty() && writeFile(path, bytes));
        compare(oracle({u"dump"_s, path}), value);
        const CFType back = CFType::createCFPropertyList(bytes); // and here
        QVERIFY(back.equals(value));
        QVERIFY(value.CFPropertyListToBytes(300).isEmpty());           // no such format
        if (QByteArray(QTest::currentDataTag()).endsWith("archive")) { // decoded back, with its class
            const QHash<QString, CFType> fields = CFType::parseNSDictionaryStringCFType(back), want = archived();
            QCOMPARE(fields.size(), want.size());
            for (const auto& [key, field] : want.asKeyValueRange())
                QVERIFY2(fields.value(key).equals(field), qPrintable(key));
            QCOMPARE(back.NSKeyedArchiver().value(u"$class"_s).get(u"$classname"_s).CFStringQString(),
                     format == kCFPropertyListBinaryFormat_v1_0 ? u"NSMutableDictionary"_s : u"NSDictionary"_s);
        }
    }

    // Every row: the null value when refused, a sound value when accepted.
    void hostileBytes_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("valid");
        // Binary files, and malformed XML, one per line of the data files.
        static const QRegularExpression repeat(u"\\{(\\d+)\\*([^}]*)\\}"_s);
        for (const char* name : {"hostile_binary.txt", "hostile_xml.txt"}) {
            QFile rows(QStringLiteral(VEXLAR_SOURCE_DIR "/tests/plist/") + QLatin1String(name));
            QVERIFY(rows.open(QIODevice::ReadOnly));
            for (const QByteArray& line : rows.readAll().split('\n')) {
                const QList<QByteArray> f = line.split('|');
                if (f.size() < 3 || line.startsWith('#'))
                    continue;
                QString body = QString::fromUtf8(line.mid(f[0].size() + f[1].size() + 2));
                for (QRegularExpressionMatch m; (m = repeat.match(body)).hasMatch();)
                    body.replace(m.capturedStart(), m.capturedLength(), m.captured(2).repeated(m.captured(1).toInt()));
                body.replace(u"\\n"_s, u"\n"_s).replace(u"\\t"_s, u"\t"_s);
                QTest::newRow(f[1].constData())
                    << (name[8] == 'b'
                            ? QByteArray::fromHex(body.toLatin1())
                            : "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC "
                              "\"-//Apple//DTD PLIST 1.0//EN\" "
                              "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n" +
                                  body.toUtf8() + "\n</plist>\n")
                    << (f[0] == "1");
            }
        }
    }

    void hostileBytes() {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, valid);
        const CFType v = CFType::createCFPropertyList(bytes);
        QCOMPARE(!v.isNull(), valid);
        checkSound(v);
    }

    void damagedSamples_data() {
        QTest::addColumn<long>("format");
        QTest::newRow("binary") << long(kCFPropertyListBinaryFormat_v1_0);
        QTest::newRow("xml") << long(kCFPropertyListXMLFormat_v1_0);
    }

    // Cut at every offset (binary: always refused; XML: cut before the root's
    // closing tag, so nothing whole remains) and every byte changed in turn:
    // no crash, and any survivor is sound.
    void damagedSamples() {
        QFETCH(long, format);
        const bool binary = format == kCFPropertyListBinaryFormat_v1_0;
        const QByteArray full = richSample(true).CFPropertyListToBytes(format);
        QVERIFY(!binary || CFType::createCFPropertyList(full).equals(richSample(true)));
        const qsizetype end = binary ? full.size() : full.lastIndexOf("</plist>");
        QVERIFY(end > 0);
        for (qsizetype n = 0; n < end; ++n) {
            const CFType cut = CFType::createCFPropertyList(full.left(n));
            QVERIFY2(!binary || cut.isNull(), qPrintable(QString::number(n)));
            checkSound(cut);
        }
        for (char mask : binary ? QList<char>{char(0xff), char(0x01), char(0x80), char(0x10)} : QList<char>{0}) {
            for (qsizetype i = 0; i < full.size(); ++i) {
                QByteArray bad = full;
                bad[i] = binary ? char(bad[i] ^ mask) : (bad[i] == '<') ? '>' : '<';
                checkSound(CFType::createCFPropertyList(bad));
            }
        }
    }

    void unreadableFiles() {
        QVERIFY(CFType::createCFPropertyListFromFile(m_dir.filePath(u"absent"_s)).isNull());
        QVERIFY(CFType::createCFPropertyListFromFile(m_dir.path()).isNull());
        // Past the cap nothing is parsed, even when the bytes would be valid.
        QByteArray big("<?xml version=\"1.0\"?><plist version=\"1.0\"><string>");
        big.append(QByteArray(256 * 1024 * 1024, 'a'));
        big.append("</string></plist>");
        QVERIFY(CFType::createCFPropertyList(big).isNull());
        const QString path = m_dir.filePath(u"big.plist"_s);
        QVERIFY(writeFile(path, big));
        big.clear();
        QVERIFY(CFType::createCFPropertyListFromFile(path).isNull());
        QVERIFY(QFile::remove(path));
    }
};

QTEST_GUILESS_MAIN(TestPlist)
#include "tst_plist.moc"
