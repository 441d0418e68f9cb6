#pragma once

// Checks made on property-list bytes before anything is decoded from them.
// Every byte from a device or a backup is hostile: these refuse what the
// decoder would misread (libplist trusts offsets, lengths and surrogates, and
// turns malformed XML scalars into 0 or the epoch) and bound nesting and size.

#include <QByteArray>
#include <QByteArrayView>
#include <QtEndian>
#include <QtGlobal>

namespace cf {

// Inputs above this size are refused before anything is allocated for them.
constexpr qsizetype kMaxInputBytes = 256 * 1024 * 1024;
// Most values one parse or serialisation may produce; bounds memory for
// inputs whose objects are shared many times over.
constexpr quint64 kMaxNodes = 8'000'000;

// The layout of a binary property list ("bplist00"): its trailer and the
// objects its offset table points at. Every read stays inside the bytes, which
// must outlive this view. Readers that walk the objects themselves (rather
// than through the general decoder) use it after isSound().
class BinaryPlist {
public:
    // Object kinds: the high nibble of an object's marker byte.
    enum Type : uchar {
        Simple = 0x0, // false, true
        Integer = 0x1,
        Real = 0x2,
        Date = 0x3,
        Data = 0x4,
        Ascii = 0x5,
        Utf16 = 0x6,
        Uid = 0x8,
        Array = 0xA,
        Dict = 0xD,
    };
    struct Object {
        uchar type = 0;
        uchar info = 0;     // low nibble of the marker
        quint64 pos = 0;    // payload, or a container's first reference
        quint64 length = 0; // bytes (data, ASCII), UTF-16 units, elements or pairs
        bool isContainer() const { return type == Array || type == Dict; }
        // References of a container: a dictionary's keys, then its values.
        quint64 refs() const { return type == Dict ? 2 * length : type == Array ? length : 0; }
    };

    explicit BinaryPlist(const QByteArray& bytes);

    // Magic, reference and offset sizes, object count and offset table all
    // within the bytes; nothing else can be read without it.
    bool hasSoundTrailer() const { return m_trailerOk; }
    quint64 top() const { return m_top; }
    quint64 count() const { return m_count; }
    // The object at an index of the offset table, its size within the object
    // area and its scalar contents well formed; false for anything else.
    // Objects a passed isSound() of a small list checked are not checked
    // twice: a manifest's record reader asks for each of them again.
    bool object(quint64 index, Object& out) const {
        if (m_checked && index < m_count && m_state[index] != 0) {
            const Checked& c = m_objects[index];
            out.type = c.type;
            out.info = c.info;
            out.pos = c.pos;
            out.length = c.length;
            return true;
        }
        return check(index, out);
    }
    // The i-th reference of a container described by object().
    quint64 ref(const Object& container, quint64 i) const { return uintAt(container.pos + i * m_refSize, m_refSize); }
    // n (at most 8) bytes at pos as a big-endian number; pos is trusted.
    // Inline: a large manifest reads millions, most of one byte.
    quint64 uintAt(quint64 pos, unsigned n) const { return bigEndian(m_p + pos, n); }
    static quint64 bigEndian(const uchar* p, unsigned n) {
        switch (n) {
        case 1:
            return p[0];
        case 2:
            return qFromBigEndian<quint16>(p);
        case 4:
            return qFromBigEndian<quint32>(p);
        case 8:
            return qFromBigEndian<quint64>(p);
        default:
            break;
        }
        quint64 v = 0;
        for (unsigned i = 0; i < n; ++i)
            v = (v << 8) | p[i];
        return v;
    }
    // The characters or bytes of a string or data object.
    QByteArrayView payload(const Object& o) const {
        return QByteArrayView(m_p + o.pos, qsizetype(o.type == Utf16 ? 2 * o.length : o.length));
    }
    // The whole graph from the top object: every object as object() wants it,
    // keys strings without NUL, no reference loops, nesting up to kMaxDepth
    // and at most kMaxNodes values once shared objects are expanded. Keeps
    // what it checked of a small list in this object: one thread at a time.
    bool isSound() const;

private:
    struct Frame;
    // An object as check() found it; no initialisers, so that a view costs
    // nothing until isSound() fills what it reaches.
    struct Checked {
        quint64 pos;
        quint64 length;
        uchar type;
        uchar info;
    };
    // Lists up to this many objects keep the walk's state here: allocating
    // it cost more than checking a manifest record.
    static constexpr quint64 kSmall = 128;

    bool check(quint64 index, Object& out) const;
    bool checkInto(quint64 index, Object& out) const;
    bool lengthAt(quint64& pos, uchar info, quint64& length) const;
    bool validUtf16(quint64 pos, quint64 units) const;
    bool walk(const Object& root, uchar* state, quint64* expanded, Checked* checked, Frame* stack,
              size_t stackRoom) const;

    const uchar* m_p;
    quint64 m_len;
    bool m_trailerOk = false;
    unsigned m_offSize = 0;
    unsigned m_refSize = 0;
    quint64 m_count = 0;
    quint64 m_top = 0;
    quint64 m_table = 0;
    // After isSound() passed on a small list: m_state[i] is non-zero for each
    // object it checked, and m_objects[i] is that object.
    mutable bool m_checked = false;
    mutable uchar m_state[kSmall];
    mutable quint64 m_expanded[kSmall];
    mutable Checked m_objects[kSmall];
};

// Whether bytes pass every check the property-list reader makes on a binary
// property list before decoding it, so that a specialised reader may walk them
// directly with BinaryPlist.
bool isSoundBinaryPlist(const QByteArray& bytes);

// The same for an XML property list: one root, known elements, keys paired
// with values, well-formed integers, reals, dates and data, bounded nesting.
bool isSoundXmlPlist(const QByteArray& bytes);

} // namespace cf
