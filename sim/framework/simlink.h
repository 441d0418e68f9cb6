#pragma once

// The cable between the program and a simulated device. Without it the
// simulator answers over a socket pair at memory speed, so a benchmark would
// measure our own per-message overhead instead of what a user waits for.
//
// device.plist Sim.Link (off when absent or zero):
//   RoundTripUs     microseconds every message waits on the wire, summed over
//                   the request and its reply (half in each direction)
//   BytesPerSecond  what one direction carries at most
// USB 2.0 as a phone uses it: a request answered in roughly half a millisecond
// (the 125 us micro-frame schedule plus the device's turnaround on both ends)
// and bulk transfers that top out near 35 MB/s of the 60 MB/s signalling rate
// once protocol framing and the device's own storage are paid. So the
// benchmarks default to RoundTripUs 500 and BytesPerSecond 35000000.
//
// Messages in flight overlap on the wire, as on the cable: a message that
// arrives at time t is delivered at t + RoundTripUs / 2 or when the bytes
// before it have left at the link's rate, whichever is later.

#include "sim/framework/simstore.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>

namespace sim {

// Sends all of data on a stream socket, again after a signal; false once the peer has gone.
bool sendAll(int fd, const char* data, size_t len);

struct LinkSettings {
    int64_t roundTripUs = 0;
    int64_t bytesPerSecond = 0; // 0: unlimited

    bool on() const { return roundTripUs > 0 || bytesPerSecond > 0; }

    static LinkSettings fromDevice(plist_t devicePlist) {
        LinkSettings s;
        s.roundTripUs = std::clamp<int64_t>(intAt(devicePlist, {"Sim", "Link", "RoundTripUs"}, 0), 0, 10'000'000);
        s.bytesPerSecond = std::max<int64_t>(0, intAt(devicePlist, {"Sim", "Link", "BytesPerSecond"}, 0));
        return s;
    }
};

// Paces one direction of the link: when may a message, or a part of one, be
// handed on.
class LinkClock {
public:
    using Clock = std::chrono::steady_clock;

    explicit LinkClock(LinkSettings settings) : link(settings) {}

    // When `bytes` that entered the link at `arrival` are through it. A message's
    // first part pays the latency; every part pays the rate.
    Clock::time_point due(Clock::time_point arrival, size_t bytes, bool messageStart) {
        Clock::time_point start = std::max(free, arrival + (messageStart ? oneWay() : Clock::duration::zero()));
        if (link.bytesPerSecond > 0) {
            start += std::chrono::nanoseconds(static_cast<int64_t>(bytes) * 1'000'000'000 / link.bytesPerSecond);
        }
        free = start;
        return start;
    }

    // For a transfer that is not carried over a socket (the backup helper
    // reads the device's files itself): a new file costs a whole round trip
    // and bytes cost their time on the wire. The wire keeps sending while the
    // caller works, as the device streams while the host writes, so the
    // caller waits only when it gets ahead of the wire.
    void waitFor(size_t bytes, bool newFile) {
        if (!link.on()) {
            return;
        }
        if (free == Clock::time_point{}) {
            free = Clock::now();
        }
        if (newFile) {
            free += std::chrono::microseconds(link.roundTripUs);
        }
        if (link.bytesPerSecond > 0) {
            free += std::chrono::nanoseconds(static_cast<int64_t>(bytes) * 1'000'000'000 / link.bytesPerSecond);
        }
        std::this_thread::sleep_until(free);
    }

    Clock::duration oneWay() const { return std::chrono::microseconds(link.roundTripUs / 2); }

private:
    LinkSettings link;
    Clock::time_point free{};
};

// Puts the link between the program's end of a service socket pair and the
// device's end: returns the program's new end, or -1 when no link could be set
// up. Takes ownership of programEnd either way.
int relayOverLink(int programEnd, LinkSettings settings);

} // namespace sim
