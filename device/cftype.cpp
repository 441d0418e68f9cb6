// The value model: ownership, factories, accessors, dates, keyed archives and
// mutators. Encoding and decoding are in plistcodec.cpp, the checks made on
// hostile bytes in plistcheck.cpp.

#include "device/cftype.h"

#include "device/cfobject.h"

#include <QRegularExpression>
#include <QTimeZone>
#include <cmath>
#include <limits>

namespace {

using cf::kAbsoluteTimeOffset;
using cf::Kind;

const cf::Object* obj(const CFType& value) {
    return static_cast<const cf::Object*>(value.ref());
}

template <typename T>
const T* as(const CFType& value, Kind kind) {
    const cf::Object* o = obj(value);
    return o && o->kind() == kind ? static_cast<const T*>(o) : nullptr;
}

CFType adopt(const cf::Object* o) {
    return CFType(o, true);
}

CFType borrow(const cf::Object* o) {
    return CFType(o, false);
}

// ---- number reads -------------------------------------------------------

// Integer reads refuse fractions, NaN and anything outside the target type.
template <typename T>
bool readInteger(const cf::Number* n, T& out) {
    if (!n)
        return false;
    constexpr qint64 lo = std::numeric_limits<T>::min();
    constexpr qint64 hi = std::numeric_limits<T>::max();
    if (n->isFloat()) {
        const double d = n->d();
        if (!std::isfinite(d) || d != std::trunc(d))
            return false;
        // -2^(bits-1) <= d < 2^(bits-1), computed without overflow.
        if (d < double(lo) || d >= -double(lo))
            return false;
        out = T(d);
        return true;
    }
    if (n->isBigUnsigned())
        return false;
    if (n->i() < lo || n->i() > hi)
        return false;
    out = T(n->i());
    return true;
}

// Float reads accept rounding to the nearest representable value but refuse
// finite values outside the target's range.
template <typename T>
bool readFloat(const cf::Number* n, T& out) {
    if (!n)
        return false;
    const double d = n->toDouble();
    if (std::isfinite(d) && std::fabs(d) > double(std::numeric_limits<T>::max()))
        return false;
    out = T(d);
    return true;
}

// ---- dates ----------------------------------------------------------------

// Calendar fields of an absolute time in a zone, rebuilt as a local-time value.
QDateTime fieldsToLocal(double absoluteTime, const QTimeZone* zone, int fixedOffset) {
    if (!std::isfinite(absoluteTime) || std::fabs(absoluteTime) > 1e13)
        return {};
    const qint64 unix = qint64(std::floor(absoluteTime)) + kAbsoluteTimeOffset;
    QDateTime at;
    if (zone && zone->isValid())
        at = QDateTime::fromSecsSinceEpoch(unix, *zone);
    else
        at = QDateTime::fromSecsSinceEpoch(unix + fixedOffset, Qt::UTC);
    if (!at.isValid())
        return {};
    return QDateTime(at.date(), at.time(), Qt::LocalTime);
}

QTimeZone zoneNamed(const QString& name) {
    // Common abbreviations, as the time-zone database's own abbreviation table.
    static const QHash<QString, QByteArray> abbreviations = {
        {QStringLiteral("GMT"), "UTC"},
        {QStringLiteral("UTC"), "UTC"},
        {QStringLiteral("BST"), "Europe/London"},
        {QStringLiteral("WET"), "Europe/Lisbon"},
        {QStringLiteral("WEST"), "Europe/Lisbon"},
        {QStringLiteral("CET"), "Europe/Paris"},
        {QStringLiteral("CEST"), "Europe/Paris"},
        {QStringLiteral("EET"), "Europe/Istanbul"},
        {QStringLiteral("EEST"), "Europe/Istanbul"},
        {QStringLiteral("MSK"), "Europe/Moscow"},
        {QStringLiteral("MSD"), "Europe/Moscow"},
        {QStringLiteral("IST"), "Asia/Kolkata"},
        {QStringLiteral("PKT"), "Asia/Karachi"},
        {QStringLiteral("ICT"), "Asia/Bangkok"},
        {QStringLiteral("WIT"), "Asia/Jakarta"},
        {QStringLiteral("SGT"), "Asia/Singapore"},
        {QStringLiteral("HKT"), "Asia/Hong_Kong"},
        {QStringLiteral("PHT"), "Asia/Manila"},
        {QStringLiteral("KST"), "Asia/Seoul"},
        {QStringLiteral("JST"), "Asia/Tokyo"},
        {QStringLiteral("NZST"), "Pacific/Auckland"},
        {QStringLiteral("NZDT"), "Pacific/Auckland"},
        {QStringLiteral("HST"), "Pacific/Honolulu"},
        {QStringLiteral("AKST"), "America/Juneau"},
        {QStringLiteral("AKDT"), "America/Juneau"},
        {QStringLiteral("PST"), "America/Los_Angeles"},
        {QStringLiteral("PDT"), "America/Los_Angeles"},
        {QStringLiteral("MST"), "America/Denver"},
        {QStringLiteral("MDT"), "America/Denver"},
        {QStringLiteral("CST"), "America/Chicago"},
        {QStringLiteral("CDT"), "America/Chicago"},
        {QStringLiteral("EST"), "America/New_York"},
        {QStringLiteral("EDT"), "America/New_York"},
        {QStringLiteral("AST"), "America/Halifax"},
        {QStringLiteral("ADT"), "America/Halifax"},
        {QStringLiteral("BRT"), "America/Sao_Paulo"},
        {QStringLiteral("ART"), "America/Argentina/Buenos_Aires"},
        {QStringLiteral("CLT"), "America/Santiago"},
        {QStringLiteral("COT"), "America/Bogota"},
        {QStringLiteral("PET"), "America/Lima"},
        {QStringLiteral("WAT"), "Africa/Lagos"},
        {QStringLiteral("CAT"), "Africa/Harare"},
        {QStringLiteral("EAT"), "Africa/Addis_Ababa"},
    };
    const auto it = abbreviations.constFind(name.toUpper());
    return QTimeZone(it != abbreviations.cend() ? it.value() : name.toUtf8());
}

} // namespace

// ---- ownership ---------------------------------------------------------------

CFTypePrivacy::CFTypePrivacy(const void* ref, bool owned) : m_ref(ref) {
    if (!owned && ref)
        cf::retain(static_cast<const cf::Object*>(ref));
}

CFTypePrivacy::~CFTypePrivacy() {
    cf::release(static_cast<const cf::Object*>(m_ref));
}

CFType::CFType(const void* ref, bool owned) : d(ref ? std::make_shared<CFTypePrivacy>(ref, owned) : nullptr) {}

CFType::CFType(const CFType& other) = default;

CFType& CFType::operator=(const CFType& other) = default;

CFType::~CFType() = default;

const void* CFType::ref() const {
    return d ? d->p() : nullptr;
}

unsigned long CFType::typeId() const {
    const cf::Object* o = obj(*this);
    return o ? static_cast<unsigned long>(o->kind()) : kCFTypeNull;
}

bool CFType::isCFString() const {
    return typeId() == kCFTypeString;
}
bool CFType::isCFNumber() const {
    return typeId() == kCFTypeNumber;
}
bool CFType::isCFBoolean() const {
    return typeId() == kCFTypeBoolean;
}
bool CFType::isCFDate() const {
    return typeId() == kCFTypeDate;
}
bool CFType::isCFData() const {
    return typeId() == kCFTypeData;
}
bool CFType::isCFDictionary() const {
    return typeId() == kCFTypeDictionary;
}
bool CFType::isCFArray() const {
    return typeId() == kCFTypeArray;
}
bool CFType::isCFKeyedArchiverUID() const {
    return typeId() == kCFTypeKeyedArchiverUID;
}

int CFType::numberType() const {
    const auto* n = as<cf::Number>(*this, Kind::Number);
    return n ? n->width() : 0;
}

bool CFType::isMutable() const {
    if (const auto* d = as<cf::Dictionary>(*this, Kind::Dictionary))
        return d->isMutable;
    if (const auto* a = as<cf::Array>(*this, Kind::Array))
        return a->isMutable;
    return false;
}

// ---- factories -----------------------------------------------------------------

CFType CFType::createCFBoolean(bool value) {
    return adopt(cf::Boolean::get(value));
}

CFType CFType::createCFNumberInt8(char value) {
    return adopt(cf::Number::fromInt(kCFNumberSInt8Type, static_cast<signed char>(value)));
}

CFType CFType::createCFNumberInt16(short value) {
    return adopt(cf::Number::fromInt(kCFNumberSInt16Type, value));
}

CFType CFType::createCFNumberInt32(int value) {
    return adopt(cf::Number::fromInt(kCFNumberSInt32Type, value));
}

CFType CFType::createCFNumberInt64(long long value) {
    return adopt(cf::Number::fromInt(kCFNumberSInt64Type, value));
}

CFType CFType::createCFNumberUInt64(unsigned long long value) {
    return adopt(cf::Number::fromUnsigned(value));
}

CFType CFType::createCFNumberFloat(float value) {
    return adopt(cf::Number::fromFloat(kCFNumberFloat32Type, value));
}

CFType CFType::createCFNumberDouble(double value) {
    return adopt(cf::Number::fromFloat(kCFNumberFloat64Type, value));
}

CFType CFType::createCFNumberCFIndex(long value) {
    return adopt(cf::Number::fromInt(kCFNumberCFIndexType, value));
}

CFType CFType::createCFString(const QString& text) {
    return adopt(new cf::String(QString::fromUtf8(text.toUtf8())));
}

CFType CFType::createCFData(const QByteArray& bytes) {
    return adopt(new cf::Data(bytes));
}

CFType CFType::createCFDate(const QDateTime& time) {
    if (!time.isValid())
        return {};
    // The fields are taken as GMT whatever the value's own time spec.
    const QTime t = time.time();
    const QDateTime gmt(time.date(), QTime(t.hour(), t.minute(), t.second()), Qt::UTC);
    return adopt(new cf::Date(double(gmt.toSecsSinceEpoch() - kAbsoluteTimeOffset)));
}

CFType CFType::createCFDateFromAbsoluteTime(double absoluteTime) {
    if (!std::isfinite(absoluteTime))
        return {};
    return adopt(new cf::Date(absoluteTime));
}

CFType CFType::createCFDictionary() {
    return adopt(new cf::Dictionary(true));
}

CFType CFType::createCFDictionary(const QList<CFType>& keys, const QList<CFType>& values) {
    auto* dict = new cf::Dictionary(false);
    const qsizetype n = qMin(keys.size(), values.size());
    for (qsizetype i = 0; i < n; ++i) {
        if (obj(keys.at(i)) && obj(values.at(i)))
            dict->set(obj(keys.at(i)), obj(values.at(i)));
    }
    return adopt(dict);
}

CFType CFType::createCFDictionaryCreateMutableCopy(const CFType& dictionary) {
    const auto* source = as<cf::Dictionary>(dictionary, Kind::Dictionary);
    if (!source)
        return {};
    auto* dict = new cf::Dictionary(true);
    for (qsizetype i = 0; i < source->size(); ++i)
        dict->set(source->keyAt(i), source->valueAt(i));
    return adopt(dict);
}

CFType CFType::createCFArray() {
    return adopt(new cf::Array(true));
}

CFType CFType::createCFArray(const QList<CFType>& items) {
    auto* array = new cf::Array(false);
    for (const CFType& item : items) {
        if (obj(item))
            array->append(obj(item));
    }
    return adopt(array);
}

CFType CFType::createCFKeyedArchiverUID(long value) {
    if (value < 0)
        return {};
    return adopt(new cf::Uid(quint64(value)));
}

CFType CFType::clone(const CFType& value) {
    return createCFPropertyList(value.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0));
}

bool CFType::isSecretKeyName(const QString& name) {
    static const QRegularExpression secret(QStringLiteral("pass(word|code|phrase)|secret|token|escrow|key"),
                                           QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression label(QStringLiteral("^AMS[A-Za-z]*Key$"));
    return secret.match(label.match(name).hasMatch() ? name.chopped(3) : name).hasMatch();
}

CFType CFType::withSecretsBlanked(const CFType& value) {
    if (value.isCFDictionary()) {
        CFType copy = createCFDictionary();
        for (const CFType& key : value.dict_keys()) {
            copy.put(key, isSecretKeyName(key.CFStringQString()) ? createCFString(QStringLiteral("(hidden)"))
                                                                 : withSecretsBlanked(value.get(key)));
        }
        return copy;
    }
    if (value.isCFArray()) {
        CFType copy = createCFArray();
        for (long i = 0; i < value.array_size(); ++i) {
            copy.append(withSecretsBlanked(value.at(int(i))));
        }
        return copy;
    }
    return value;
}

CFType CFType::createNSDictionaryStringCFType(const QHash<QString, CFType>& hash, bool mutableClass) {
    CFType archive = createCFDictionary();
    CFType objects = createCFArray();
    CFType root = createCFDictionary();
    CFType keyRefs = createCFArray();
    CFType objectRefs = createCFArray();
    archive.put(QStringLiteral("$archiver"), createCFString(QStringLiteral("NSKeyedArchiver")));
    archive.put(QStringLiteral("$objects"), objects);
    archive.put(QStringLiteral("$top"),
                createCFDictionary({createCFString(QStringLiteral("root"))}, {createCFKeyedArchiverUID(1)}));
    archive.put(QStringLiteral("$version"), createCFNumberInt32(100000));

    objects.append(createCFString(QStringLiteral("$null")));
    objects.append(root);
    const QList<QString> keys = hash.keys();
    const long n = long(keys.size());
    for (long k = 0; k < n; ++k) {
        objects.append(createCFString(keys.at(k)));
        keyRefs.append(createCFKeyedArchiverUID(2 + k));
    }
    for (long k = 0; k < n; ++k) {
        const CFType value = hash.value(keys.at(k));
        // A null value would shift every later index; "$null" stands in for it.
        objects.append(value.isNull() ? createCFString(QStringLiteral("$null")) : value);
        objectRefs.append(createCFKeyedArchiverUID(2 + n + k));
    }
    root.put(QStringLiteral("NS.keys"), keyRefs);
    root.put(QStringLiteral("NS.objects"), objectRefs);
    root.put(QStringLiteral("$class"), createCFKeyedArchiverUID(2 + 2 * n));

    QList<CFType> classes;
    if (mutableClass)
        classes.append(createCFString(QStringLiteral("NSMutableDictionary")));
    classes.append(createCFString(QStringLiteral("NSDictionary")));
    classes.append(createCFString(QStringLiteral("NSObject")));
    objects.append(createCFDictionary(
        {createCFString(QStringLiteral("$classes")), createCFString(QStringLiteral("$classname"))},
        {createCFArray(classes),
         createCFString(mutableClass ? QStringLiteral("NSMutableDictionary") : QStringLiteral("NSDictionary"))}));
    return archive;
}

QHash<QString, CFType> CFType::parseNSDictionaryStringCFType(const CFType& archive) {
    QHash<QString, CFType> result;
    const unsigned long rootIndex =
        archive.get(QStringLiteral("$top")).get(QStringLiteral("root")).CFKeyedArchiverUIDGetValue();
    if (rootIndex == 0)
        return result;
    const CFType objects = archive.get(QStringLiteral("$objects"));
    auto object = [&objects](const CFType& uid) {
        if (!uid.isCFKeyedArchiverUID() || uid.CFKeyedArchiverUIDGetValue() > unsigned(std::numeric_limits<int>::max()))
            return CFType();
        return objects.at(int(uid.CFKeyedArchiverUIDGetValue()));
    };
    if (rootIndex > unsigned(std::numeric_limits<int>::max()))
        return result;
    const CFType root = objects.at(int(rootIndex));
    const CFType keys = root.get(QStringLiteral("NS.keys"));
    const CFType values = root.get(QStringLiteral("NS.objects"));
    const long n = qMin(keys.array_size(), values.array_size());
    for (long i = 0; i < n; ++i) {
        const CFType key = object(keys.at(int(i)));
        const CFType value = object(values.at(int(i)));
        // Entries whose references lead nowhere are dropped, not invented.
        if (key.isNull() || value.isNull())
            continue;
        result.insert(key.CFStringQString(), clone(value));
    }
    return result;
}

// ---- accessors -------------------------------------------------------------------

QString CFType::CFStringQString() const {
    const auto* s = as<cf::String>(*this, Kind::String);
    return s ? s->text : QString();
}

long CFType::CFStringLength() const {
    const auto* s = as<cf::String>(*this, Kind::String);
    return s ? long(s->text.size()) : 0;
}

char CFType::CFNumberInt8(char def) const {
    signed char v = 0;
    return readInteger(as<cf::Number>(*this, Kind::Number), v) ? char(v) : def;
}

short CFType::CFNumberInt16(short def) const {
    short v = 0;
    return readInteger(as<cf::Number>(*this, Kind::Number), v) ? v : def;
}

int CFType::CFNumberInt(int def) const {
    int v = 0;
    return readInteger(as<cf::Number>(*this, Kind::Number), v) ? v : def;
}

long long CFType::CFNumberInt64(long long def) const {
    long long v = 0;
    return readInteger(as<cf::Number>(*this, Kind::Number), v) ? v : def;
}

unsigned long long CFType::CFNumberUInt64(unsigned long long def) const {
    const auto* n = as<cf::Number>(*this, Kind::Number);
    if (!n)
        return def;
    if (n->isBigUnsigned())
        return n->u();
    if (!n->isFloat())
        return n->i() < 0 ? def : static_cast<unsigned long long>(n->i());
    const double d = n->d();
    if (!std::isfinite(d) || d != std::trunc(d) || d < 0 || d >= 18446744073709551616.0)
        return def;
    return static_cast<unsigned long long>(d);
}

float CFType::CFNumberFloat(float def) const {
    float v = 0;
    return readFloat(as<cf::Number>(*this, Kind::Number), v) ? v : def;
}

double CFType::CFNumberDouble(double def) const {
    double v = 0;
    return readFloat(as<cf::Number>(*this, Kind::Number), v) ? v : def;
}

bool CFType::CFNumberBool(bool def) const {
    const auto* b = as<cf::Boolean>(*this, Kind::Boolean);
    return b ? b->value : def;
}

QByteArray CFType::CFDataBytes() const {
    const auto* d = as<cf::Data>(*this, Kind::Data);
    return d ? d->bytes : QByteArray();
}

long CFType::CFDataLength() const {
    const auto* d = as<cf::Data>(*this, Kind::Data);
    return d ? long(d->bytes.size()) : 0;
}

QDateTime CFType::CFDateToDateTime(const __CFTimeZone* zone) const {
    const auto* date = as<cf::Date>(*this, Kind::Date);
    if (!date)
        return {};
    return fieldsToLocal(date->absoluteTime, zone ? &zone->zone : nullptr, 0);
}

QDateTime CFType::CFDateToDateTime(const QString& zoneName) const {
    const auto* date = as<cf::Date>(*this, Kind::Date);
    if (!date)
        return {};
    if (zoneName.isEmpty())
        return fieldsToLocal(date->absoluteTime, nullptr, 0);
    // An unknown zone falls back to GMT.
    const QTimeZone zone = zoneNamed(zoneName);
    return fieldsToLocal(date->absoluteTime, zone.isValid() ? &zone : nullptr, 0);
}

QDateTime CFType::CFDateToDateTime(int secondsEastOfGmt) const {
    const auto* date = as<cf::Date>(*this, Kind::Date);
    if (!date)
        return {};
    return fieldsToLocal(date->absoluteTime, nullptr, secondsEastOfGmt);
}

double CFType::CFDateAbsoluteTime() const {
    const auto* date = as<cf::Date>(*this, Kind::Date);
    return date ? date->absoluteTime : 0;
}

unsigned long CFType::CFKeyedArchiverUIDGetValue() const {
    const auto* uid = as<cf::Uid>(*this, Kind::Uid);
    return uid ? static_cast<unsigned long>(uid->value) : 0;
}

long CFType::dict_size() const {
    const auto* d = as<cf::Dictionary>(*this, Kind::Dictionary);
    return d ? long(d->size()) : 0;
}

long CFType::array_size() const {
    const auto* a = as<cf::Array>(*this, Kind::Array);
    return a ? long(a->size()) : 0;
}

CFType CFType::get(const CFType& key) const {
    const auto* d = as<cf::Dictionary>(*this, Kind::Dictionary);
    const qsizetype i = d ? d->indexOf(obj(key)) : -1;
    return i < 0 ? CFType() : borrow(d->valueAt(i));
}

CFType CFType::get(const QString& key) const {
    const auto* d = as<cf::Dictionary>(*this, Kind::Dictionary);
    return d ? borrow(d->value(key)) : CFType();
}

QList<CFType> CFType::dict_keys() const {
    QList<CFType> keys;
    if (const auto* d = as<cf::Dictionary>(*this, Kind::Dictionary)) {
        keys.reserve(d->size());
        for (qsizetype i = 0; i < d->size(); ++i)
            keys.append(borrow(d->keyAt(i)));
    }
    return keys;
}

CFType CFType::at(int i) const {
    const auto* a = as<cf::Array>(*this, Kind::Array);
    if (!a || i < 0 || i >= a->size())
        return {};
    return borrow(a->at(i));
}

QString CFType::toString() const {
    const cf::Object* o = obj(*this);
    if (!o)
        return {};
    switch (o->kind()) {
    case Kind::String:
        return CFStringQString();
    case Kind::Number: {
        const auto* n = static_cast<const cf::Number*>(o);
        switch (n->width()) {
        case kCFNumberFloat32Type:
        case kCFNumberFloat64Type:
        case kCFNumberFloatType:
        case kCFNumberDoubleType:
            return QString::number(CFNumberDouble(0), 'g', 6);
        case kCFNumberSInt128Type:
            return n->isBigUnsigned() ? QString::number(n->u()) : QString::number(n->i());
        case kCFNumberSInt64Type:
        case kCFNumberLongType:
        case kCFNumberLongLongType:
        case kCFNumberCFIndexType:
            // long and CFIndex are 64-bit here: reading them as 32-bit would print 0
            // for values such as file sizes above 2 GiB.
            return QString::number(CFNumberInt64(0));
        default:
            return QString::number(CFNumberInt(0));
        }
    }
    case Kind::Boolean:
        return static_cast<const cf::Boolean*>(o)->value ? QStringLiteral("1") : QStringLiteral("0");
    case Kind::Date:
        return CFDateToDateTime(static_cast<const __CFTimeZone*>(nullptr)).toString();
    case Kind::Data:
        return QString::fromUtf8(CFDataBytes());
    case Kind::Uid:
        return QString::number(static_cast<const cf::Uid*>(o)->value);
    case Kind::Dictionary:
    case Kind::Array:
        break;
    }
    return {};
}

CFType CFType::CFPropertyListToData(long format) const {
    const QByteArray bytes = CFPropertyListToBytes(format);
    return bytes.isEmpty() ? CFType() : createCFData(bytes);
}

QHash<QString, CFType> CFType::NSKeyedArchiver() const {
    QHash<QString, CFType> result;
    if (!isCFDictionary())
        return result;
    const CFType objects = get(QStringLiteral("$objects"));
    if (!objects.isCFArray())
        return result;
    auto objectAt = [&objects](unsigned long index) {
        return index > unsigned(std::numeric_limits<int>::max()) ? CFType() : objects.at(int(index));
    };
    const CFType root = objectAt(get(QStringLiteral("$top")).get(QStringLiteral("root")).CFKeyedArchiverUIDGetValue());
    if (!root.isCFDictionary())
        return result;
    for (const CFType& key : root.dict_keys()) {
        const CFType value = root.get(key);
        // References are resolved one level only.
        result.insert(key.toString(),
                      value.isCFKeyedArchiverUID() ? objectAt(value.CFKeyedArchiverUIDGetValue()) : value);
    }
    return result;
}

// ---- mutators ---------------------------------------------------------------------

namespace {

cf::Dictionary* mutableDict(const CFType& value) {
    const auto* d = as<cf::Dictionary>(value, Kind::Dictionary);
    return d && d->isMutable ? const_cast<cf::Dictionary*>(d) : nullptr;
}

cf::Array* mutableArray(const CFType& value) {
    const auto* a = as<cf::Array>(value, Kind::Array);
    return a && a->isMutable ? const_cast<cf::Array*>(a) : nullptr;
}

} // namespace

CFType& CFType::put(const CFType& key, const CFType& value) {
    cf::Dictionary* d = mutableDict(*this);
    // A container put inside itself would never be freed and could not be
    // serialised: refused.
    if (d && obj(key) && obj(value) && !cf::reaches(obj(key), d) && !cf::reaches(obj(value), d))
        d->set(obj(key), obj(value));
    return *this;
}

CFType& CFType::put(const QString& key, const CFType& value) {
    return put(createCFString(key), value);
}

CFType& CFType::dict_replace(const CFType& key, const CFType& value) {
    cf::Dictionary* d = mutableDict(*this);
    if (d && d->indexOf(obj(key)) >= 0)
        put(key, value);
    return *this;
}

CFType& CFType::append(const CFType& item) {
    cf::Array* a = mutableArray(*this);
    if (a && obj(item) && !cf::reaches(obj(item), a))
        a->append(obj(item));
    return *this;
}

CFType& CFType::array_replace(int i, const CFType& item) {
    cf::Array* a = mutableArray(*this);
    if (!a || !obj(item) || i < 0 || i > a->size() || cf::reaches(obj(item), a))
        return *this;
    if (i == a->size())
        a->append(obj(item));
    else
        a->replace(i, obj(item));
    return *this;
}

bool CFType::equals(const CFType& other) const {
    return cf::equal(obj(*this), obj(other));
}
