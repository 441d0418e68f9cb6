#include "sim/framework/simlink.h"

#include <cerrno>
#include <deque>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace sim {

bool sendAll(int fd, const char* data, size_t len) {
    while (len > 0) {
        const ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

namespace {

// Bytes held on the wire at most before the sender is made to wait: well above
// what 35 MB/s carries in a round trip, so the rate, not this, sets the pace.
constexpr size_t kWireBytes = 1u << 20;
constexpr size_t kChunk = 64u * 1024;

struct Ends {
    Ends(int program, int device) : program(program), device(device) {}
    Ends(const Ends&) = delete;
    Ends& operator=(const Ends&) = delete;
    int program; // the relay's side of the program's socket pair
    int device;  // the program's former end of the device's socket pair
    ~Ends() {
        ::close(program);
        ::close(device);
    }
};

// Carries one direction until its sender closes. When the receiver has gone the
// bytes are still read and dropped, so the sender never meets a broken pipe.
// Both directions hold the ends; the last one to finish closes them.
void pump(const std::shared_ptr<Ends>& ends, bool towardsDevice, LinkSettings settings) {
    const int from = towardsDevice ? ends->program : ends->device;
    const int to = towardsDevice ? ends->device : ends->program;
    using Clock = LinkClock::Clock;
    struct Piece {
        Clock::time_point due;
        std::string bytes;
    };
    LinkClock clock(settings);
    std::deque<Piece> wire;
    size_t onWire = 0;
    bool senderDone = false;
    bool receiverGone = false;
    std::string buffer(kChunk, '\0');
    while (!senderDone || !wire.empty()) {
        const Clock::time_point now = Clock::now();
        while (!wire.empty() && wire.front().due <= now) {
            if (!receiverGone && !sendAll(to, wire.front().bytes.data(), wire.front().bytes.size())) {
                receiverGone = true;
            }
            onWire -= wire.front().bytes.size();
            wire.pop_front();
        }
        if (senderDone && wire.empty()) {
            break;
        }
        pollfd pfd{from, static_cast<short>(!senderDone && onWire < kWireBytes ? POLLIN : 0), 0};
        timespec wait{};
        timespec* timeout = nullptr;
        if (!wire.empty()) {
            const auto left = std::max(Clock::duration::zero(), wire.front().due - Clock::now());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            wait.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
            wait.tv_nsec = static_cast<long>(ns % 1'000'000'000);
            timeout = &wait;
        }
        const int ready = ::ppoll(&pfd, pfd.events ? 1 : 0, timeout, nullptr);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready <= 0 || !(pfd.revents & (POLLIN | POLLHUP | POLLERR))) {
            continue;
        }
        const ssize_t n = ::recv(from, buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            senderDone = true;
            continue;
        }
        const size_t len = static_cast<size_t>(n);
        wire.push_back({clock.due(Clock::now(), len, true), buffer.substr(0, len)});
        onWire += len;
    }
    ::shutdown(to, SHUT_WR);
}

} // namespace

int relayOverLink(int programEnd, LinkSettings settings) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        ::close(programEnd);
        return -1;
    }
    auto ends = std::make_shared<Ends>(fds[1], programEnd);
    try {
        std::thread([ends, settings] { pump(ends, true, settings); }).detach();
        std::thread([ends, settings] { pump(ends, false, settings); }).detach();
    } catch (const std::system_error&) {
        ::close(fds[0]);
        return -1; // a thread that did start ends on its own once the program closes
    }
    return fds[0];
}

} // namespace sim
