#pragma once

// The objects behind CFType: small reference-counted property-list values.
//
// Every object starts with one reference held by its creator. Containers
// retain their keys, values and elements and release them when destroyed.
// Reference counts are atomic; nothing else is locked, so one container must
// not be mutated from two threads at once. Releasing never recurses, so a
// chain of any depth can be freed without exhausting the stack.

#include <QByteArray>
#include <QList>
#include <QMultiHash>
#include <QString>
#include <QTimeZone>
#include <atomic>
#include <cstdint>

// The zone handed to CFType::CFDateToDateTime(const __CFTimeZone*).
struct __CFTimeZone {
    QTimeZone zone;
};

namespace cf {

// Deepest container nesting accepted anywhere (parsing, serialising,
// comparing); far beyond any real property list.
constexpr int kMaxDepth = 512;

enum class Kind : unsigned char {
    String = 1,
    Number = 2,
    Boolean = 3,
    Date = 4,
    Data = 5,
    Dictionary = 6,
    Array = 7,
    Uid = 8,
};

class Object {
public:
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    Kind kind() const { return m_kind; }
    // How many containers hold this object; reaches() skips its walk when none does.
    void noteParent(int delta) const { m_parents.fetch_add(delta, std::memory_order_relaxed); }
    bool hasParent() const { return m_parents.load(std::memory_order_relaxed) > 0; }

protected:
    explicit Object(Kind kind, bool immortal = false) : m_kind(kind), m_immortal(immortal) {}
    virtual ~Object() = default;
    // Hands each child reference to `drop` and forgets it (used while freeing).
    virtual void takeChildren(QList<const Object*>& drop) { Q_UNUSED(drop); }

private:
    friend const Object* retain(const Object* object);
    friend void release(const Object* object);
    mutable std::atomic<long> m_refs{1};
    mutable std::atomic<long> m_parents{0};
    const Kind m_kind;
    const bool m_immortal;
};

// Both return/accept null harmlessly.
const Object* retain(const Object* object);
void release(const Object* object);

class String final : public Object {
public:
    explicit String(const QString& text) : Object(Kind::String), text(text) {}
    const QString text;
};

class Number final : public Object {
public:
    // Integer widths hold `i` (or `u` for the unsigned 128-bit width used for
    // values above the signed 64-bit range); float widths hold `d`.
    static Number* fromInt(int width, qint64 value);
    static Number* fromUnsigned(quint64 value);
    static Number* fromFloat(int width, double value);
    bool isFloat() const { return m_float; }
    bool isBigUnsigned() const { return m_bigUnsigned; }
    int width() const { return m_width; }
    qint64 i() const { return m_i; }
    quint64 u() const { return m_u; }
    double d() const { return m_d; }
    double toDouble() const;

private:
    Number() : Object(Kind::Number) {}
    int m_width = 0;
    bool m_float = false;
    bool m_bigUnsigned = false;
    qint64 m_i = 0;
    quint64 m_u = 0;
    double m_d = 0;
};

class Boolean final : public Object {
public:
    // The two shared booleans; never freed, retain and release are no-ops.
    static const Boolean* get(bool value);
    const bool value;

private:
    explicit Boolean(bool value) : Object(Kind::Boolean, true), value(value) {}
};

// Seconds between the Unix epoch and 2001-01-01 00:00:00 GMT, where dates count from.
constexpr qint64 kAbsoluteTimeOffset = 978307200;

class Date final : public Object {
public:
    explicit Date(double absoluteTime) : Object(Kind::Date), absoluteTime(absoluteTime) {}
    const double absoluteTime; // seconds since 2001-01-01 00:00:00 GMT
};

class Data final : public Object {
public:
    explicit Data(const QByteArray& bytes) : Object(Kind::Data), bytes(bytes) {}
    const QByteArray bytes;
};

class Uid final : public Object {
public:
    explicit Uid(quint64 value) : Object(Kind::Uid), value(value) {}
    const quint64 value;
};

class Array final : public Object {
public:
    explicit Array(bool isMutable) : Object(Kind::Array), isMutable(isMutable) {}
    const bool isMutable;
    qsizetype size() const { return m_items.size(); }
    const Object* at(qsizetype i) const { return m_items.at(i); }
    // Each retains the item; the caller keeps its own reference.
    void append(const Object* item);
    void replace(qsizetype i, const Object* item);
    // Takes over a reference the caller holds.
    void appendAdopted(const Object* item);

protected:
    void takeChildren(QList<const Object*>& drop) override;

private:
    QList<const Object*> m_items;
};

class Dictionary final : public Object {
public:
    explicit Dictionary(bool isMutable) : Object(Kind::Dictionary), isMutable(isMutable) {}
    const bool isMutable;
    qsizetype size() const { return m_keys.size(); }
    // Pairs in insertion order, the dictionary's enumeration order.
    const Object* keyAt(qsizetype i) const { return m_keys.at(i); }
    const Object* valueAt(qsizetype i) const { return m_values.at(i); }
    qsizetype indexOf(const Object* key) const;
    qsizetype indexOf(const QString& key) const;
    const Object* value(const QString& key) const;
    // Retains both; an equal existing key keeps its place and gets the new value.
    void set(const Object* key, const Object* value);
    // Takes over the references the caller holds.
    void setAdopted(const Object* key, const Object* value);

protected:
    void takeChildren(QList<const Object*>& drop) override;

private:
    QList<const Object*> m_keys;
    QList<const Object*> m_values;
    QMultiHash<size_t, qsizetype> m_index;
};

// Deep equality: same kind and contents; numbers compare by value whatever
// their width (NaN equals NaN so that copies compare equal). Beyond kMaxDepth
// nesting it answers false.
bool equal(const Object* a, const Object* b);
// Consistent with equal() for the kinds used as keys.
size_t hashOf(const Object* object);
// Whether `target` is `root` or occurs anywhere inside it.
bool reaches(const Object* root, const Object* target);

} // namespace cf
