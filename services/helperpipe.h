#pragma once

// The backup helper's side of the pipe the program drives it through: each
// message is a native-endian int32 length, then that many bytes of an XML
// property list. Header-only, so that both helpers (the simulator's and the
// one for real phones) use it without linking the program's libraries.

#include <QByteArray>
#include <cerrno>
#include <cstdint>
#include <unistd.h>

namespace helperpipe {

// Far above any request or reply; a larger length is a broken or hostile peer.
inline constexpr int32_t kMaxMessage = 16 * 1024 * 1024;

inline bool readAll(int fd, char* buf, size_t n) {
    while (n > 0) {
        const ssize_t r = ::read(fd, buf, n);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        buf += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

inline bool writeAll(int fd, const char* buf, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, buf, n);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            return false;
        }
        buf += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// The next message's bytes; empty at the end of the pipe, on a read error or a length out of range.
inline QByteArray readFrame(int fd) {
    int32_t length = 0;
    if (!readAll(fd, reinterpret_cast<char*>(&length), sizeof length) || length <= 0 || length > kMaxMessage) {
        return {};
    }
    QByteArray body(length, Qt::Uninitialized);
    return readAll(fd, body.data(), static_cast<size_t>(length)) ? body : QByteArray();
}

inline bool writeFrame(int fd, const char* data, size_t size) {
    const auto length = static_cast<int32_t>(size);
    return size > 0 && size <= static_cast<size_t>(kMaxMessage) &&
           writeAll(fd, reinterpret_cast<const char*>(&length), sizeof length) && writeAll(fd, data, size);
}

} // namespace helperpipe
