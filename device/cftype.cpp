#include "device/cftype.h"

#include "device/cfobject.h"

#include <QFile>
#include <QRegularExpression>
#include <QTimeZone>
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <plist/plist.h>
#include <vector>

namespace {

using cf::Kind;

// Seconds between the Unix epoch and 2001-01-01 00:00:00 GMT.
constexpr qint64 kAbsoluteTimeOffset = 978307200;
// Inputs above this size are refused before anything is allocated for them.
constexpr qsizetype kMaxInputBytes = 256 * 1024 * 1024;
// Most values one parse or serialisation may produce; bounds memory for
// inputs whose objects are shared many times over.
constexpr quint64 kMaxNodes = 8'000'000;

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

// ---- libplist bridge --------------------------------------------------------

struct Budget {
    quint64 nodes = 0;
    // libplist's binary reader keeps the fraction of a negative date as a
    // positive count of microseconds next to the seconds cut toward zero.
    bool binaryDates = false;
    bool spend() { return ++nodes <= kMaxNodes; }
};

QByteArray nodeXml(plist_t node) {
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    QByteArray text(xml, xml ? qsizetype(length) : 0);
    if (xml)
        plist_to_xml_free(xml);
    return text;
}

// A root node parsed from one XML element; for the values libplist's
// constructors cannot express (integers above 2^63-1, dates outside 32-bit seconds).
plist_t nodeFromXmlElement(const QByteArray& element) {
    const QByteArray doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">" + element + "</plist>";
    plist_t node = nullptr;
    plist_from_xml(doc.constData(), uint32_t(doc.size()), &node);
    return node;
}

const cf::Object* fromNode(plist_t node, int depth, Budget& budget);

const cf::Object* integerFromNode(plist_t node) {
    uint64_t value = 0;
    plist_get_uint_val(node, &value);
    if (value <= uint64_t(std::numeric_limits<qint64>::max()))
        return cf::Number::fromInt(kCFNumberSInt64Type, qint64(value));
    // libplist keeps one 64-bit word plus a private width flag: only its
    // text form tells a negative number from one above 2^63-1.
    if (nodeXml(node).contains("<integer>-"))
        return cf::Number::fromInt(kCFNumberSInt64Type, qint64(value));
    return cf::Number::fromUnsigned(value);
}

const cf::Object* dateFromNode(plist_t node, bool binaryDates) {
    int32_t sec = 0;
    int32_t usec = 0;
    plist_get_date_val(node, &sec, &usec);
    double at = double(sec) + double(usec) / 1e6;
    if (binaryDates && sec < 0)
        at = double(sec) - double(usec) / 1e6;
    // The accessor cuts seconds to 32 bits; the text form has them whole.
    const QByteArray xml = nodeXml(node);
    const qsizetype open = xml.indexOf("<date>");
    const qsizetype close = xml.indexOf("</date>");
    if (open >= 0 && close > open) {
        const QString text = QString::fromLatin1(xml.mid(open + 6, close - open - 6));
        const QDateTime whole = QDateTime::fromString(text, Qt::ISODate);
        if (whole.isValid()) {
            const qint64 secs = whole.toSecsSinceEpoch() - kAbsoluteTimeOffset;
            if (secs != qint64(std::floor(at)) && secs != qint64(sec))
                at = double(secs);
        }
    }
    return new cf::Date(at);
}

const cf::Object* dictFromNode(plist_t node, int depth, Budget& budget) {
    // A lone "CF$UID" integer is how XML spells a keyed-archiver UID.
    if (plist_dict_get_size(node) == 1) {
        plist_t uid = plist_dict_get_item(node, "CF$UID");
        if (uid && plist_get_node_type(uid) == PLIST_UINT) {
            uint64_t value = 0;
            plist_get_uint_val(uid, &value);
            return new cf::Uid(value);
        }
    }
    auto* dict = new cf::Dictionary(false);
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(node, &it);
    bool ok = it != nullptr;
    while (ok) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, it, &key, &value);
        if (!key) {
            break;
        }
        const cf::Object* k = budget.spend() ? new cf::String(QString::fromUtf8(key)) : nullptr;
        std::free(key);
        const cf::Object* v = k && value ? fromNode(value, depth + 1, budget) : nullptr;
        if (!v) {
            cf::release(k);
            ok = false;
            break;
        }
        dict->setAdopted(k, v);
    }
    std::free(it);
    if (!ok) {
        cf::release(dict);
        return nullptr;
    }
    return dict;
}

const cf::Object* fromNode(plist_t node, int depth, Budget& budget) {
    if (!node || depth > cf::kMaxDepth || !budget.spend())
        return nullptr;
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return cf::Boolean::get(value != 0);
    }
    case PLIST_UINT:
        return integerFromNode(node);
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return cf::Number::fromFloat(kCFNumberFloat64Type, value);
    }
    case PLIST_STRING: {
        // The pointer form keeps embedded NULs (the copying accessor asserts on them).
        uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        if (length > uint64_t(kMaxInputBytes))
            return nullptr;
        return new cf::String(QString::fromUtf8(text, text ? qsizetype(length) : 0));
    }
    case PLIST_DATE:
        return dateFromNode(node, budget.binaryDates);
    case PLIST_DATA: {
        char* bytes = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &bytes, &length);
        if (length > uint64_t(kMaxInputBytes)) {
            std::free(bytes);
            return nullptr;
        }
        const QByteArray data(bytes, bytes ? qsizetype(length) : 0);
        std::free(bytes);
        return new cf::Data(data);
    }
    case PLIST_UID: {
        uint64_t value = 0;
        plist_get_uid_val(node, &value);
        return new cf::Uid(value);
    }
    case PLIST_ARRAY: {
        // The iterator walks the children in order; indexing would rescan
        // them from the start for every element of a parsed binary array.
        auto* array = new cf::Array(false);
        plist_array_iter it = nullptr;
        plist_array_new_iter(node, &it);
        bool ok = it != nullptr;
        for (uint32_t i = 0, n = plist_array_get_size(node); ok && i < n; ++i) {
            plist_t child = nullptr;
            plist_array_next_item(node, it, &child);
            const cf::Object* item = fromNode(child, depth + 1, budget);
            if (!item)
                ok = false;
            else
                array->appendAdopted(item);
        }
        std::free(it);
        if (!ok) {
            cf::release(array);
            return nullptr;
        }
        return array;
    }
    case PLIST_DICT:
        return dictFromNode(node, depth, budget);
    case PLIST_KEY: // only inside dictionaries
    case PLIST_NONE:
        break;
    }
    return nullptr;
}

plist_t dateNode(double at, bool wholeSeconds) {
    if (!std::isfinite(at))
        return nullptr;
    double secs = std::floor(at);
    double usec = wholeSeconds ? 0 : std::round((at - secs) * 1e6);
    if (usec >= 1e6) {
        secs += 1;
        usec = 0;
    }
    if (secs >= double(std::numeric_limits<int32_t>::min()) && secs <= double(std::numeric_limits<int32_t>::max()))
        return plist_new_date(int32_t(secs), int32_t(usec));
    // Outside 32-bit seconds only the text form reaches libplist (whole seconds).
    if (std::fabs(secs) > 1e12)
        return nullptr;
    const QDateTime t = QDateTime::fromSecsSinceEpoch(qint64(secs) + kAbsoluteTimeOffset, Qt::UTC);
    if (!t.isValid() || t.date().year() < 1 || t.date().year() > 9999)
        return nullptr;
    return nodeFromXmlElement("<date>" + t.toString(Qt::ISODate).toLatin1() + "</date>");
}

// A new tree for `o`, null when it cannot be expressed as a property list
// (non-string keys, nesting or size beyond the limits).
plist_t toNode(const cf::Object* o, bool forXml, int depth, Budget& budget) {
    if (!o || depth > cf::kMaxDepth || !budget.spend())
        return nullptr;
    switch (o->kind()) {
    case Kind::String: {
        // libplist holds C strings: refuse rather than cut a string at a NUL.
        const QString& text = static_cast<const cf::String*>(o)->text;
        return text.contains(QChar(0)) ? nullptr : plist_new_string(text.toUtf8().constData());
    }
    case Kind::Number: {
        auto* n = static_cast<const cf::Number*>(o);
        if (n->isFloat())
            return plist_new_real(n->d());
        if (n->isBigUnsigned())
            return nodeFromXmlElement("<integer>" + QByteArray::number(n->u()) + "</integer>");
        return plist_new_uint(uint64_t(n->i()));
    }
    case Kind::Boolean:
        return plist_new_bool(static_cast<const cf::Boolean*>(o)->value ? 1 : 0);
    case Kind::Date:
        return dateNode(static_cast<const cf::Date*>(o)->absoluteTime, forXml);
    case Kind::Data: {
        const QByteArray& bytes = static_cast<const cf::Data*>(o)->bytes;
        return plist_new_data(bytes.constData(), uint64_t(bytes.size()));
    }
    case Kind::Uid:
        return plist_new_uid(static_cast<const cf::Uid*>(o)->value);
    case Kind::Array: {
        auto* a = static_cast<const cf::Array*>(o);
        plist_t node = plist_new_array();
        for (qsizetype i = 0; i < a->size(); ++i) {
            plist_t item = toNode(a->at(i), forXml, depth + 1, budget);
            if (!item) {
                plist_free(node);
                return nullptr;
            }
            plist_array_append_item(node, item);
        }
        return node;
    }
    case Kind::Dictionary: {
        auto* d = static_cast<const cf::Dictionary*>(o);
        plist_t node = plist_new_dict();
        for (qsizetype i = 0; i < d->size(); ++i) {
            const cf::Object* key = d->keyAt(i);
            const bool goodKey =
                key->kind() == Kind::String && !static_cast<const cf::String*>(key)->text.contains(QChar(0));
            plist_t value = goodKey ? toNode(d->valueAt(i), forXml, depth + 1, budget) : nullptr;
            if (!value) {
                plist_free(node);
                return nullptr;
            }
            plist_dict_set_item(node, static_cast<const cf::String*>(key)->text.toUtf8().constData(), value);
        }
        return node;
    }
    }
    return nullptr;
}

// ---- hostile-input checks before libplist sees the bytes ---------------------

quint64 bigEndian(const uchar* at, unsigned n) {
    quint64 v = 0;
    for (unsigned i = 0; i < n; ++i)
        v = (v << 8) | at[i];
    return v;
}

// Walks a binary plist's object graph without building anything: every
// offset and length inside the data, known object types, string keys, no
// reference loops, bounded nesting and a bounded number of values once shared
// objects are expanded.
class BinaryCheck {
public:
    explicit BinaryCheck(const QByteArray& bytes)
        : m_p(reinterpret_cast<const uchar*>(bytes.constData())), m_len(quint64(bytes.size())) {}

    bool run() {
        if (m_len < 8 + 2 + 32 || std::memcmp(m_p, "bplist00", 8) != 0)
            return false;
        const uchar* trailer = m_p + m_len - 32;
        m_offSize = trailer[6];
        m_refSize = trailer[7];
        m_count = bigEndian(trailer + 8, 8);
        const quint64 top = bigEndian(trailer + 16, 8);
        m_table = bigEndian(trailer + 24, 8);
        if (m_offSize < 1 || m_offSize > 8 || m_refSize < 1 || m_refSize > 8)
            return false;
        if (m_count == 0 || m_count > kMaxNodes || top >= m_count)
            return false;
        if (m_table < 9 || m_table > m_len - 32 || m_count > (m_len - 32 - m_table) / m_offSize)
            return false;
        m_state.assign(m_count, 0);
        m_expanded.assign(m_count, 0);
        return walk(top);
    }

private:
    struct Object {
        quint64 refsAt = 0;  // position of the first reference
        quint64 refs = 0;    // number of references (keys then values for dicts)
        quint64 keys = 0;    // how many of them are dictionary keys
        quint64 payload = 0; // strings: position and size of the characters
        quint64 bytes = 0;
        bool container = false;
        uchar type = 0;
    };
    struct Frame {
        quint64 index;
        Object object;
        quint64 next = 0;
        quint64 total = 1;
    };

    bool offsetOf(quint64 index, quint64& offset) const {
        offset = bigEndian(m_p + m_table + index * m_offSize, m_offSize);
        return offset >= 8 && offset < m_table;
    }

    // Length of a variable-size object: the low nibble, or a following integer.
    bool lengthAt(quint64& pos, uchar info, quint64& length) const {
        if (info != 0xF) {
            length = info;
            return true;
        }
        if (pos >= m_table)
            return false;
        const uchar marker = m_p[pos];
        if ((marker >> 4) != 0x1 || (marker & 0xF) > 3)
            return false;
        const unsigned n = 1u << (marker & 0xF);
        if (pos + 1 + n > m_table)
            return false;
        length = bigEndian(m_p + pos + 1, n);
        pos += 1 + n;
        return true;
    }

    bool describe(quint64 index, Object& out) const {
        quint64 offset = 0;
        if (!offsetOf(index, offset))
            return false;
        const uchar marker = m_p[offset];
        const uchar type = marker >> 4;
        const uchar info = marker & 0xF;
        quint64 pos = offset + 1;
        const quint64 room = m_table - pos;
        out = Object{};
        out.type = type;
        quint64 length = 0;
        switch (type) {
        case 0x0:
            return marker == 0x08 || marker == 0x09;
        case 0x1:
            if (info > 4 || (1u << info) > room)
                return false;
            // 16-byte integers hold values up to 2^64-1 only: libplist keeps the low half.
            return info < 4 || bigEndian(m_p + pos, 8) == 0;
        case 0x2:
            return (info == 2 || info == 3) && (1u << info) <= room;
        case 0x3: {
            if (marker != 0x33 || 8 > room)
                return false;
            // libplist casts the seconds to an integer: keep them finite and in range.
            const quint64 bits = bigEndian(m_p + pos, 8);
            double at = 0;
            std::memcpy(&at, &bits, 8);
            return std::isfinite(at) && std::fabs(at) < 1e11;
        }
        case 0x8:
            return info < 8 && quint64(info) + 1 <= room;
        case 0x4:
        case 0x5:
            if (!lengthAt(pos, info, length) || length > m_table - pos)
                return false;
            out.payload = pos;
            out.bytes = length;
            return true;
        case 0x6:
            if (!lengthAt(pos, info, length) || length > (m_table - pos) / 2)
                return false;
            out.payload = pos;
            out.bytes = length * 2;
            return validUtf16(pos, length);
        case 0xA:
        case 0xD: {
            if (!lengthAt(pos, info, length))
                return false;
            const quint64 per = type == 0xD ? 2 : 1;
            if (length > (m_table - pos) / m_refSize / per)
                return false;
            out.container = true;
            out.refsAt = pos;
            out.refs = length * per;
            out.keys = type == 0xD ? length : 0;
            return true;
        }
        default:
            return false;
        }
    }

    bool walk(quint64 top) {
        std::vector<Frame> stack;
        Object root;
        if (!describe(top, root))
            return false;
        if (!root.container)
            return true;
        stack.push_back(Frame{top, root});
        m_state[top] = 1;
        while (!stack.empty()) {
            Frame& f = stack.back();
            if (f.next == f.object.refs) {
                const quint64 total = f.total;
                m_state[f.index] = 2;
                m_expanded[f.index] = total;
                stack.pop_back();
                if (!stack.empty() && !add(stack.back().total, total))
                    return false;
                continue;
            }
            const bool isKey = f.next < f.object.keys;
            const quint64 child = bigEndian(m_p + f.object.refsAt + f.next * m_refSize, m_refSize);
            ++f.next;
            if (child >= m_count || m_state[child] == 1)
                return false; // outside the table, or a loop
            Object o;
            if (!describe(child, o))
                return false;
            if (isKey && !validKey(o))
                return false;
            if (m_state[child] == 2) {
                if (!add(f.total, m_expanded[child]))
                    return false;
                continue;
            }
            if (!o.container) {
                m_state[child] = 2;
                m_expanded[child] = 1;
                if (!add(f.total, 1))
                    return false;
                continue;
            }
            if (stack.size() > size_t(cf::kMaxDepth))
                return false;
            m_state[child] = 1;
            stack.push_back(Frame{child, o}); // invalidates f
        }
        return true;
    }

    // Surrogates only in pairs: libplist's converter trusts them.
    bool validUtf16(quint64 pos, quint64 units) const {
        for (quint64 i = 0; i < units; ++i) {
            const quint64 u = bigEndian(m_p + pos + 2 * i, 2);
            if (u >= 0xDC00 && u <= 0xDFFF)
                return false;
            if (u >= 0xD800 && u <= 0xDBFF) {
                if (i + 1 >= units)
                    return false;
                const quint64 low = bigEndian(m_p + pos + 2 * (i + 1), 2);
                if (low < 0xDC00 || low > 0xDFFF)
                    return false;
                ++i;
            }
        }
        return true;
    }

    // Keys are strings without NUL characters (libplist keeps keys as C strings).
    bool validKey(const Object& o) const {
        if (o.type == 0x5)
            return std::memchr(m_p + o.payload, 0, o.bytes) == nullptr;
        if (o.type != 0x6)
            return false;
        for (quint64 i = 0; i < o.bytes; i += 2) {
            if (m_p[o.payload + i] == 0 && m_p[o.payload + i + 1] == 0)
                return false;
        }
        return true;
    }

    static bool add(quint64& total, quint64 more) {
        total += more;
        return total <= kMaxNodes;
    }

    const uchar* m_p;
    quint64 m_len;
    unsigned m_offSize = 0;
    unsigned m_refSize = 0;
    quint64 m_count = 0;
    quint64 m_table = 0;
    std::vector<uchar> m_state; // 0 unseen, 1 on the current path, 2 done
    std::vector<quint64> m_expanded;
};

// Checks the structure and the scalar texts of an XML plist before libplist
// reads it: libplist turns malformed numbers, dates and data into 0, the
// epoch or nothing, and reads values past a dictionary key without its value.
// Also bounds nesting and the number of elements.
class XmlCheck {
public:
    explicit XmlCheck(const QByteArray& bytes) : m_b(bytes) {}

    bool run() {
        bool sawRoot = false;
        while (true) {
            Token t;
            if (!next(t))
                return false;
            if (t.kind == Token::End)
                return sawRoot && m_stack.empty();
            if (t.kind == Token::Text) {
                if (!isBlank(t.text) && !(!m_stack.empty() && isTextual(m_stack.back().name)))
                    return false;
                if (!m_stack.empty())
                    m_stack.back().text += t.text;
                continue;
            }
            if (t.kind == Token::Open) {
                if (++m_elements > kMaxNodes)
                    return false;
                if (m_stack.empty()) {
                    if (sawRoot)
                        return false; // a second root
                    sawRoot = true;
                    if (t.name == "plist") {
                        m_stack.push_back(Frame{t.name, {}, 0, false});
                        if (t.selfClosing)
                            return false;
                        continue;
                    }
                } else if (!childAllowed(m_stack.back(), t.name)) {
                    return false;
                }
                if (!isValueName(t.name) && t.name != "key")
                    return false;
                m_stack.push_back(Frame{t.name, {}, 0, false});
                if (isContainer(t.name) && ++m_depth > cf::kMaxDepth)
                    return false;
                if (t.selfClosing && !close(t.name))
                    return false;
                continue;
            }
            // Closing tag.
            if (m_stack.empty() || m_stack.back().name != t.name || !close(t.name))
                return false;
        }
    }

private:
    struct Token {
        enum Kind { Open, Close, Text, End } kind = End;
        QByteArray name;
        QByteArray text;
        bool selfClosing = false;
    };
    struct Frame {
        QByteArray name;
        QByteArray text;
        qsizetype children = 0;
        bool awaitingValue = false; // dict: a key was read, its value not yet
    };

    static bool isContainer(const QByteArray& n) { return n == "dict" || n == "array"; }
    static bool isTextual(const QByteArray& n) {
        return n == "string" || n == "key" || n == "integer" || n == "real" || n == "date" || n == "data";
    }
    static bool isValueName(const QByteArray& n) {
        return isContainer(n) || isTextual(n) || n == "true" || n == "false";
    }
    static bool isBlank(const QByteArray& s) {
        for (char c : s) {
            if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
                return false;
        }
        return true;
    }

    static bool childAllowed(Frame& parent, const QByteArray& name) {
        if (parent.name == "plist")
            return parent.children++ == 0 && name != "key";
        if (parent.name == "array")
            return name != "key";
        if (parent.name == "dict") {
            const bool isKey = name == "key";
            if (isKey == parent.awaitingValue)
                return false; // two keys in a row, or a value without a key
            parent.awaitingValue = isKey;
            return true;
        }
        return false; // scalars hold text only
    }

    bool close(const QByteArray& name) {
        const Frame f = m_stack.back();
        m_stack.pop_back();
        if (isContainer(name))
            --m_depth;
        if (name == "dict" && f.awaitingValue)
            return false;
        if (name == "plist")
            return f.children == 1;
        return validText(name, f.text.trimmed());
    }

    static bool validText(const QByteArray& name, const QByteArray& text) {
        if (name == "true" || name == "false")
            return text.isEmpty();
        if (name == "integer") {
            QByteArray digits = text;
            const bool negative = digits.startsWith('-');
            if (negative || digits.startsWith('+'))
                digits = digits.mid(1);
            bool ok = false;
            quint64 v = 0;
            if (digits.startsWith("0x") || digits.startsWith("0X"))
                v = digits.mid(2).toULongLong(&ok, 16);
            else if (!digits.isEmpty() &&
                     std::all_of(digits.cbegin(), digits.cend(), [](char c) { return c >= '0' && c <= '9'; }))
                v = digits.toULongLong(&ok, 10);
            return ok && (!negative || v <= quint64(1) << 63);
        }
        if (name == "real") {
            const QByteArray lower = text.toLower();
            if (lower == "nan" || lower == "inf" || lower == "+inf" || lower == "-inf" || lower == "infinity" ||
                lower == "+infinity" || lower == "-infinity")
                return true;
            bool ok = false;
            text.toDouble(&ok);
            return ok || (!text.isEmpty() && isFiniteOverflow(text));
        }
        if (name == "date") {
            static const QRegularExpression iso(
                QStringLiteral("^-?\\d{4,}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}(\\.\\d+)?Z$"));
            return iso.match(QString::fromLatin1(text)).hasMatch();
        }
        if (name == "data") {
            for (char c : text) {
                const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '+' || c == '/' || c == '=' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
                if (!ok)
                    return false;
            }
            return true;
        }
        return true; // string, key
    }

    // QByteArray::toDouble refuses out-of-range values that strtod turns into
    // infinities or zero; those are still numbers.
    static bool isFiniteOverflow(const QByteArray& text) {
        char* end = nullptr;
        std::strtod(text.constData(), &end);
        return end == text.constData() + text.size();
    }

    bool skipPast(const char* end) {
        const qsizetype at = m_b.indexOf(end, m_i);
        if (at < 0)
            return false;
        m_i = at + qsizetype(std::strlen(end));
        return true;
    }

    bool next(Token& t) {
        const qsizetype n = m_b.size();
        const char* p = m_b.constData();
        while (m_i < n) {
            if (p[m_i] != '<') {
                const qsizetype lt = m_b.indexOf('<', m_i);
                const qsizetype end = lt < 0 ? n : lt;
                t = Token{Token::Text, {}, m_b.mid(m_i, end - m_i), false};
                m_i = end;
                return true;
            }
            const QByteArrayView rest = QByteArrayView(p + m_i, n - m_i);
            if (rest.startsWith("<!--")) {
                if (!skipPast("-->"))
                    return false;
                continue;
            }
            if (rest.startsWith("<![CDATA[")) {
                const qsizetype start = m_i + 9;
                if (!skipPast("]]>"))
                    return false;
                t = Token{Token::Text, {}, m_b.mid(start, m_i - 3 - start), false};
                return true;
            }
            if (rest.startsWith("<?") || rest.startsWith("<!")) {
                if (!skipPast(">"))
                    return false;
                continue;
            }
            const bool closing = rest.startsWith("</");
            const qsizetype nameStart = m_i + (closing ? 2 : 1);
            qsizetype nameEnd = nameStart;
            while (nameEnd < n && p[nameEnd] != '>' && p[nameEnd] != '/' && p[nameEnd] != ' ' && p[nameEnd] != '\t' &&
                   p[nameEnd] != '\r' && p[nameEnd] != '\n')
                ++nameEnd;
            const qsizetype gt = m_b.indexOf('>', nameEnd);
            if (gt < 0 || nameEnd == nameStart)
                return false;
            t = Token{closing ? Token::Close : Token::Open,
                      m_b.mid(nameStart, nameEnd - nameStart),
                      {},
                      !closing && p[gt - 1] == '/'};
            m_i = gt + 1;
            return true;
        }
        t = Token{};
        return true;
    }

    const QByteArray& m_b;
    qsizetype m_i = 0;
    quint64 m_elements = 0;
    int m_depth = 0;
    std::vector<Frame> m_stack;
};

const cf::Object* parse(const QByteArray& bytes) {
    if (bytes.isEmpty() || bytes.size() > kMaxInputBytes)
        return nullptr;
    plist_t root = nullptr;
    if (bytes.startsWith("bplist")) {
        if (!BinaryCheck(bytes).run())
            return nullptr;
        plist_from_bin(bytes.constData(), uint32_t(bytes.size()), &root);
    } else {
        // XML: only markup may start the document (after a byte-order mark).
        qsizetype i = bytes.startsWith("\xEF\xBB\xBF") ? 3 : 0;
        while (i < bytes.size() && (bytes[i] == ' ' || bytes[i] == '\t' || bytes[i] == '\r' || bytes[i] == '\n'))
            ++i;
        if (i >= bytes.size() || bytes[i] != '<' || !XmlCheck(bytes).run())
            return nullptr;
        plist_from_xml(bytes.constData(), uint32_t(bytes.size()), &root);
    }
    if (!root)
        return nullptr;
    Budget budget;
    budget.binaryDates = bytes.startsWith("bplist");
    const cf::Object* result = fromNode(root, 0, budget);
    plist_free(root);
    return result;
}

// Values in the tree once shared objects are expanded, counted without
// building it; kMaxNodes + 1 when beyond the limit or too deep.
quint64 expandedSize(const cf::Object* o, int depth, QHash<const cf::Object*, quint64>& memo) {
    if (!o || depth > cf::kMaxDepth)
        return kMaxNodes + 1;
    if (o->kind() != Kind::Array && o->kind() != Kind::Dictionary)
        return 1;
    const auto known = memo.constFind(o);
    if (known != memo.cend())
        return known.value();
    quint64 total = 1;
    if (o->kind() == Kind::Array) {
        auto* a = static_cast<const cf::Array*>(o);
        for (qsizetype i = 0; i < a->size() && total <= kMaxNodes; ++i)
            total += expandedSize(a->at(i), depth + 1, memo);
    } else {
        auto* d = static_cast<const cf::Dictionary*>(o);
        for (qsizetype i = 0; i < d->size() && total <= kMaxNodes; ++i)
            total += 1 + expandedSize(d->valueAt(i), depth + 1, memo);
    }
    total = qMin(total, kMaxNodes + 1);
    memo.insert(o, total);
    return total;
}

bool withinLimits(const cf::Object* o) {
    QHash<const cf::Object*, quint64> memo;
    return expandedSize(o, 0, memo) <= kMaxNodes;
}

QByteArray serialise(const cf::Object* o, long format) {
    if (!o || (format != kCFPropertyListXMLFormat_v1_0 && format != kCFPropertyListBinaryFormat_v1_0) ||
        !withinLimits(o))
        return {};
    Budget budget;
    plist_t node = toNode(o, format == kCFPropertyListXMLFormat_v1_0, 0, budget);
    if (!node)
        return {};
    char* out = nullptr;
    uint32_t length = 0;
    QByteArray bytes;
    if (format == kCFPropertyListXMLFormat_v1_0) {
        plist_to_xml(node, &out, &length);
        if (out) {
            bytes = QByteArray(out, qsizetype(length));
            plist_to_xml_free(out);
        }
    } else {
        plist_to_bin(node, &out, &length);
        if (out) {
            bytes = QByteArray(out, qsizetype(length));
            plist_to_bin_free(out);
        }
    }
    plist_free(node);
    return bytes;
}

} // namespace

bool cf::isSoundBinaryPlist(const QByteArray& bytes) {
    return !bytes.isEmpty() && bytes.size() <= kMaxInputBytes && bytes.startsWith("bplist") && BinaryCheck(bytes).run();
}

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

CFType CFType::createCFPropertyList(const QByteArray& bytes) {
    return adopt(parse(bytes));
}

CFType CFType::createCFPropertyListFromFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    if (file.size() > kMaxInputBytes)
        return {};
    // In chunks up to the cap: special files report no size.
    QByteArray bytes;
    bytes.reserve(qsizetype(file.size()));
    while (bytes.size() <= kMaxInputBytes) {
        const QByteArray chunk = file.read(1024 * 1024);
        if (chunk.isEmpty())
            break;
        bytes += chunk;
    }
    if (bytes.size() > kMaxInputBytes)
        return {};
    return createCFPropertyList(bytes);
}

CFType CFType::clone(const CFType& value) {
    return createCFPropertyList(value.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0));
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

CFType CFType::fromPlistNode(const void* plistNode) {
    Budget budget;
    return adopt(fromNode(const_cast<void*>(plistNode), 0, budget));
}

void* CFType::toPlistNode() const {
    if (!withinLimits(obj(*this)))
        return nullptr;
    Budget budget;
    return toNode(obj(*this), false, 0, budget);
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

QByteArray CFType::CFPropertyListToBytes(long format) const {
    return serialise(obj(*this), format);
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
