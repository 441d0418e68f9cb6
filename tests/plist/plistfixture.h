#pragma once

// Shared by the property-list tests: short constructors, one sample holding
// every kind and width, and the canonical form that plist_oracle.py prints,
// built from a CFType so that whole structures compare with Python's reading.

#include "device/cftype.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

inline CFType str(const QString& s) {
    return CFType::createCFString(s);
}

inline CFType uid(long v) {
    return CFType::createCFKeyedArchiverUID(v);
}

inline bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// Dates with fractions only when the sample is meant for the binary format
// (XML keeps whole seconds).
inline CFType richSample(bool binary) {
    CFType root = CFType::createCFDictionary();
    root.put(QStringLiteral("ascii"), str(QStringLiteral("plain")));
    root.put(QStringLiteral("unicode"), str(QStringLiteral("gr\u00fc\u00dfe \u65e5\u672c \U0001F600 <&>\"'")));
    root.put(QStringLiteral("empty string"), str(QString()));
    CFType ints = CFType::createCFArray();
    ints.append(CFType::createCFNumberInt8(char(-128)))
        .append(CFType::createCFNumberInt16(-32768))
        .append(CFType::createCFNumberInt32(std::numeric_limits<int>::min()))
        .append(CFType::createCFNumberInt32(255))
        .append(CFType::createCFNumberInt32(65536))
        .append(CFType::createCFNumberInt64(5000000000LL))
        .append(CFType::createCFNumberInt64(-5000000000LL))
        .append(CFType::createCFNumberInt64(std::numeric_limits<long long>::max()))
        .append(CFType::createCFNumberInt64(std::numeric_limits<long long>::min()))
        .append(CFType::createCFNumberCFIndex(-1))
        .append(CFType::createCFNumberUInt64(9223372036854775808ULL))
        .append(CFType::createCFNumberUInt64(18446744073709551615ULL));
    root.put(QStringLiteral("ints"), ints);
    CFType reals = CFType::createCFArray();
    reals.append(CFType::createCFNumberDouble(0.1))
        .append(CFType::createCFNumberFloat(3.5f))
        .append(CFType::createCFNumberDouble(-1e-300))
        .append(CFType::createCFNumberDouble(1.7976931348623157e308))
        .append(CFType::createCFNumberDouble(1.0 / 3));
    root.put(QStringLiteral("reals"), reals);
    root.put(QStringLiteral("yes"), CFType::createCFBoolean(true));
    root.put(QStringLiteral("no"), CFType::createCFBoolean(false));
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    root.put(QStringLiteral("data"), CFType::createCFData(all));
    root.put(QStringLiteral("no data"), CFType::createCFData(QByteArray()));
    CFType dates = CFType::createCFArray();
    dates.append(CFType::createCFDate(QDateTime(QDate(2013, 5, 1), QTime(10, 20, 30, 999))))
        .append(CFType::createCFDate(QDateTime(QDate(1999, 12, 31), QTime(23, 59, 59))))
        .append(CFType::createCFDate(QDateTime(QDate(1900, 1, 1), QTime(0, 0))))
        .append(CFType::createCFDate(QDateTime(QDate(2100, 6, 1), QTime(12, 0))));
    if (binary)
        dates.append(CFType::createCFDateFromAbsoluteTime(660252793.25));
    root.put(QStringLiteral("dates"), dates);
    root.put(QStringLiteral("uids"), CFType::createCFArray({uid(0), uid(255), uid(70000)}));
    CFType deep = str(QStringLiteral("bottom"));
    for (int i = 0; i < 40; ++i) {
        deep = (i % 2) ? CFType::createCFArray({deep, CFType::createCFArray()})
                       : CFType::createCFDictionary({str(QString::number(i)), str(QStringLiteral("e"))},
                                                    {deep, CFType::createCFDictionary()});
    }
    root.put(QStringLiteral("nested"), deep);
    return root;
}

inline QJsonValue plistCanon(const CFType& v) {
    auto one = [](const char* kind, const QJsonValue& value) { return QJsonObject{{QLatin1String(kind), value}}; };
    switch (v.typeId()) {
    case kCFTypeString:
        return one("s", v.CFStringQString());
    case kCFTypeNumber: {
        const int w = v.numberType();
        if (w == kCFNumberFloat32Type || w == kCFNumberFloat64Type || w == kCFNumberFloatType ||
            w == kCFNumberDoubleType) {
            const double d = v.CFNumberDouble();
            if (std::isnan(d))
                return one("r", QStringLiteral("nan"));
            unsigned char raw[8];
            std::memcpy(raw, &d, 8);
            QByteArray bigEndian;
            for (int i = 7; i >= 0; --i)
                bigEndian.append(char(raw[i]));
            return one("r", QString::fromLatin1(bigEndian.toHex()));
        }
        if (w == kCFNumberSInt128Type)
            return one("i", QString::number(v.CFNumberUInt64()));
        return one("i", QString::number(v.CFNumberInt64()));
    }
    case kCFTypeBoolean:
        return one("b", v.CFNumberBool());
    case kCFTypeData:
        return one("d", QString::fromLatin1(v.CFDataBytes().toHex()));
    case kCFTypeDate: {
        const double at = v.CFDateAbsoluteTime();
        qint64 secs = qint64(std::floor(at));
        qint64 micros = std::llround((at - double(secs)) * 1e6);
        if (micros >= 1000000) {
            secs += 1;
            micros -= 1000000;
        }
        const QDateTime t = QDateTime::fromSecsSinceEpoch(secs + 978307200, Qt::UTC);
        return one("t", t.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.")) +
                            QStringLiteral("%1").arg(micros, 6, 10, QLatin1Char('0')));
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
        std::sort(keys.begin(), keys.end(),
                  [](const CFType& a, const CFType& b) { return a.CFStringQString() < b.CFStringQString(); });
        QJsonArray pairs;
        for (const CFType& k : keys)
            pairs.append(QJsonArray{k.CFStringQString(), plistCanon(v.get(k))});
        return one("o", pairs);
    }
    default:
        return QJsonValue();
    }
}
