#include "device/cfobject.h"

#include <QHashFunctions>
#include <QSet>
#include <cmath>
#include <limits>
#include <utility>

namespace cf {

const Object* retain(const Object* object) {
    if (object && !object->m_immortal)
        object->m_refs.fetch_add(1, std::memory_order_relaxed);
    return object;
}

void release(const Object* object) {
    if (!object || object->m_immortal)
        return;
    if (object->m_refs.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    // Free with a work list instead of recursion: nesting depth is unbounded
    // for values built by hand.
    QList<const Object*> dead{object};
    QList<const Object*> children;
    while (!dead.isEmpty()) {
        Object* current = const_cast<Object*>(dead.takeLast());
        children.clear();
        current->takeChildren(children);
        delete current;
        for (const Object* child : std::as_const(children)) {
            if (child)
                child->noteParent(-1);
            if (child && !child->m_immortal && child->m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
                dead.append(child);
        }
    }
}

Number* Number::fromInt(int width, qint64 value) {
    auto* n = new Number;
    n->m_width = width;
    n->m_i = value;
    n->m_u = static_cast<quint64>(value);
    return n;
}

Number* Number::fromUnsigned(quint64 value) {
    if (value <= quint64(std::numeric_limits<qint64>::max()))
        return fromInt(4 /* kCFNumberSInt64Type */, qint64(value));
    auto* n = new Number;
    n->m_width = 17; // kCFNumberSInt128Type
    n->m_bigUnsigned = true;
    n->m_u = value;
    return n;
}

Number* Number::fromFloat(int width, double value) {
    auto* n = new Number;
    n->m_width = width;
    n->m_float = true;
    n->m_d = value;
    return n;
}

double Number::toDouble() const {
    if (m_float)
        return m_d;
    if (m_bigUnsigned)
        return double(m_u);
    return double(m_i);
}

const Boolean* Boolean::get(bool value) {
    static const Boolean* const yes = new Boolean(true);
    static const Boolean* const no = new Boolean(false);
    return value ? yes : no;
}

void Array::append(const Object* item) {
    appendAdopted(retain(item));
}

void Array::appendAdopted(const Object* item) {
    item->noteParent(1);
    m_items.append(item);
}

void Array::replace(qsizetype i, const Object* item) {
    const Object* old = m_items.at(i);
    item->noteParent(1);
    m_items[i] = retain(item);
    old->noteParent(-1);
    release(old);
}

void Array::takeChildren(QList<const Object*>& drop) {
    drop.append(m_items);
    m_items.clear();
}

qsizetype Dictionary::indexOf(const Object* key) const {
    if (!key)
        return -1;
    const size_t h = hashOf(key);
    for (auto it = m_index.constFind(h); it != m_index.cend() && it.key() == h; ++it) {
        if (equal(m_keys.at(it.value()), key))
            return it.value();
    }
    return -1;
}

qsizetype Dictionary::indexOf(const QString& key) const {
    const size_t h = qHash(key);
    for (auto it = m_index.constFind(h); it != m_index.cend() && it.key() == h; ++it) {
        const Object* k = m_keys.at(it.value());
        if (k->kind() == Kind::String && static_cast<const String*>(k)->text == key)
            return it.value();
    }
    return -1;
}

const Object* Dictionary::value(const QString& key) const {
    const qsizetype i = indexOf(key);
    return i < 0 ? nullptr : m_values.at(i);
}

void Dictionary::set(const Object* key, const Object* value) {
    setAdopted(retain(key), retain(value));
}

void Dictionary::setAdopted(const Object* key, const Object* value) {
    const qsizetype i = indexOf(key);
    value->noteParent(1);
    if (i >= 0) {
        const Object* old = m_values.at(i);
        m_values[i] = value;
        old->noteParent(-1);
        release(old);
        release(key);
        return;
    }
    key->noteParent(1);
    m_index.insert(hashOf(key), m_keys.size());
    m_keys.append(key);
    m_values.append(value);
}

void Dictionary::takeChildren(QList<const Object*>& drop) {
    drop.append(m_keys);
    drop.append(m_values);
    m_keys.clear();
    m_values.clear();
    m_index.clear();
}

namespace {

bool sameNumber(const Number* a, const Number* b) {
    if (!a->isFloat() && !b->isFloat()) {
        if (a->isBigUnsigned() != b->isBigUnsigned())
            return false;
        return a->isBigUnsigned() ? a->u() == b->u() : a->i() == b->i();
    }
    const double x = a->toDouble();
    const double y = b->toDouble();
    if (std::isnan(x) && std::isnan(y))
        return true;
    return x == y;
}

bool equalAt(const Object* a, const Object* b, int depth) {
    if (a == b)
        return true;
    if (!a || !b || a->kind() != b->kind() || depth > kMaxDepth)
        return false;
    switch (a->kind()) {
    case Kind::String:
        return static_cast<const String*>(a)->text == static_cast<const String*>(b)->text;
    case Kind::Number:
        return sameNumber(static_cast<const Number*>(a), static_cast<const Number*>(b));
    case Kind::Boolean:
        return static_cast<const Boolean*>(a)->value == static_cast<const Boolean*>(b)->value;
    case Kind::Date:
        return static_cast<const Date*>(a)->absoluteTime == static_cast<const Date*>(b)->absoluteTime;
    case Kind::Data:
        return static_cast<const Data*>(a)->bytes == static_cast<const Data*>(b)->bytes;
    case Kind::Uid:
        return static_cast<const Uid*>(a)->value == static_cast<const Uid*>(b)->value;
    case Kind::Array: {
        auto* x = static_cast<const Array*>(a);
        auto* y = static_cast<const Array*>(b);
        if (x->size() != y->size())
            return false;
        for (qsizetype i = 0; i < x->size(); ++i) {
            if (!equalAt(x->at(i), y->at(i), depth + 1))
                return false;
        }
        return true;
    }
    case Kind::Dictionary: {
        auto* x = static_cast<const Dictionary*>(a);
        auto* y = static_cast<const Dictionary*>(b);
        if (x->size() != y->size())
            return false;
        for (qsizetype i = 0; i < x->size(); ++i) {
            const qsizetype j = y->indexOf(x->keyAt(i));
            if (j < 0 || !equalAt(x->valueAt(i), y->valueAt(j), depth + 1))
                return false;
        }
        return true;
    }
    }
    return false;
}

} // namespace

bool equal(const Object* a, const Object* b) {
    return equalAt(a, b, 0);
}

size_t hashOf(const Object* object) {
    if (!object)
        return 0;
    const size_t kind = size_t(object->kind());
    switch (object->kind()) {
    case Kind::String:
        return qHash(static_cast<const String*>(object)->text);
    case Kind::Number: {
        auto* n = static_cast<const Number*>(object);
        if (n->isBigUnsigned())
            return qHash(n->u());
        if (!n->isFloat())
            return qHash(n->i());
        // Integral floats hash like the equal integer.
        const double d = n->d();
        if (std::isnan(d))
            return 0x7ff8;
        if (d >= -9.2e18 && d <= 9.2e18 && d == std::trunc(d))
            return qHash(qint64(d));
        return qHash(d);
    }
    case Kind::Boolean:
        return kind * 31 + (static_cast<const Boolean*>(object)->value ? 1 : 0);
    case Kind::Date:
        return qHash(static_cast<const Date*>(object)->absoluteTime);
    case Kind::Data:
        return qHash(static_cast<const Data*>(object)->bytes);
    case Kind::Uid:
        return kind * 31 + qHash(static_cast<const Uid*>(object)->value);
    case Kind::Array:
        return kind * 31 + size_t(static_cast<const Array*>(object)->size());
    case Kind::Dictionary:
        return kind * 31 + size_t(static_cast<const Dictionary*>(object)->size());
    }
    return kind;
}

bool reaches(const Object* root, const Object* target) {
    if (!root || !target)
        return false;
    if (root == target)
        return true;
    if ((target->kind() != Kind::Array && target->kind() != Kind::Dictionary) || !target->hasParent())
        return false;
    QSet<const Object*> seen;
    QList<const Object*> todo{root};
    while (!todo.isEmpty()) {
        const Object* o = todo.takeLast();
        if (o == target)
            return true;
        if (seen.contains(o))
            continue;
        seen.insert(o);
        if (o->kind() == Kind::Array) {
            auto* a = static_cast<const Array*>(o);
            for (qsizetype i = 0; i < a->size(); ++i)
                todo.append(a->at(i));
        } else if (o->kind() == Kind::Dictionary) {
            auto* d = static_cast<const Dictionary*>(o);
            for (qsizetype i = 0; i < d->size(); ++i) {
                todo.append(d->keyAt(i));
                todo.append(d->valueAt(i));
            }
        }
    }
    return false;
}

} // namespace cf
