#pragma once

// The canonical form of a value that plist_oracle.py prints, built from a
// CFType, so that whole structures can be compared with Python's reading.

#include "device/cftype.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <algorithm>
#include <cmath>
#include <cstring>

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
