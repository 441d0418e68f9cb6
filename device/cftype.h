#pragma once

// Property-list values.
//
// A CFType is a cheap-to-copy handle to one reference-counted property-list
// object (see cfobject.h). Copies share the object. Containers keep the
// wrappers of everything put into them alive as long as the container wrapper
// lives. Serialisation goes through libplist (XML 1.0 = format 100, binary
// "bplist00" = format 200); libplist never appears in this header.
//
// Sources: cftype.cpp (the value model), plistcodec.cpp (libplist encoding,
// decoding and nodes), plistcheck.h (checks on hostile bytes before decoding).

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMap>
#include <QString>
#include <memory>

struct __CFTimeZone;

// Kinds reported by CFType::typeId(); the null kind is reported by an empty handle.
enum CFTypeKind : unsigned long {
    kCFTypeNull = 0,
    kCFTypeString = 1,
    kCFTypeNumber = 2,
    kCFTypeBoolean = 3,
    kCFTypeDate = 4,
    kCFTypeData = 5,
    kCFTypeDictionary = 6,
    kCFTypeArray = 7,
    kCFTypeKeyedArchiverUID = 8,
};

// Stored widths of numbers (the classic number type codes).
enum CFNumberWidth : int {
    kCFNumberSInt8Type = 1,
    kCFNumberSInt16Type = 2,
    kCFNumberSInt32Type = 3,
    kCFNumberSInt64Type = 4,
    kCFNumberFloat32Type = 5,
    kCFNumberFloat64Type = 6,
    kCFNumberCharType = 7,
    kCFNumberShortType = 8,
    kCFNumberIntType = 9,
    kCFNumberLongType = 10,
    kCFNumberLongLongType = 11,
    kCFNumberFloatType = 12,
    kCFNumberDoubleType = 13,
    kCFNumberCFIndexType = 14,
    // Integers above the signed 64-bit range (up to 2^64-1), as parsed plists hold them.
    kCFNumberSInt128Type = 17,
};

enum CFPropertyListFormat : long {
    kCFPropertyListXMLFormat_v1_0 = 100,
    kCFPropertyListBinaryFormat_v1_0 = 200,
};

// Sole owner of one object reference: drops it when destroyed.
class CFTypePrivacy {
public:
    // owned == false: the reference is borrowed, so an extra one is taken.
    CFTypePrivacy(const void* ref, bool owned);
    ~CFTypePrivacy();
    CFTypePrivacy(const CFTypePrivacy&) = delete;
    CFTypePrivacy& operator=(const CFTypePrivacy&) = delete;
    const void* p() const { return m_ref; }

private:
    const void* m_ref;
};

class CFType {
public:
    // owned == true adopts a reference the caller holds; false retains.
    CFType(const void* ref = nullptr, bool owned = true);
    CFType(const CFType& other);
    CFType& operator=(const CFType& other);
    virtual ~CFType();

    const void* ref() const;
    unsigned long typeId() const;
    bool isNull() const { return ref() == nullptr; }
    bool isCFString() const;
    bool isCFNumber() const;
    bool isCFBoolean() const;
    bool isCFDate() const;
    bool isCFData() const;
    bool isCFDictionary() const;
    bool isCFArray() const;
    bool isCFKeyedArchiverUID() const;
    // The stored width of a number (CFNumberWidth), 0 when not a number.
    int numberType() const;
    // Whether put/append (dictionaries, arrays) take effect.
    bool isMutable() const;

    // Factories.
    static CFType createCFBoolean(bool value);
    static CFType createCFNumberInt8(char value);
    static CFType createCFNumberInt16(short value);
    static CFType createCFNumberInt32(int value);
    static CFType createCFNumberInt64(long long value);
    // Values above the signed 64-bit range get the width kCFNumberSInt128Type.
    static CFType createCFNumberUInt64(unsigned long long value);
    static CFType createCFNumberFloat(float value);
    static CFType createCFNumberDouble(double value);
    static CFType createCFNumberCFIndex(long value);
    static CFType createCFString(const QString& text);
    static CFType createCFData(const QByteArray& bytes);
    static CFType createCFDate(const QDateTime& time);
    // Seconds since 2001-01-01 00:00:00 GMT, fractions kept; null when not finite.
    static CFType createCFDateFromAbsoluteTime(double absoluteTime);
    static CFType createCFDictionary();
    static CFType createCFDictionary(const QList<CFType>& keys, const QList<CFType>& values);
    static CFType createCFDictionaryCreateMutableCopy(const CFType& dictionary);
    static CFType createCFArray();
    static CFType createCFArray(const QList<CFType>& items);
    static CFType createCFKeyedArchiverUID(long value);
    // XML or binary, detected from the bytes; null on any failure, including
    // malformed scalars, more than 256 MiB, nesting deeper than 512 or more
    // than 8 million values once shared objects are expanded.
    static CFType createCFPropertyList(const QByteArray& bytes);
    static CFType createCFPropertyListFromFile(const QString& path);
    static CFType clone(const CFType& value);
    // Whether a dictionary key names a secret (a password, passcode, key, token...):
    // the helper protocol's field labels "AMS...Key" do not, unless the rest does.
    static bool isSecretKeyName(const QString& name);
    // A copy fit for a log: the value of every secret key, at any depth, blanked.
    static CFType withSecretsBlanked(const CFType& value);
    static CFType createNSDictionaryStringCFType(const QHash<QString, CFType>& hash, bool mutableClass);
    static QHash<QString, CFType> parseNSDictionaryStringCFType(const CFType& archive);

    // Bridge to the device framework's value representation (libplist nodes).
    // fromPlistNode copies a borrowed node; toPlistNode returns a new node the
    // caller frees with plist_free (null for the null value).
    static CFType fromPlistNode(const void* plistNode);
    void* toPlistNode() const;

    // Accessors: each gives its default (or 0, empty, null) when the value is not of the kind.
    // Integer reads give the default for fractions, NaN and values outside the
    // type; float reads round to the nearest value and give the default only
    // outside the type's range.
    QString CFStringQString() const;
    long CFStringLength() const;
    char CFNumberInt8(char def = 0) const;
    short CFNumberInt16(short def = 0) const;
    int CFNumberInt(int def = 0) const;
    long long CFNumberInt64(long long def = 0) const;
    // Any non-negative integral number up to 2^64-1.
    unsigned long long CFNumberUInt64(unsigned long long def = 0) const;
    float CFNumberFloat(float def = 0) const;
    double CFNumberDouble(double def = 0) const;
    bool CFNumberBool(bool def = false) const;
    QByteArray CFDataBytes() const;
    long CFDataLength() const;
    QDateTime CFDateToDateTime(const __CFTimeZone* zone = nullptr) const;
    QDateTime CFDateToDateTime(const QString& zoneName) const;
    QDateTime CFDateToDateTime(int secondsEastOfGmt) const;
    // Seconds since 2001-01-01 00:00:00 GMT, 0 when not a date.
    double CFDateAbsoluteTime() const;
    unsigned long CFKeyedArchiverUIDGetValue() const;
    long dict_size() const;
    long array_size() const;
    CFType get(const CFType& key) const;
    CFType get(const QString& key) const;
    QList<CFType> dict_keys() const;
    CFType at(int i) const;
    QString toString() const;
    CFType CFPropertyListToData(long format) const;
    QByteArray CFPropertyListToBytes(long format) const;
    QHash<QString, CFType> NSKeyedArchiver() const;

    // Mutators: no-ops unless this is a mutable dictionary / array; return *this.
    CFType& put(const CFType& key, const CFType& value);
    CFType& put(const QString& key, const CFType& value);
    CFType& dict_replace(const CFType& key, const CFType& value);
    CFType& append(const CFType& item);
    CFType& array_replace(int i, const CFType& item);

    // Deep structural equality (kind, width-insensitive numeric value, contents).
    bool equals(const CFType& other) const;

private:
    // The objects themselves retain what is put into them, so no wrapper of a
    // child has to be kept here.
    std::shared_ptr<CFTypePrivacy> d;
};

Q_DECLARE_METATYPE(CFType)
