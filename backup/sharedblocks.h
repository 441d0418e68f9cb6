#pragma once

// Many short texts of a large manifest kept in a few large blocks.

#include <QByteArray>
#include <QString>
#include <algorithm>
#include <type_traits>

// Hands out QByteArray (or QString) values that point into large blocks, each
// value holding a reference on its block the way copies of one QByteArray
// share their bytes: a record copied or kept anywhere keeps its bytes alive,
// and a manifest of many records costs no allocation per field. Every value is
// NUL-terminated like any other; changing one copies it out first (its block
// is shared), as it would any shared value.
template <typename Text>
class SharedBlocks {
public:
    using DataPointer = typename Text::DataPointer;
    using Char = std::remove_pointer_t<decltype(std::declval<DataPointer&>().data())>;

    // Room for up to n characters (and the terminating NUL); finish with commit.
    Char* reserve(qsizetype n) {
        if (n >= kLongText) {
            m_long = Text(n, Qt::Uninitialized);
            return reinterpret_cast<Char*>(m_long.data());
        }
        if (n + 1 > m_left) {
            m_block = Text(kBlockSize, Qt::Uninitialized);
            // The only write access to the block, while nothing shares it yet.
            m_next = reinterpret_cast<Char*>(m_block.data());
            m_left = kBlockSize;
        }
        return m_next;
    }
    // The n characters written at reserve(n') (n <= n') as a value.
    Text commit(qsizetype n) {
        if (!m_long.isNull()) {
            m_long.truncate(n);
            return std::exchange(m_long, Text());
        }
        Char* at = m_next;
        at[n] = Char(0);
        m_next += n + 1;
        m_left -= n + 1;
        auto* block = m_block.data_ptr().d_ptr();
        block->ref();
        return Text(DataPointer(block, at, n));
    }
    Text copy(const Char* text, qsizetype n) {
        std::copy_n(text, n, reserve(n));
        return commit(n);
    }

private:
    static constexpr qsizetype kBlockSize = 64 * 1024;
    static constexpr qsizetype kLongText = kBlockSize / 16; // its own allocation wastes less of a block

    Text m_block;
    Text m_long;
    Char* m_next = nullptr;
    qsizetype m_left = 0;
};
