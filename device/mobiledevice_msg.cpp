#include "device/mobiledevice_msg.h"

#include <QtEndian>
#include <cerrno>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>

namespace {

// Waits until the socket is ready for `events`; false on a time-out or error.
bool waitReady(int fd, short events, int timeout) {
    pollfd p{fd, events, 0};
    for (;;) {
        const int r = ::poll(&p, 1, timeout < 1 ? -1 : timeout);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        // Readiness includes hang-up and error: the following call reports them.
        return r > 0;
    }
}

// The call is tried first and waited for only when it would block: a poll before
// every send and receive doubled the system calls of each message.
template <typename Io>
int transferAll(unsigned int socket, int length, int timeout, short events, Io io) {
    if (length < 1) {
        return 0;
    }
    const int fd = static_cast<int>(socket);
    int done = 0;
    while (done < length) {
        ssize_t n;
        do {
            n = io(fd, done, length - done);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitReady(fd, events, timeout)) {
                break;
            }
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<int>(n);
    }
    return done;
}

QString xmlExcerpt(const CFType& message) {
    return QString::fromUtf8(message.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0)).left(800);
}

[[noreturn]] void failRecv(const QString& text, const CFType& lastSent) {
    QString message = text;
    if (!lastSent.isNull()) {
        message += QLatin1Char('\n') + xmlExcerpt(lastSent);
    }
    throw std::runtime_error(message.toStdString());
}

} // namespace

int mobiledevice_send_all(unsigned int socket, char const* data, int length, int timeout) {
    return transferAll(socket, length, timeout, POLLOUT, [data](int fd, int offset, int remaining) {
        // No SIGPIPE: a device that went away is an error to report, not a reason to die.
        return ::send(fd, data + offset, static_cast<size_t>(remaining), MSG_NOSIGNAL | MSG_DONTWAIT);
    });
}

int mobiledevice_recv_all(unsigned int socket, char* buffer, int length, int timeout) {
    return transferAll(socket, length, timeout, POLLIN, [buffer](int fd, int offset, int remaining) {
        return ::recv(fd, buffer + offset, static_cast<size_t>(remaining), MSG_DONTWAIT);
    });
}

void mobiledevice_sendmsg(unsigned int socket, CFType message, bool binary, int timeout) {
    const QByteArray payload =
        message.CFPropertyListToBytes(binary ? kCFPropertyListBinaryFormat_v1_0 : kCFPropertyListXMLFormat_v1_0);
    if (payload.isEmpty()) {
        return;
    }
    char prefix[4];
    qToBigEndian<quint32>(static_cast<quint32>(payload.size()), prefix);
    if (mobiledevice_send_all(socket, prefix, 4, timeout) < 4) {
        throw std::runtime_error(
            QStringLiteral("mobiledevice_sendmsg(msg-length) error.\n%1").arg(xmlExcerpt(message)).toStdString());
    }
    if (mobiledevice_send_all(socket, payload.constData(), static_cast<int>(payload.size()), timeout) !=
        payload.size()) {
        throw std::runtime_error(
            QStringLiteral("mobiledevice_sendmsg(msg) error.\n%1").arg(xmlExcerpt(message)).toStdString());
    }
}

CFType mobiledevice_recmsg(unsigned int socket, CFType lastSent, int timeout) {
    char prefix[4];
    const int got = mobiledevice_recv_all(socket, prefix, 4, kMobileDeviceLengthTimeout);
    if (got < 4) {
        failRecv(QStringLiteral("mobiledevice_recmsg(msg-length) error, received length: %1.").arg(got), lastSent);
    }
    const quint32 length = qFromBigEndian<quint32>(prefix);
    if (length == 0) {
        return CFType();
    }
    if (length > static_cast<quint32>(kMobileDeviceMaxMessageLength)) {
        failRecv(QStringLiteral("mobiledevice_recmsg(msg) error, received length: 0."), lastSent);
    }
    QByteArray payload(static_cast<qsizetype>(length), Qt::Uninitialized);
    const int received = mobiledevice_recv_all(socket, payload.data(), static_cast<int>(length), timeout);
    if (received != static_cast<int>(length)) {
        failRecv(QStringLiteral("mobiledevice_recmsg(msg) error, received length: %1.").arg(received), lastSent);
    }
    return CFType::createCFPropertyList(payload);
}
