// The bridge between property-list values and libplist: its XML and binary
// codecs read and write every encoding, and its nodes are the device
// framework's representation. Bytes reach libplist only after the checks of
// plistcheck.h.

#include "device/cfobject.h"
#include "device/cftype.h"
#include "device/plistcheck.h"

#include <QFile>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <plist/plist.h>

namespace {

using cf::kAbsoluteTimeOffset;
using cf::Kind;
using cf::kMaxInputBytes;
using cf::kMaxNodes;

const cf::Object* obj(const CFType& value) {
    return static_cast<const cf::Object*>(value.ref());
}

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
    // The binary reader refuses dates from 1e11 seconds on (plistcheck.cpp): never write one it cannot read back.
    if (!wholeSeconds && std::fabs(secs) >= 1e11)
        return nullptr;
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

const cf::Object* parse(const QByteArray& bytes) {
    plist_t root = nullptr;
    const bool binary = bytes.startsWith("bplist");
    if (binary) {
        if (!cf::isSoundBinaryPlist(bytes))
            return nullptr;
        plist_from_bin(bytes.constData(), uint32_t(bytes.size()), &root);
    } else {
        if (!cf::isSoundXmlPlist(bytes))
            return nullptr;
        plist_from_xml(bytes.constData(), uint32_t(bytes.size()), &root);
    }
    if (!root)
        return nullptr;
    Budget budget;
    budget.binaryDates = binary;
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

CFType CFType::createCFPropertyList(const QByteArray& bytes) {
    return CFType(parse(bytes), true);
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

QByteArray CFType::CFPropertyListToBytes(long format) const {
    return serialise(obj(*this), format);
}

CFType CFType::fromPlistNode(const void* plistNode) {
    Budget budget;
    return CFType(fromNode(const_cast<void*>(plistNode), 0, budget), true);
}

void* CFType::toPlistNode() const {
    if (!withinLimits(obj(*this)))
        return nullptr;
    Budget budget;
    return toNode(obj(*this), false, 0, budget);
}
