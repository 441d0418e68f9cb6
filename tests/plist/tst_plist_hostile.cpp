// Hostile property-list bytes: whatever arrives from a device or a backup
// folder must give the null value (or a sound value), never a crash, a hang or
// unbounded memory. Run under the sanitizer build as well.

#include "device/cftype.h"

#include <QRandomGenerator>
#include <QtTest>
#include <optional>

namespace {

QByteArray be(quint64 v, int n) {
    QByteArray out(n, '\0');
    for (int i = n - 1; i >= 0; --i, v >>= 8)
        out[i] = char(v & 0xff);
    return out;
}

struct Trailer {
    std::optional<quint64> count;
    std::optional<quint64> tableOffset;
    int offSize = 2;
    int refSize = 2;
    quint64 top = 0;
};

// A binary plist from raw object encodings; references inside the objects are
// written by the caller with the trailer's refSize.
QByteArray bplist(const QList<QByteArray>& objects, const Trailer& t = {}, const QList<quint64>& offsets = {}) {
    QByteArray out("bplist00");
    QList<quint64> at = offsets;
    for (const QByteArray& o : objects) {
        if (offsets.isEmpty())
            at.append(quint64(out.size()));
        out += o;
    }
    const quint64 table = quint64(out.size());
    for (quint64 off : at)
        out += be(off, t.offSize);
    out += QByteArray(6, '\0');
    out += char(t.offSize);
    out += char(t.refSize);
    out += be(t.count.value_or(quint64(at.size())), 8);
    out += be(t.top, 8);
    out += be(t.tableOffset.value_or(table), 8);
    return out;
}

template <typename F>
Trailer with(F change) {
    Trailer t;
    change(t);
    return t;
}

QByteArray ref(quint64 index, int refSize = 2) {
    return be(index, refSize);
}

QByteArray ascii(const QByteArray& s) {
    return char(0x50 | s.size()) + s; // short strings only
}

QByteArray array(const QList<quint64>& refs) {
    QByteArray out(1, char(0xA0 | refs.size()));
    for (quint64 r : refs)
        out += ref(r);
    return out;
}

CFType sample() {
    CFType root = CFType::createCFDictionary();
    root.put(QStringLiteral("name"), CFType::createCFString(QStringLiteral("d\u00e9vice \U0001F600")));
    root.put(QStringLiteral("size"), CFType::createCFNumberInt64(-5000000000LL));
    root.put(QStringLiteral("big"), CFType::createCFNumberUInt64(18446744073709551615ULL));
    root.put(QStringLiteral("real"), CFType::createCFNumberDouble(0.1));
    root.put(QStringLiteral("when"), CFType::createCFDateFromAbsoluteTime(389096430.5));
    root.put(QStringLiteral("blob"), CFType::createCFData(QByteArray(40, 'b')));
    root.put(QStringLiteral("ok"), CFType::createCFBoolean(true));
    root.put(QStringLiteral("list"),
             CFType::createCFArray({CFType::createCFKeyedArchiverUID(300), CFType::createCFDictionary(),
                                    CFType::createCFString(QStringLiteral("x"))}));
    return root;
}

// Any value that does come out must serialise again.
void checkSound(const CFType& v) {
    if (!v.isNull())
        (void)v.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0);
}

} // namespace

class TestPlistHostile : public QObject {
    Q_OBJECT

private slots:
    // Every row: the null value when refused, a sound value when accepted.
    void hostileBytes_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("valid");
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("text") << QByteArray("hello, world") << false;
        QTest::newRow("magic only") << QByteArray("bplist00") << false;
        QTest::newRow("magic and zeros") << QByteArray("bplist00") + QByteArray(64, '\0') << false;
        QTest::newRow("other binary version") << QByteArray("bplist15") + QByteArray(64, '\0') << false;
        QTest::newRow("unclosed xml") << QByteArray("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>")
                                      << false;
        QTest::newRow("unknown element") << QByteArray("<plist version=\"1.0\"><blob>1</blob></plist>") << false;
        QTest::newRow("unclosed comment") << QByteArray("<plist version=\"1.0\"><!-- <array>") << false;
        QByteArray random(4096, '\0');
        QRandomGenerator rng(1234);
        for (char& c : random)
            c = char(rng.bounded(256));
        QTest::newRow("random") << random << false;
        QTest::newRow("random after magic") << QByteArray("bplist00") + random << false;

        // Binary plists built object by object.
        const QByteArray hi = ascii("hi");
        QTest::newRow("control: one string") << bplist({hi}) << true;
        QTest::newRow("control: dict") << bplist({QByteArray(1, char(0xD1)) + ref(1) + ref(2), hi,
                                                  QByteArray(1, char(0x09))})
                                       << true;
        QTest::newRow("offset beyond table") << bplist({hi}, {}, {5000}) << false;
        QTest::newRow("offset into table") << bplist({array({1}), hi}, {}, {8, 14}) << false;
        QTest::newRow("top beyond count") << bplist({hi}, with([](Trailer& t) { t.top = 1; })) << false;
        QTest::newRow("count beyond table") << bplist({hi}, with([](Trailer& t) { t.count = 1000; })) << false;
        QTest::newRow("huge count") << bplist({hi}, with([](Trailer& t) { t.count = quint64(1) << 62; })) << false;
        QTest::newRow("table offset beyond file")
            << bplist({hi}, with([](Trailer& t) { t.tableOffset = 1 << 20; })) << false;
        QTest::newRow("table offset overflow")
            << bplist({hi}, with([](Trailer& t) { t.tableOffset = ~quint64(0) - 4; })) << false;
        QTest::newRow("offset size 0") << bplist({hi}, with([](Trailer& t) { t.offSize = 0; })) << false;
        QTest::newRow("ref size 9") << bplist({hi}, with([](Trailer& t) { t.refSize = 9; })) << false;
        QTest::newRow("array refers to itself") << bplist({array({0})}) << false;
        QTest::newRow("dict value loop") << bplist({QByteArray(1, char(0xD1)) + ref(1) + ref(0), hi}) << false;
        QTest::newRow("ref beyond count") << bplist({array({7})}) << false;
        QTest::newRow("key with NUL") << bplist({QByteArray(1, char(0xD1)) + ref(1) + ref(1),
                                                 ascii(QByteArray("a\0b", 3))})
                                      << false;
        QTest::newRow("utf16 key with NUL")
            << bplist({QByteArray(1, char(0xD1)) + ref(1) + ref(1), QByteArray("\x62\x00\x61\x00\x00", 5)}) << false;
        QTest::newRow("value with NUL") << bplist({array({1}), ascii(QByteArray("a\0b", 3))}) << true;
        QTest::newRow("non-string key") << bplist(
                                               {QByteArray(1, char(0xD1)) + ref(1) + ref(1), QByteArray("\x10\x05", 2)})
                                        << false;
        QTest::newRow("null object") << bplist({QByteArray(1, '\0')}) << false;
        QTest::newRow("set object") << bplist({QByteArray(1, char(0xC1)) + ref(1), hi}) << false;
        QTest::newRow("string longer than data") << bplist({QByteArray("\x5f\x10\x7f", 3) + "abc"}) << false;
        QTest::newRow("huge array count")
            << bplist({QByteArray(1, char(0xAF)) + QByteArray(1, char(0x13)) + be(quint64(1) << 60, 8)}) << false;
        QTest::newRow("huge data count") << bplist({QByteArray(1, char(0x4F)) + QByteArray(1, char(0x13)) +
                                                    be(~quint64(0), 8)})
                                         << false;
        QTest::newRow("utf16 count overflow")
            << bplist({QByteArray(1, char(0x6F)) + QByteArray(1, char(0x13)) + be(quint64(1) << 63, 8)}) << false;
        QTest::newRow("bad length marker")
            << bplist({QByteArray(1, char(0x5F)) + QByteArray(1, char(0x20)) + "x"}) << false;
        QTest::newRow("int of 32 bytes") << bplist({QByteArray(1, char(0x15)) + QByteArray(32, '\1')}) << false;
        QTest::newRow("int above 2^64") << bplist({QByteArray(1, char(0x14)) + be(1, 8) + be(0, 8)}) << false;
        QTest::newRow("int 2^64-1 in 16 bytes")
            << bplist({QByteArray(1, char(0x14)) + be(0, 8) + be(~quint64(0), 8)}) << true;
        QTest::newRow("nan date") << bplist({QByteArray(1, char(0x33)) + be(0x7ff8000000000000ULL, 8)}) << false;
        QTest::newRow("date 1e300") << bplist({QByteArray(1, char(0x33)) + be(0x7e37e43c8800759cULL, 8)}) << false;
        QTest::newRow("lone high surrogate") << bplist({QByteArray("\x61\xd8\x00", 3)}) << false;
        QTest::newRow("surrogate pair") << bplist({QByteArray("\x62\xd8\x3d\xde\x00", 5)}) << true;
        QTest::newRow("truncated real") << bplist({QByteArray("\x23\x40", 2)}) << false;

        // 5000 arrays, each holding the next.
        QList<QByteArray> chain;
        for (int i = 0; i < 5000; ++i)
            chain.append(i == 4999 ? hi : array({quint64(i + 1)}));
        QTest::newRow("5000 deep") << bplist(chain) << false;
        // 500 deep is still accepted.
        QList<QByteArray> shallow = chain.mid(4500);
        for (int i = 0; i < shallow.size() - 1; ++i)
            shallow[i] = array({quint64(i + 1)});
        QTest::newRow("500 deep") << bplist(shallow) << true;
        // Each array holds the next twice: 2^60 values once expanded.
        QList<QByteArray> laughs;
        for (int i = 0; i < 60; ++i)
            laughs.append(array({quint64(i + 1), quint64(i + 1)}));
        laughs.append(hi);
        QTest::newRow("shared expansion") << bplist(laughs) << false;
        // Sharing within reason is fine (writers share equal strings).
        QList<QByteArray> shared{array(QList<quint64>(14, 1)), hi};
        QTest::newRow("shared leaf") << bplist(shared) << true;

        // XML nesting.
        auto nest = [](int depth, const char* open, const char* close) {
            return QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">") +
                   QByteArray(open).repeated(depth) + "<true/>" + QByteArray(close).repeated(depth) + "</plist>";
        };
        QTest::newRow("arrays 100000 deep") << nest(100000, "<array>", "</array>") << false;
        QTest::newRow("dicts 5000 deep") << nest(5000, "<dict><key>k</key>", "</dict>") << false;
        QTest::newRow("attributes on tags") << nest(5000, "<array a=\"1\">", "</array>") << false;
        QTest::newRow("newline in tags") << nest(5000, "<array\n>", "</array\n>") << false;
        QTest::newRow("unclosed 100000 deep")
            << QByteArray("<plist version=\"1.0\">") + QByteArray("<array>").repeated(100000) << false;
        QTest::newRow("arrays 500 deep") << nest(500, "<array>", "</array>") << true;
        QTest::newRow("empty elements do not nest") << nest(1, "<array><array/><dict/>", "</array>") << true;
        QTest::newRow("markup in comments and cdata")
            << QByteArray("<plist version=\"1.0\"><!--") + QByteArray("<array>").repeated(5000) +
                   "--><string><![CDATA[" + QByteArray("<dict>").repeated(5000) + "]]></string></plist>"
            << true;

        // Malformed XML is refused instead of read as 0, the epoch or nothing.
        const auto doc = [](const QByteArray& body) {
            return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST "
                   "1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n" +
                   body + "\n</plist>\n";
        };
        QTest::newRow("key without value") << doc("<dict><key>a</key></dict>") << false;
        QTest::newRow("two keys") << doc("<dict><key>a</key><key>b</key><true/></dict>") << false;
        QTest::newRow("value without key") << doc("<dict><true/></dict>") << false;
        QTest::newRow("key outside dict") << doc("<array><key>a</key></array>") << false;
        QTest::newRow("bad integer") << doc("<integer>12abc</integer>") << false;
        QTest::newRow("integer above 2^64") << doc("<integer>18446744073709551616</integer>") << false;
        QTest::newRow("integer below -2^63") << doc("<integer>-9223372036854775809</integer>") << false;
        QTest::newRow("bad date") << doc("<date>garbage</date>") << false;
        QTest::newRow("bad data") << doc("<data>!!!</data>") << false;
        QTest::newRow("text in array") << doc("<array>text<true/></array>") << false;
        QTest::newRow("element in string") << doc("<string><true/></string>") << false;
        QTest::newRow("two values in plist") << doc("<true/><false/>") << false;
        QTest::newRow("unknown element in array") << doc("<array><blob/></array>") << false;
        QTest::newRow("mismatched close") << doc("<array></dict>") << false;
        QTest::newRow("hex integer") << doc("<integer>0x10</integer>") << true;
        QTest::newRow("int64 min") << doc("<integer>-9223372036854775808</integer>") << true;
        QTest::newRow("uint64 max") << doc("<integer> 18446744073709551615 </integer>") << true;
        QTest::newRow("nan") << doc("<real>nan</real>") << true;
        QTest::newRow("exponent") << doc("<real>-1.5e-300</real>") << true;
        QTest::newRow("date") << doc("<date>2013-05-01T10:20:30Z</date>") << true;
        QTest::newRow("data with line breaks") << doc("<data>\n\tAAEC\n\tAw==\n</data>") << true;
        QTest::newRow("comment in dict") << doc("<dict><!-- c --><key>a</key><!-- c --><true/></dict>") << true;
        QTest::newRow("cdata string") << doc("<string><![CDATA[a<b]]></string>") << true;
        QTest::newRow("empty containers") << doc("<array><dict/><array/><string/></array>") << true;
    }

    void hostileBytes() {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, valid);
        const CFType v = CFType::createCFPropertyList(bytes);
        QCOMPARE(!v.isNull(), valid);
        checkSound(v);
    }

    void truncatedBinaryAtEveryOffset() {
        const QByteArray full = sample().CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0);
        QVERIFY(CFType::createCFPropertyList(full).equals(sample()));
        for (qsizetype n = 0; n < full.size(); ++n)
            QVERIFY2(CFType::createCFPropertyList(full.left(n)).isNull(), qPrintable(QString::number(n)));
        const QString real = QStringLiteral(VEXLAR_REALDATA_DIR "/mvt/Info.plist");
        QFile f(real);
        if (f.open(QIODevice::ReadOnly)) {
            const QByteArray info = f.readAll();
            QVERIFY(CFType::createCFPropertyList(info).isCFDictionary());
            for (qsizetype n = 0; n < info.size(); ++n)
                QVERIFY(CFType::createCFPropertyList(info.left(n)).isNull());
        }
    }

    void truncatedXmlAtEveryOffset() {
        const QByteArray full = sample().CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0);
        const qsizetype end = full.lastIndexOf("</plist>");
        QVERIFY(end > 0);
        // Cut before the closing of the root element, nothing whole remains.
        for (qsizetype n = 0; n < end; ++n)
            checkSound(CFType::createCFPropertyList(full.left(n)));
    }

    // Every byte of a binary sample changed in turn: no crash, and any survivor is sound.
    void corruptedBytes() {
        const QByteArray full = sample().CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0);
        for (char mask : {char(0xff), char(0x01), char(0x80), char(0x10)}) {
            for (qsizetype i = 0; i < full.size(); ++i) {
                QByteArray bad = full;
                bad[i] = char(bad[i] ^ mask);
                checkSound(CFType::createCFPropertyList(bad));
            }
        }
        const QByteArray xml = sample().CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0);
        for (qsizetype i = 0; i < xml.size(); ++i) {
            QByteArray bad = xml;
            bad[i] = (bad[i] == '<') ? '>' : '<';
            checkSound(CFType::createCFPropertyList(bad));
        }
    }

    void oversizedInput() {
        // Past the cap nothing is parsed, even when the bytes would be valid.
        QByteArray big("<?xml version=\"1.0\"?><plist version=\"1.0\"><string>");
        big.append(QByteArray(256 * 1024 * 1024, 'a'));
        big.append("</string></plist>");
        QVERIFY(CFType::createCFPropertyList(big).isNull());
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("big.plist"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(big), big.size());
        f.close();
        big.clear();
        QVERIFY(CFType::createCFPropertyListFromFile(path).isNull());
    }
};

QTEST_GUILESS_MAIN(TestPlistHostile)
#include "tst_plist_hostile.moc"
