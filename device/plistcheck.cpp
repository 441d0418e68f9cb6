#include "device/plistcheck.h"

#include "device/cfobject.h"

#include <QRegularExpression>
#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace cf {

// ---- binary -------------------------------------------------------------------

BinaryPlist::BinaryPlist(const QByteArray& bytes)
    : m_p(reinterpret_cast<const uchar*>(bytes.constData())), m_len(quint64(bytes.size())) {
    if (m_len < 8 + 2 + 32 || m_len > quint64(kMaxInputBytes) || std::memcmp(m_p, "bplist00", 8) != 0)
        return;
    const uchar* trailer = m_p + m_len - 32;
    m_offSize = trailer[6];
    m_refSize = trailer[7];
    m_count = uintAt(m_len - 24, 8);
    m_top = uintAt(m_len - 16, 8);
    m_table = uintAt(m_len - 8, 8);
    m_trailerOk = m_offSize >= 1 && m_offSize <= 8 && m_refSize >= 1 && m_refSize <= 8 && m_count > 0 &&
                  m_count <= kMaxNodes && m_top < m_count && m_table >= 9 && m_table <= m_len - 32 &&
                  m_count <= (m_len - 32 - m_table) / m_offSize;
}

// Length of a variable-size object: the low nibble, or a following integer.
inline bool BinaryPlist::lengthAt(quint64& pos, uchar info, quint64& length) const {
    if (info != 0xF) {
        length = info;
        return true;
    }
    if (pos >= m_table)
        return false;
    const uchar marker = m_p[pos];
    if ((marker >> 4) != Integer || (marker & 0xF) > 3)
        return false;
    const unsigned n = 1u << (marker & 0xF);
    if (pos + 1 + n > m_table)
        return false;
    length = uintAt(pos + 1, n);
    pos += 1 + n;
    return true;
}

// Surrogates only in pairs: libplist's converter trusts them.
bool BinaryPlist::validUtf16(quint64 pos, quint64 units) const {
    for (quint64 i = 0; i < units; ++i) {
        const quint64 u = uintAt(pos + 2 * i, 2);
        if (u >= 0xDC00 && u <= 0xDFFF)
            return false;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 >= units)
                return false;
            const quint64 low = uintAt(pos + 2 * (i + 1), 2);
            if (low < 0xDC00 || low > 0xDFFF)
                return false;
            ++i;
        }
    }
    return true;
}

bool BinaryPlist::check(quint64 index, Object& out) const {
    // Filled in a local: stores through out (its bytes may alias anything)
    // would make the compiler reload every member after each.
    Object o;
    const bool ok = checkInto(index, o);
    out = o;
    return ok;
}

// check() proper, inlined into the walk, where most objects are checked.
Q_ALWAYS_INLINE bool BinaryPlist::checkInto(quint64 index, Object& out) const {
    if (!m_trailerOk || index >= m_count)
        return false;
    const quint64 offset = uintAt(m_table + index * m_offSize, m_offSize);
    if (offset < 8 || offset >= m_table)
        return false;
    const uchar marker = m_p[offset];
    out.type = marker >> 4;
    out.info = marker & 0xF;
    quint64 pos = offset + 1;
    const quint64 room = m_table - pos;
    out.pos = pos;
    switch (out.type) {
    case Simple:
        return marker == 0x08 || marker == 0x09;
    case Integer:
        if (out.info > 4 || (1u << out.info) > room)
            return false;
        // 16-byte integers hold values up to 2^64-1 only: libplist keeps the low half.
        return out.info < 4 || uintAt(pos, 8) == 0;
    case Real:
        return (out.info == 2 || out.info == 3) && (1u << out.info) <= room;
    case Date: {
        if (marker != 0x33 || 8 > room)
            return false;
        // libplist casts the seconds to an integer: keep them finite and in range.
        const quint64 bits = uintAt(pos, 8);
        double at = 0;
        std::memcpy(&at, &bits, 8);
        return std::isfinite(at) && std::fabs(at) < 1e11;
    }
    case Uid:
        return out.info < 8 && quint64(out.info) + 1 <= room;
    case Data:
    case Ascii:
        if (!lengthAt(pos, out.info, out.length) || out.length > m_table - pos)
            return false;
        out.pos = pos;
        return true;
    case Utf16:
        if (!lengthAt(pos, out.info, out.length) || out.length > (m_table - pos) / 2)
            return false;
        out.pos = pos;
        return validUtf16(pos, out.length);
    case Array:
    case Dict: {
        if (!lengthAt(pos, out.info, out.length))
            return false;
        // No division: room is below kMaxInputBytes, so the product of a
        // length within it cannot overflow.
        const quint64 left = m_table - pos;
        const quint64 per = out.type == Dict ? 2 : 1;
        if (out.length > left || out.length * per * m_refSize > left)
            return false;
        out.pos = pos;
        return true;
    }
    default:
        return false;
    }
}

namespace {

// Keys are strings without NUL characters (libplist keeps keys as C strings).
bool validKey(const BinaryPlist& plist, const BinaryPlist::Object& o) {
    const QByteArrayView text = plist.payload(o);
    if (o.type == BinaryPlist::Ascii)
        return std::memchr(text.data(), 0, size_t(text.size())) == nullptr;
    if (o.type != BinaryPlist::Utf16)
        return false;
    for (qsizetype i = 0; i < text.size(); i += 2) {
        if (text[i] == 0 && text[i + 1] == 0)
            return false;
    }
    return true;
}

bool add(quint64& total, quint64 more) {
    total += more;
    return total <= kMaxNodes;
}

} // namespace

// A container on the path from the top: its references and where the walk is.
struct BinaryPlist::Frame {
    quint64 index;
    quint64 pos;   // first reference
    quint64 refs;  // references in all
    quint64 keys;  // the first ones that are a dictionary's keys
    quint64 next;  // the reference to follow next
    quint64 total; // values below, shared objects counted each time
};

bool BinaryPlist::isSound() const {
    m_checked = false;
    Object root;
    if (!check(m_top, root))
        return false;
    if (!root.isContainer())
        return true;
    // Objects on one path are distinct (a repeat is a loop), so the path is no
    // longer than the object count, nor than kMaxDepth + 1 containers.
    const size_t stackRoom = size_t(std::min<quint64>(m_count, quint64(kMaxDepth) + 1));
    if (m_count <= kSmall) {
        Frame stack[kSmall];
        std::memset(m_state, 0, size_t(m_count));
        m_objects[m_top] = Checked{root.pos, root.length, root.type, root.info};
        m_checked = walk(root, m_state, m_expanded, m_objects, stack, stackRoom);
        return m_checked;
    }
    std::vector<uchar> state(m_count);
    const std::unique_ptr<quint64[]> expanded(new quint64[m_count]);
    std::vector<Frame> stack(stackRoom);
    return walk(root, state.data(), expanded.get(), nullptr, stack.data(), stackRoom);
}

// Depth first without recursion; objects reached twice are counted with the
// size they expanded to the first time. state starts zeroed (0 unseen, 1 on
// the path, 2 done, 3 done and a key); expanded[i] is written whenever state[i]
// becomes 2 or 3 and read only after. checked, when given, receives each
// object checked. The container being walked is kept in a local, not on the
// stack, so that it stays in registers.
bool BinaryPlist::walk(const Object& root, uchar* state, quint64* expanded, Checked* checked, Frame* stack,
                       size_t stackRoom) const {
    const quint64 count = m_count;
    const unsigned refSize = m_refSize;
    const uchar* const p = m_p;
    size_t below = 0; // containers on the path above the current one, saved in stack
    Frame f{m_top, root.pos, root.refs(), root.type == Dict ? root.length : 0, 0, 1};
    state[m_top] = 1;
    while (true) {
        if (f.next == f.refs) {
            state[f.index] = 2;
            expanded[f.index] = f.total;
            if (below == 0)
                return true;
            const quint64 total = f.total;
            f = stack[--below];
            if (!add(f.total, total))
                return false;
            continue;
        }
        const bool isKey = f.next < f.keys;
        const quint64 child = bigEndian(p + f.pos + f.next * refSize, refSize);
        ++f.next;
        if (child >= count || state[child] == 1)
            return false; // outside the table, or a loop
        // An object checked before (as a key too, when it is one here) is
        // only counted again: writers share keys, numbers and UIDs.
        if (state[child] == 3 || (state[child] == 2 && !isKey)) {
            if (!add(f.total, expanded[child]))
                return false;
            continue;
        }
        Object o;
        if (!checkInto(child, o))
            return false;
        if (isKey && !validKey(*this, o))
            return false;
        if (checked)
            checked[child] = Checked{o.pos, o.length, o.type, o.info};
        if (state[child] == 2) {
            state[child] = 3;
            if (!add(f.total, expanded[child]))
                return false;
            continue;
        }
        if (!o.isContainer()) {
            state[child] = isKey ? 3 : 2;
            expanded[child] = 1;
            if (!add(f.total, 1))
                return false;
            continue;
        }
        // The path holds below + 1 containers, the child would be one more.
        if (below + 1 > size_t(kMaxDepth) || below + 1 >= stackRoom)
            return false;
        state[child] = 1;
        stack[below++] = f;
        f = Frame{child, o.pos, o.refs(), o.type == Dict ? o.length : 0, 0, 1};
    }
}

bool isSoundBinaryPlist(const QByteArray& bytes) {
    return BinaryPlist(bytes).isSound();
}

// ---- XML ------------------------------------------------------------------------

namespace {

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
                if (isContainer(t.name) && ++m_depth > kMaxDepth)
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

} // namespace

bool isSoundXmlPlist(const QByteArray& bytes) {
    if (bytes.isEmpty() || bytes.size() > kMaxInputBytes)
        return false;
    // Only markup may start the document (after a byte-order mark).
    qsizetype i = bytes.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    while (i < bytes.size() && (bytes[i] == ' ' || bytes[i] == '\t' || bytes[i] == '\r' || bytes[i] == '\n'))
        ++i;
    return i < bytes.size() && bytes[i] == '<' && XmlCheck(bytes).run();
}

} // namespace cf
