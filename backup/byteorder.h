#pragma once

// The one place where the backup store turns stored bytes into integers.
// Every format here (keybag TLV, "Manifest.mbdb") is big-endian.

#include <QByteArray>
#include <QtEndian>
#include <optional>

namespace byteorder {

// Reads a big-endian T at offset, or nothing when the bytes do not reach.
template <typename T>
std::optional<T> readBigEndian(const QByteArray& bytes, qsizetype offset) {
    if (offset < 0 || offset > bytes.size() || bytes.size() - offset < static_cast<qsizetype>(sizeof(T))) {
        return std::nullopt;
    }
    return qFromBigEndian<T>(bytes.constData() + offset);
}

template <typename T>
QByteArray toBigEndian(T value) {
    QByteArray out(sizeof(T), Qt::Uninitialized);
    qToBigEndian<T>(value, out.data());
    return out;
}

} // namespace byteorder
