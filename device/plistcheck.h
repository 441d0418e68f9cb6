#pragma once

// Checks made on property-list bytes before anything is decoded from them.
// Every byte from a device or a backup is hostile: these refuse what the
// decoder would misread (libplist trusts offsets, lengths and surrogates, and
// turns malformed XML scalars into 0 or the epoch) and bound nesting and size.

#include <QByteArray>
#include <QByteArrayView>
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
    bool object(quint64 index, Object& out) const;
    // The i-th reference of a container described by object().
    quint64 ref(const Object& container, quint64 i) const { return uintAt(container.pos + i * m_refSize, m_refSize); }
    // n (at most 8) bytes at pos as a big-endian number; pos is trusted.
    quint64 uintAt(quint64 pos, unsigned n) const;
    // The characters or bytes of a string or data object.
    QByteArrayView payload(const Object& o) const {
        return QByteArrayView(m_p + o.pos, qsizetype(o.type == Utf16 ? 2 * o.length : o.length));
    }
    // The whole graph from the top object: every object as object() wants it,
    // keys strings without NUL, no reference loops, nesting up to kMaxDepth
    // and at most kMaxNodes values once shared objects are expanded.
    bool isSound() const;

private:
    bool lengthAt(quint64& pos, uchar info, quint64& length) const;
    bool validUtf16(quint64 pos, quint64 units) const;

    const uchar* m_p;
    quint64 m_len;
    bool m_trailerOk = false;
    unsigned m_offSize = 0;
    unsigned m_refSize = 0;
    quint64 m_count = 0;
    quint64 m_top = 0;
    quint64 m_table = 0;
};

// Whether bytes pass every check the property-list reader makes on a binary
// property list before decoding it, so that a specialised reader may walk them
// directly with BinaryPlist.
bool isSoundBinaryPlist(const QByteArray& bytes);

// The same for an XML property list: one root, known elements, keys paired
// with values, well-formed integers, reals, dates and data, bounded nesting.
bool isSoundXmlPlist(const QByteArray& bytes);

} // namespace cf
