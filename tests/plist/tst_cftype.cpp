// Property-list values: kinds, accessor defaults, number widths, dates,
// containers, clone, the libplist node bridge and keyed archives.

#include "device/cfobject.h"
#include "device/cftype.h"
#include "tests/plist/plistfixture.h"

#include <QtTest>
#include <atomic>
#include <plist/plist.h>
#include <thread>
#include <vector>

namespace {

QDateTime may2013() {
    return QDateTime(QDate(2013, 5, 1), QTime(10, 20, 30, 999));
}

} // namespace

class TestCFType : public QObject {
    Q_OBJECT

private slots:
    void kindsAndDefaults_data() {
        QTest::addColumn<CFType>("value");
        QTest::addColumn<unsigned long>("kind");
        QTest::addColumn<QString>("text"); // toString()
        const QList<CFType> k{str(QStringLiteral("k"))}, v{str(QStringLiteral("v"))};
        QTest::newRow("null") << CFType() << (unsigned long)kCFTypeNull << "";
        QTest::newRow("string") << str(QStringLiteral("h\u00e9llo")) << (unsigned long)kCFTypeString << "h\u00e9llo";
        QTest::newRow("number") << CFType::createCFNumberInt32(7) << (unsigned long)kCFTypeNumber << "7";
        QTest::newRow("boolean") << CFType::createCFBoolean(true) << (unsigned long)kCFTypeBoolean << "1";
        QTest::newRow("date") << CFType::createCFDate(may2013()) << (unsigned long)kCFTypeDate
                              << QDateTime(QDate(2013, 5, 1), QTime(10, 20, 30), Qt::LocalTime).toString();
        QTest::newRow("data") << CFType::createCFData(QStringLiteral("d\u00e4ta").toUtf8())
                              << (unsigned long)kCFTypeData << "d\u00e4ta";
        QTest::newRow("dictionary") << CFType::createCFDictionary(k, v) << (unsigned long)kCFTypeDictionary << "";
        QTest::newRow("array") << CFType::createCFArray(v) << (unsigned long)kCFTypeArray << "";
        QTest::newRow("uid") << uid(4000000) << (unsigned long)kCFTypeKeyedArchiverUID << "4000000";
    }

    // Every accessor of another kind answers its default instead of failing.
    void kindsAndDefaults() {
        QFETCH(CFType, value);
        QFETCH(unsigned long, kind);
        QFETCH(QString, text);
        QCOMPARE(value.typeId(), kind);
        QCOMPARE(value.toString(), text);
        QCOMPARE(value.isNull(), kind == kCFTypeNull);
        const bool tests[] = {
            value.isCFString(), value.isCFNumber(),     value.isCFBoolean(), value.isCFDate(),
            value.isCFData(),   value.isCFDictionary(), value.isCFArray(),   value.isCFKeyedArchiverUID()};
        for (unsigned long k = kCFTypeString; k <= kCFTypeKeyedArchiverUID; ++k)
            QCOMPARE(tests[k - 1], k == kind);
        if (kind != kCFTypeString)
            QVERIFY(value.CFStringQString().isNull() && value.CFStringLength() == 0);
        if (kind != kCFTypeNumber) {
            QCOMPARE(value.numberType(), 0);
            QCOMPARE(value.CFNumberInt8(-3), char(-3));
            QCOMPARE(value.CFNumberInt16(-3), short(-3));
            QCOMPARE(value.CFNumberInt(-3), -3);
            QCOMPARE(value.CFNumberInt64(-3), -3LL);
            QCOMPARE(value.CFNumberUInt64(3), 3ULL);
            QCOMPARE(value.CFNumberFloat(-3.5f), -3.5f);
            QCOMPARE(value.CFNumberDouble(-3.5), -3.5);
        }
        if (kind != kCFTypeBoolean)
            QVERIFY(value.CFNumberBool(true) && !value.CFNumberBool(false));
        if (kind != kCFTypeData)
            QVERIFY(value.CFDataBytes().isNull() && value.CFDataLength() == 0);
        if (kind != kCFTypeDate) {
            QVERIFY(!value.CFDateToDateTime().isValid());
            QVERIFY(!value.CFDateToDateTime(QStringLiteral("PST")).isValid());
            QVERIFY(!value.CFDateToDateTime(3600).isValid());
            QCOMPARE(value.CFDateAbsoluteTime(), 0.0);
        }
        if (kind != kCFTypeKeyedArchiverUID)
            QCOMPARE(value.CFKeyedArchiverUIDGetValue(), 0UL);
        if (kind != kCFTypeDictionary) {
            QCOMPARE(value.dict_size(), 0L);
            QVERIFY(value.get(QStringLiteral("k")).isNull() && value.get(str(QStringLiteral("k"))).isNull());
            QVERIFY(value.dict_keys().isEmpty());
            QVERIFY(value.NSKeyedArchiver().isEmpty());
            QVERIFY(CFType::parseNSDictionaryStringCFType(value).isEmpty());
            QVERIFY(CFType::createCFDictionaryCreateMutableCopy(value).isNull());
        } else {
            QVERIFY(value.get(QStringLiteral("absent")).isNull() && value.get(CFType()).isNull());
        }
        if (kind != kCFTypeArray) {
            QVERIFY(value.array_size() == 0 && value.at(0).isNull());
        } else {
            QVERIFY(value.at(-1).isNull() && value.at(1).isNull());
            QVERIFY(value.at(std::numeric_limits<int>::max()).isNull());
        }
        if (kind == kCFTypeNull) {
            QVERIFY(value.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0).isEmpty());
            QVERIFY(value.CFPropertyListToData(kCFPropertyListBinaryFormat_v1_0).isNull());
            QVERIFY(CFType::clone(value).isNull());
            QVERIFY(value.toPlistNode() == nullptr);
        }
        // Mutators on anything but a mutable container change nothing.
        CFType copy = value;
        copy.put(QStringLiteral("k"), str(QStringLiteral("other")));
        copy.append(str(QStringLiteral("other")));
        copy.array_replace(0, str(QStringLiteral("other")));
        QVERIFY(copy.equals(value));
        if (kind != kCFTypeNull)
            QVERIFY(CFType::clone(value).equals(value));
    }

    void numberReads_data() {
        QTest::addColumn<CFType>("value");
        QTest::addColumn<int>("width");
        // Reads as int8 int16 int32 int64 uint64 float double; "d" is the default.
        QTest::addColumn<QString>("reads");
        QTest::addColumn<QString>("text"); // toString()
        const auto dbl = [](double v) { return CFType::createCFNumberDouble(v); };
        const int f64 = kCFNumberFloat64Type;
        QTest::newRow("int8 -5") << CFType::createCFNumberInt8(char(-5)) << int(kCFNumberSInt8Type)
                                 << "-5 -5 -5 -5 d -5 -5"
                                 << "-5";
        QTest::newRow("int32 -70000") << CFType::createCFNumberInt32(-70000) << int(kCFNumberSInt32Type)
                                      << "d d -70000 -70000 d -70000 -70000"
                                      << "-70000";
        QTest::newRow("int64 5e9") << CFType::createCFNumberInt64(5000000000LL) << int(kCFNumberSInt64Type)
                                   << "d d d 5000000000 5000000000 5e+09 5e+09"
                                   << "5000000000";
        QTest::newRow("int64 min") << CFType::createCFNumberInt64(std::numeric_limits<long long>::min())
                                   << int(kCFNumberSInt64Type)
                                   << "d d d -9223372036854775808 d -9.22337e+18 -9.22337e+18"
                                   << "-9223372036854775808";
        QTest::newRow("uint64 max") << CFType::createCFNumberUInt64(std::numeric_limits<unsigned long long>::max())
                                    << int(kCFNumberSInt128Type)
                                    << "d d d d 18446744073709551615 1.84467e+19 1.84467e+19"
                                    << "18446744073709551615";
        QTest::newRow("uint64 small") << CFType::createCFNumberUInt64(42) << int(kCFNumberSInt64Type)
                                      << "42 42 42 42 42 42 42"
                                      << "42";
        QTest::newRow("float 3.5") << CFType::createCFNumberFloat(3.5f) << int(kCFNumberFloat32Type)
                                   << "d d d d d 3.5 3.5"
                                   << "3.5";
        QTest::newRow("double third") << dbl(1.0 / 3) << f64 << "d d d d d 0.333333 0.333333"
                                      << "0.333333";
        QTest::newRow("double 3.5") << dbl(3.5) << f64 << "d d d d d 3.5 3.5"
                                    << "3.5";
        QTest::newRow("double 3.0") << dbl(3.0) << f64 << "3 3 3 3 3 3 3"
                                    << "3";
        QTest::newRow("double -128.0") << dbl(-128.0) << f64 << "-128 -128 -128 -128 d -128 -128"
                                       << "-128";
        QTest::newRow("double 2^63") << dbl(9223372036854775808.0) << f64
                                     << "d d d d 9223372036854775808 9.22337e+18 9.22337e+18"
                                     << "9.22337e+18";
        QTest::newRow("double 1e40") << dbl(1e40) << f64 << "d d d d d d 1e+40"
                                     << "1e+40";
        QTest::newRow("double nan") << dbl(std::nan("")) << f64 << "d d d d d nan nan"
                                    << "nan";
        QTest::newRow("double inf") << dbl(INFINITY) << f64 << "d d d d d inf inf"
                                    << "inf";
    }

    void numberReads() {
        QFETCH(CFType, value);
        QFETCH(int, width);
        QFETCH(QString, reads);
        QFETCH(QString, text);
        QCOMPARE(value.toString(), text);
        QCOMPARE(value.numberType(), width);
        auto show = [](auto v, auto def) {
            if (v == def)
                return QStringLiteral("d");
            if constexpr (std::is_floating_point_v<decltype(v)>)
                return QString::number(double(v), 'g', 6);
            else
                return QString::number(v);
        };
        const QStringList got{show(int(value.CFNumberInt8(char(99))), 99),
                              show(value.CFNumberInt16(99), short(99)),
                              show(value.CFNumberInt(99), 99),
                              show(value.CFNumberInt64(99), 99LL),
                              show(value.CFNumberUInt64(99), 99ULL),
                              show(value.CFNumberFloat(99.5f), 99.5f),
                              show(value.CFNumberDouble(99.5), 99.5)};
        QCOMPARE(got.join(QLatin1Char(' ')), reads);
        // A number is never a boolean.
        QVERIFY(value.CFNumberBool(true) && !value.CFNumberBool(false));
    }

    void dateFields_data() {
        QTest::addColumn<QDateTime>("made");
        QTest::addColumn<QString>("zone"); // "" null zone, "+N" fixed offset, else a name
        QTest::addColumn<QDateTime>("fields");
        const QDateTime local(QDate(2013, 5, 1), QTime(10, 20, 30, 999), Qt::LocalTime);
        const QDateTime offset(QDate(2013, 5, 1), QTime(10, 20, 30, 999), Qt::OffsetFromUTC, -7 * 3600);
        auto fields = [](int d, int h, int m, int s) {
            return QDateTime(QDate(2013, d == 30 ? 4 : 5, d), QTime(h, m, s), Qt::LocalTime);
        };
        // The time spec of the source is ignored: only its fields count.
        QTest::newRow("local, gmt") << local << "" << fields(1, 10, 20, 30);
        QTest::newRow("offset, gmt") << offset << "" << fields(1, 10, 20, 30);
        QTest::newRow("+3600") << local << "+3600" << fields(1, 11, 20, 30);
        QTest::newRow("-37800") << local << "-37800" << fields(30, 23, 50, 30);
        QTest::newRow("Europe/Berlin") << local << "Europe/Berlin" << fields(1, 12, 20, 30);
        QTest::newRow("PST abbreviation") << local << "PST" << fields(1, 3, 20, 30);
        QTest::newRow("jst lower case") << local << "jst" << fields(1, 19, 20, 30);
        QTest::newRow("unknown zone is gmt") << local << "Nowhere/Atlantis" << fields(1, 10, 20, 30);
    }

    void dateFields() {
        QFETCH(QDateTime, made);
        QFETCH(QString, zone);
        QFETCH(QDateTime, fields);
        const CFType date = CFType::createCFDate(made);
        QCOMPARE(date.CFDateAbsoluteTime(), 389096430.0);
        QDateTime read;
        if (zone.isEmpty())
            read = date.CFDateToDateTime();
        else if (zone.startsWith(QLatin1Char('+')) || zone.startsWith(QLatin1Char('-')))
            read = date.CFDateToDateTime(zone.toInt());
        else
            read = date.CFDateToDateTime(zone);
        QCOMPARE(read.timeSpec(), Qt::LocalTime);
        QCOMPARE(read.date(), fields.date());
        QCOMPARE(read.time(), fields.time());
        if (zone.isEmpty()) {
            QCOMPARE(date.CFDateToDateTime(QString()).time(), fields.time());
            __CFTimeZone gmt{QTimeZone::utc()};
            QCOMPARE(date.CFDateToDateTime(&gmt).time(), fields.time());
            __CFTimeZone tokyo{QTimeZone("Asia/Tokyo")};
            QCOMPARE(date.CFDateToDateTime(&tokyo).time(), QTime(19, 20, 30));
        }
        QVERIFY(CFType::createCFDate(QDateTime()).isNull());
    }

    void dateSerialisation_data() {
        QTest::addColumn<double>("absolute");
        QTest::addColumn<double>("afterXml");
        QTest::newRow("2013") << 389096430.0 << 389096430.0;
        QTest::newRow("fraction") << 389096430.25 << 389096430.0;
        QTest::newRow("epoch") << 0.0 << 0.0;
        QTest::newRow("before 2001 with fraction") << -1.75 << -2.0;
        // Beyond 32-bit seconds from 2001 (1933 and 2069).
        QTest::newRow("1900") << -3187296000.0 << -3187296000.0;
        QTest::newRow("2100") << 3124137600.0 << 3124137600.0;
    }

    // Binary keeps fractions; XML has whole seconds; both keep dates far from 2001.
    void dateSerialisation() {
        QFETCH(double, absolute);
        QFETCH(double, afterXml);
        const CFType list = CFType::createCFArray({CFType::createCFDateFromAbsoluteTime(absolute)});
        auto back = [&list](long format) {
            return CFType::createCFPropertyList(list.CFPropertyListToBytes(format)).at(0).CFDateAbsoluteTime();
        };
        QCOMPARE(back(kCFPropertyListBinaryFormat_v1_0), absolute);
        QCOMPARE(back(kCFPropertyListXMLFormat_v1_0), afterXml);
    }

    void containers() {
        CFType dict = CFType::createCFDictionary();
        QVERIFY(dict.isMutable());
        dict.put(QStringLiteral("b"), CFType::createCFNumberInt32(1))
            .put(QStringLiteral("a"), CFType::createCFNumberInt32(2))
            .put(CFType::createCFNumberInt32(5), str(QStringLiteral("number key")));
        dict.put(QStringLiteral("b"), CFType::createCFNumberInt32(3));               // replaces in place
        dict.dict_replace(str(QStringLiteral("c")), CFType::createCFNumberInt32(4)); // absent: nothing
        dict.dict_replace(str(QStringLiteral("a")), CFType::createCFNumberInt32(5));
        dict.put(QStringLiteral("ignored"), CFType()); // null values are refused
        const QList<CFType> keys = dict.dict_keys();
        QCOMPARE(keys.size(), 3);
        QCOMPARE(keys.at(0).CFStringQString() + keys.at(1).CFStringQString(), QStringLiteral("ba"));
        QCOMPARE(keys.at(2).CFNumberInt(), 5);
        QCOMPARE(dict.get(QStringLiteral("b")).CFNumberInt() * 10 + dict.get(QStringLiteral("a")).CFNumberInt(), 35);
        // Keys compare by value whatever the number's width.
        QCOMPARE(dict.get(CFType::createCFNumberInt64(5)).CFStringQString(), QStringLiteral("number key"));
        QCOMPARE(dict.get(CFType::createCFNumberDouble(5.0)).CFStringQString(), QStringLiteral("number key"));
        QVERIFY(dict.get(CFType::createCFBoolean(true)).isNull());
        // ...but only string keys can be written out.
        QVERIFY(dict.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0).isEmpty());
        QVERIFY(dict.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0).isEmpty());
        QVERIFY(CFType::clone(dict).isNull());

        // Many keys: lookups stay exact.
        CFType big = CFType::createCFDictionary();
        for (int i = 0; i < 20000; ++i)
            big.put(QString::number(i), CFType::createCFNumberInt32(i));
        QCOMPARE(big.dict_size(), 20000L);
        QCOMPARE(big.get(QStringLiteral("12345")).CFNumberInt(), 12345);
        QCOMPARE(big.dict_keys().at(19999).CFStringQString(), QStringLiteral("19999"));

        const CFType fixed = CFType::createCFDictionary({str(QStringLiteral("k")), str(QStringLiteral("k2"))},
                                                        {CFType::createCFNumberInt32(1)});
        QVERIFY(!fixed.isMutable());
        QCOMPARE(fixed.dict_size(), 1L); // pairs up to the shorter list
        CFType copy = CFType::createCFDictionaryCreateMutableCopy(fixed);
        copy.put(QStringLiteral("k2"), CFType::createCFNumberInt32(2));
        QVERIFY(copy.isMutable() && copy.dict_size() == 2 && fixed.dict_size() == 1);

        CFType array = CFType::createCFArray();
        array.append(str(QStringLiteral("a"))).append(str(QStringLiteral("b"))).append(CFType());
        QCOMPARE(array.array_size(), 2L);
        array.array_replace(0, str(QStringLiteral("A")));
        array.array_replace(2, str(QStringLiteral("C"))); // one past the end appends
        array.array_replace(9, str(QStringLiteral("X")));
        array.array_replace(-1, str(QStringLiteral("X")));
        QCOMPARE(array.array_size(), 3L);
        QCOMPARE(array.at(0).CFStringQString() + array.at(2).CFStringQString(), QStringLiteral("AC"));
        const CFType fixedArray = CFType::createCFArray({str(QStringLiteral("x")), CFType(), str(QStringLiteral("y"))});
        QVERIFY(!fixedArray.isMutable() && fixedArray.array_size() == 2);

        // A container put inside itself would make a loop: refused.
        CFType outer = CFType::createCFArray();
        CFType inner = CFType::createCFDictionary();
        outer.append(inner);
        inner.put(QStringLiteral("loop"), outer);
        inner.put(QStringLiteral("self"), inner);
        outer.append(outer);
        outer.array_replace(0, outer);
        QVERIFY(inner.dict_size() == 0 && outer.array_size() == 1);
        QVERIFY(!outer.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0).isEmpty());
    }

    void serialisationRoundTrip_data() {
        QTest::addColumn<long>("format");
        QTest::newRow("xml") << long(kCFPropertyListXMLFormat_v1_0);
        QTest::newRow("binary") << long(kCFPropertyListBinaryFormat_v1_0);
    }

    // Value kinds against an independent reader are in tst_plist_interop; here
    // the widths, order, mutability, clone and file reading after a round trip.
    void serialisationRoundTrip() {
        QFETCH(long, format);
        const bool binary = format == kCFPropertyListBinaryFormat_v1_0;
        CFType dict = richSample(binary);
        dict.put(QStringLiteral("\u00fcber"), CFType::createCFArray());
        const QByteArray bytes = dict.CFPropertyListToBytes(format);
        QVERIFY(bytes.startsWith(binary ? "bplist00" : "<?xml"));
        QCOMPARE(dict.CFPropertyListToData(format).CFDataBytes(), bytes);
        QVERIFY(dict.CFPropertyListToBytes(300).isEmpty());
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("v.plist"));
        QVERIFY(writeFile(path, bytes));
        QVERIFY(CFType::createCFPropertyListFromFile(dir.filePath(QStringLiteral("absent"))).isNull());
        QVERIFY(CFType::createCFPropertyListFromFile(dir.path()).isNull());
        QList<CFType> copies{CFType::createCFPropertyList(bytes), CFType::createCFPropertyListFromFile(path)};
        if (!binary)
            copies << CFType::clone(dict); // through XML: the binary sample's date fractions would go
        for (const CFType& back : copies) {
            QVERIFY(back.equals(dict));
            QVERIFY(!back.isMutable() && back.ref() != dict.ref());
            QVERIFY(back.get(QStringLiteral("uids")).at(2).isCFKeyedArchiverUID());
            const CFType ints = back.get(QStringLiteral("ints"));
            QCOMPARE(ints.at(11).numberType(), int(kCFNumberSInt128Type));
            QCOMPARE(ints.at(8).CFNumberInt64(), std::numeric_limits<long long>::min());
            // Parsed integers and reals are 64-bit wide whatever they were.
            QCOMPARE(ints.at(0).numberType(), int(kCFNumberSInt64Type));
            QCOMPARE(back.get(QStringLiteral("reals")).at(1).numberType(), int(kCFNumberFloat64Type));
            // Insertion order survives as enumeration order.
            QCOMPARE(back.dict_keys().first().CFStringQString(), QStringLiteral("ascii"));
            QCOMPARE(back.dict_keys().last().CFStringQString(), QStringLiteral("\u00fcber"));
        }
        // A copy does not follow later changes.
        const CFType copy = CFType::clone(dict);
        dict.put(QStringLiteral("yes"), CFType::createCFBoolean(false));
        QVERIFY(copy.get(QStringLiteral("yes")).CFNumberBool());
    }

    void unserialisableValues() {
        // 100000 nested arrays: freeing must not recurse.
        CFType chain = CFType::createCFArray();
        for (int i = 0; i < 100000; ++i)
            chain = CFType::createCFArray({chain});
        QVERIFY(chain.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0).isEmpty());
        QVERIFY(chain.toPlistNode() == nullptr);
        QVERIFY(CFType::clone(chain).isNull());
        QVERIFY(!chain.equals(CFType::createCFArray()));
        chain = CFType();

        // At the limit it still works.
        CFType ok = str(QStringLiteral("leaf"));
        for (int i = 0; i < cf::kMaxDepth; ++i)
            ok = CFType::createCFArray({ok});
        QVERIFY(CFType::clone(ok).equals(ok));
        QVERIFY(CFType::createCFPropertyList(ok.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0)).equals(ok));

        // Shared twice at every level: 2^40 values once expanded.
        CFType wide = str(QStringLiteral("x"));
        for (int i = 0; i < 40; ++i)
            wide = CFType::createCFArray({wide, wide});
        QVERIFY(wide.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0).isEmpty());
    }

    void plistNodeBridge() {
        plist_t node = plist_new_dict();
        plist_dict_set_item(node, "name", plist_new_string("iPhone \xe2\x80\x99s"));
        plist_dict_set_item(node, "neg", plist_new_uint(uint64_t(-42)));
        plist_dict_set_item(node, "uid", plist_new_uid(9));
        plist_t arr = plist_new_array();
        plist_array_append_item(arr, plist_new_bool(1));
        plist_array_append_item(arr, plist_new_real(2.5));
        plist_array_append_item(arr, plist_new_data("\0x", 2));
        plist_dict_set_item(node, "list", arr);
        const CFType value = CFType::fromPlistNode(node);
        plist_free(node);
        QCOMPARE(value.get(QStringLiteral("name")).CFStringQString(), QStringLiteral("iPhone \u2019s"));
        QCOMPARE(value.get(QStringLiteral("neg")).CFNumberInt64(), -42LL);
        QCOMPARE(value.get(QStringLiteral("uid")).CFKeyedArchiverUIDGetValue(), 9UL);
        QCOMPARE(value.get(QStringLiteral("list")).at(1).CFNumberDouble(), 2.5);
        QCOMPARE(value.get(QStringLiteral("list")).at(2).CFDataBytes(), QByteArray("\0x", 2));
        plist_t back = value.toPlistNode();
        QVERIFY(back);
        QVERIFY(CFType::fromPlistNode(back).equals(value));
        plist_free(back);
        QVERIFY(CFType::fromPlistNode(nullptr).isNull());
    }

    void keyedArchiveRoundTrip_data() {
        QTest::addColumn<int>("entries");
        QTest::addColumn<bool>("mutableClass");
        QTest::addColumn<long>("format");
        QTest::newRow("empty") << 0 << false << long(kCFPropertyListBinaryFormat_v1_0);
        QTest::newRow("immutable, binary") << 4 << false << long(kCFPropertyListBinaryFormat_v1_0);
        QTest::newRow("mutable, binary") << 4 << true << long(kCFPropertyListBinaryFormat_v1_0);
        QTest::newRow("immutable, xml") << 4 << false << long(kCFPropertyListXMLFormat_v1_0);
    }

    void keyedArchiveRoundTrip() {
        QFETCH(int, entries);
        QFETCH(bool, mutableClass);
        QFETCH(long, format);
        QHash<QString, CFType> hash;
        if (entries) {
            hash.insert(QStringLiteral("Name"), str(QStringLiteral("Space \u00e9")));
            hash.insert(QStringLiteral("Size"), CFType::createCFNumberInt64(5000000000LL));
            hash.insert(QStringLiteral("Blob"), CFType::createCFData("\x01\x02"));
            hash.insert(QStringLiteral("Nested"), CFType::createCFDictionary({str(QStringLiteral("x"))}, {uid(1)}));
        }
        const CFType archive = CFType::createNSDictionaryStringCFType(hash, mutableClass);
        QCOMPARE(archive.get(QStringLiteral("$archiver")).CFStringQString(), QStringLiteral("NSKeyedArchiver"));
        QCOMPARE(archive.get(QStringLiteral("$version")).CFNumberInt(), 100000);
        QCOMPARE(archive.get(QStringLiteral("$version")).numberType(), int(kCFNumberSInt32Type));
        QCOMPARE(archive.get(QStringLiteral("$top")).get(QStringLiteral("root")).CFKeyedArchiverUIDGetValue(), 1UL);
        const CFType objects = archive.get(QStringLiteral("$objects"));
        QCOMPARE(objects.array_size(), 3L + 2 * entries);
        QCOMPARE(objects.at(0).CFStringQString(), QStringLiteral("$null"));
        const CFType root = objects.at(1);
        QCOMPARE(root.get(QStringLiteral("$class")).CFKeyedArchiverUIDGetValue(), 2UL + 2 * entries);
        QVERIFY(root.get(QStringLiteral("NS.keys")).isCFArray());
        QCOMPARE(root.get(QStringLiteral("NS.keys")).array_size(), long(entries));
        QCOMPARE(root.get(QStringLiteral("NS.objects")).array_size(), long(entries));
        const CFType classInfo = objects.at(2 + 2 * entries);
        const QString className = mutableClass ? QStringLiteral("NSMutableDictionary") : QStringLiteral("NSDictionary");
        QCOMPARE(classInfo.get(QStringLiteral("$classname")).CFStringQString(), className);
        QCOMPARE(classInfo.get(QStringLiteral("$classes")).at(0).CFStringQString(), className);
        QCOMPARE(classInfo.get(QStringLiteral("$classes")).array_size(), mutableClass ? 3L : 2L);
        // Keys first, then values, in hash order.
        const QList<QString> keys = hash.keys();
        for (int k = 0; k < keys.size(); ++k) {
            QCOMPARE(objects.at(2 + k).CFStringQString(), keys.at(k));
            QVERIFY(objects.at(2 + entries + k).equals(hash.value(keys.at(k))));
        }

        const CFType parsed = CFType::createCFPropertyList(archive.CFPropertyListToBytes(format));
        QVERIFY(parsed.equals(archive));
        const QHash<QString, CFType> back = CFType::parseNSDictionaryStringCFType(parsed);
        QCOMPARE(back.size(), hash.size());
        for (auto it = hash.cbegin(); it != hash.cend(); ++it)
            QVERIFY2(back.value(it.key()).equals(it.value()), qPrintable(it.key()));
        // The root object decoded one level deep.
        const QHash<QString, CFType> decoded = parsed.NSKeyedArchiver();
        QCOMPARE(decoded.value(QStringLiteral("$class")).get(QStringLiteral("$classname")).CFStringQString(),
                 className);
        QCOMPARE(decoded.value(QStringLiteral("NS.keys")).array_size(), long(entries));
    }

    void keyedArchiveHostileShapes_data() {
        QTest::addColumn<CFType>("archive");
        QTest::addColumn<int>("entries");
        auto make = [](const CFType& top, const CFType& objects) {
            return CFType::createCFDictionary({str(QStringLiteral("$top")), str(QStringLiteral("$objects"))},
                                              {top, objects});
        };
        auto rootAt = [](long i) { return CFType::createCFDictionary({str(QStringLiteral("root"))}, {uid(i)}); };
        auto nsDict = [](const QList<CFType>& keys, const QList<CFType>& values) {
            return CFType::createCFDictionary({str(QStringLiteral("NS.keys")), str(QStringLiteral("NS.objects"))},
                                              {CFType::createCFArray(keys), CFType::createCFArray(values)});
        };
        auto objects = [](const QList<CFType>& items) { return CFType::createCFArray(items); };
        const CFType null = str(QStringLiteral("$null"));
        const CFType k = str(QStringLiteral("k"));
        QTest::newRow("root 0") << make(rootAt(0), objects({nsDict({uid(0)}, {uid(0)})})) << 0;
        QTest::newRow("root out of range") << make(rootAt(99), objects({null})) << 0;
        QTest::newRow("root not a uid") << make(CFType::createCFDictionary({str(QStringLiteral("root"))}, {null}),
                                                objects({null, nsDict({}, {})}))
                                        << 0;
        QTest::newRow("objects not an array") << make(rootAt(1), null) << 0;
        QTest::newRow("refs out of range")
            << make(rootAt(1), objects({null, nsDict({uid(2), uid(7)}, {uid(2), uid(2)}), k})) << 1;
        QTest::newRow("refs not uids") << make(rootAt(1), objects({null, nsDict({k, uid(2)}, {uid(2), uid(2)}), k}))
                                       << 1;
        QTest::newRow("fewer objects than keys")
            << make(rootAt(1), objects({null, nsDict({uid(2), uid(2)}, {uid(2)}), k})) << 1;
    }

    void keyedArchiveHostileShapes() {
        QFETCH(CFType, archive);
        QFETCH(int, entries);
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
                    if (item.CFStringQString() == QString::number(round % 64))
                        seen.fetch_add(1);
                    const CFType holder = CFType::createCFArray({item, copy});
                }
            });
        }
        for (std::thread& t : threads)
            t.join();
        QCOMPARE(seen.load(), 4 * 2000);
        QVERIFY(frozen.equals(shared));
    }
};

QTEST_GUILESS_MAIN(TestCFType)
#include "tst_cftype.moc"
