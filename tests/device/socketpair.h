#pragma once

// A connected socket pair: the code under test uses `ours`, the test plays the peer.

#include <QByteArray>
#include <QtTest>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

struct SocketPair {
    int ours = -1, peer = -1;
    SocketPair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            ours = fds[0];
            peer = fds[1];
        }
    }
    ~SocketPair() {
        closePeer();
        ::close(ours);
    }
    void closePeer() { ::close(std::exchange(peer, -1)); } // closing -1 again is a harmless EBADF
    void feed(const QByteArray& bytes, bool thenClose = false) {
        QCOMPARE_EQ(::write(peer, bytes.constData(), bytes.size()), bytes.size());
        if (thenClose) {
            closePeer();
        }
    }
    // Everything the peer can read without waiting.
    QByteArray sent() const {
        QByteArray all;
        char buffer[65536];
        ssize_t n;
        while ((n = ::recv(peer, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
            all.append(buffer, n);
        }
        return all;
    }
};
