#pragma once

// Hands fuzz input to code that reads a descriptor: the bytes wait in a socket
// pair whose sending side is then shut, so the reader sees them and then end of
// file instead of waiting out a time-out. What the code sends back is drained
// on a thread, so a chatty reply never blocks it on a full buffer.

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

class FuzzPeer {
public:
    FuzzPeer(const uint8_t* data, size_t size) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_fd) != 0) {
            return;
        }
        // Input beyond what the buffer holds is cut off rather than waited for.
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::send(m_fd[0], data + done, size - done, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n <= 0) {
                break;
            }
            done += size_t(n);
        }
        ::shutdown(m_fd[0], SHUT_WR);
        m_drain = std::thread([fd = m_fd[0]] {
            char sink[4096];
            while (::read(fd, sink, sizeof sink) > 0) {
            }
        });
    }
    ~FuzzPeer() {
        if (m_fd[1] >= 0) {
            ::close(m_fd[1]);
        }
        if (m_drain.joinable()) {
            m_drain.join();
        }
        if (m_fd[0] >= 0) {
            ::close(m_fd[0]);
        }
    }
    FuzzPeer(const FuzzPeer&) = delete;
    FuzzPeer& operator=(const FuzzPeer&) = delete;

    bool valid() const { return m_fd[1] >= 0; }
    // The descriptor the code under test reads.
    int fd() const { return m_fd[1]; }
    // For code that closes the descriptor itself.
    int release() {
        const int fd = m_fd[1];
        m_fd[1] = -1;
        return fd;
    }

private:
    int m_fd[2] = {-1, -1};
    std::thread m_drain;
};
